#include "ovelin/mimo_sim.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "ovelin/error.hpp"
#include "ovelin/memory.hpp"

namespace ovelin {

namespace {

void require_size(const char* what, std::size_t expected, std::size_t given) {
    if (expected != given)
        throw Error(Errc::size_mismatch, std::string(what) + " must have " + std::to_string(expected) +
                                             " values, not " + std::to_string(given));
}

// Orders up to this one run unrolled: the common process models (second
// order with a few samples of dead time) fall within it.
constexpr std::size_t kUnrolledOrders = 8;

}  // namespace

template <std::size_t S>
void MimoSimulator::step_group(const Group& group) noexcept {
    for (std::size_t t = group.begin; t < group.end; ++t) {
        const Term& term = terms_[t];
        const double x = du_[term.mv];
        if constexpr (S == 0) {
            out_[term.slot] = term.model->step(x);
        } else {
            double* const work = term.work;
            out_[term.slot] = step_recursion<S>(work, work + S + 1, work + 2 * (S + 1), x);
        }
    }
}

// The pairs of the unrolled orders get their places in one buffer, in step
// order: the coefficients copied (they never change), the state lent.
void MimoSimulator::lay_out_unrolled_pairs() {
    std::size_t size = 0;
    for (const Group& group : groups_)
        if (group.order != 0) size += (group.end - group.begin) * (3 * group.order + 2);
    work_ = std::make_shared_for_overwrite<double[]>(size);
    double* place = work_.get();
    for (const Group& group : groups_) {
        const std::size_t s = group.order;
        if (s == 0) continue;
        for (std::size_t t = group.begin; t < group.end; ++t) {
            Term& term = terms_[t];
            std::ranges::copy(term.model->normalized_b(), place);
            std::ranges::copy(term.model->normalized_a(), place + s + 1);
            term.model->lend_state(work_, place + 2 * (s + 1));
            term.work = place;
            place += 3 * s + 2;
        }
    }
}

MimoSimulator::MimoSimulator(std::vector<PairModel> models, std::vector<double> u_ini, std::vector<double> y_ini)
    : models_(std::move(models)), u_ini_(std::move(u_ini)), y_ini_(std::move(y_ini)) {
    require_size("the pair models", cv_count() * mv_count(), models_.size());
    u_ = u_ini_;
    y_ = y_ini_;
    du_.assign(mv_count(), 0.0);
    cv_begin_.reserve(cv_count() + 1);
    std::vector<std::size_t> orders;
    for (std::size_t c = 0; c < cv_count(); ++c) {
        cv_begin_.push_back(terms_.size());
        for (std::size_t m = 0; m < mv_count(); ++m) {
            if (LinearFilter* model = models_[c * mv_count() + m].get()) {
                const std::size_t order = model->recursive_state_size();
                orders.push_back(order <= kUnrolledOrders ? order : 0);
                terms_.push_back({m, model, terms_.size(), nullptr});
            }
        }
    }
    cv_begin_.push_back(terms_.size());
    out_.assign(terms_.size(), 0.0);
    // A model that several pairs share, or whose state another simulator
    // already holds (possible only through a hand-made restore), is stepped
    // where its state is, by the general step: the same arithmetic. So a
    // state is lent at most once, and the places below stay the models' own.
    std::unordered_map<const LinearFilter*, std::size_t> uses;
    for (const Term& term : terms_) ++uses[term.model];
    for (std::size_t t = 0; t < terms_.size(); ++t)
        if (uses[terms_[t].model] != 1 || terms_[t].model->state_is_lent()) orders[t] = 0;
    std::vector<std::size_t> by_order(terms_.size());
    for (std::size_t t = 0; t < by_order.size(); ++t) by_order[t] = t;
    std::stable_sort(by_order.begin(), by_order.end(),
                     [&](std::size_t l, std::size_t r) { return orders[l] < orders[r]; });
    std::vector<Term> sorted;
    for (const std::size_t t : by_order) {
        if (groups_.empty() || groups_.back().order != orders[t])
            groups_.push_back({orders[t], sorted.size(), sorted.size()});
        sorted.push_back(terms_[t]);
        ++groups_.back().end;
    }
    terms_ = std::move(sorted);
    lay_out_unrolled_pairs();
}

void MimoSimulator::reset() noexcept {
    u_ = u_ini_;
    y_ = y_ini_;
}

void MimoSimulator::step(std::span<const double> disturbance) {
    require_size("the disturbances", cv_count(), disturbance.size());
    for (std::size_t m = 0; m < mv_count(); ++m) du_[m] = u_[m] - u_ini_[m];
    for (const Group& group : groups_) {
        switch (group.order) {
            case 1: step_group<1>(group); break;
            case 2: step_group<2>(group); break;
            case 3: step_group<3>(group); break;
            case 4: step_group<4>(group); break;
            case 5: step_group<5>(group); break;
            case 6: step_group<6>(group); break;
            case 7: step_group<7>(group); break;
            case 8: step_group<8>(group); break;
            default: step_group<0>(group); break;
        }
    }
    for (std::size_t c = 0; c < cv_count(); ++c) {
        double y = 0.0;
        for (std::size_t t = cv_begin_[c]; t < cv_begin_[c + 1]; ++t) y = y + out_[t];
        y_[c] = y + disturbance[c] + y_ini_[c];
    }
}

void MimoSimulator::set_values(std::span<const double> u, std::span<const double> y) {
    require_size("the MV values", mv_count(), u.size());
    require_size("the CV values", cv_count(), y.size());
    u_.assign(u.begin(), u.end());
    y_.assign(y.begin(), y.end());
}

std::vector<double> pair_step_response(const LinearFilter* model, std::size_t length) {
    std::vector<double> response(length, 0.0);
    if (model == nullptr) return response;
    LinearFilter fresh = *model;
    std::vector<double> zeros(fresh.state_size(), 0.0);
    fresh.set_state(zeros);
    std::vector<double> unit(length, 1.0 - 0.0);
    fresh.run(unit, response);
    // As the simulator adds them: the sum of one pair, no disturbance, no initial value.
    for (double& y : response) y = (0.0 + y) + 0.0 + 0.0;
    return response;
}

std::vector<std::vector<double>> step_responses(std::span<const PairModel> models, std::size_t length, double flat) {
    // One response per model, and the input and work of the one being computed.
    require_storable(length, (models.size() + 2) * sizeof(double), "step responses of this length");
    return allocating("step responses of this length", [&] {
        std::vector<std::vector<double>> responses(models.size());
        for (std::size_t i = 0; i < models.size(); ++i) {
            responses[i] = pair_step_response(models[i].get(), length);
            if (is_flat(responses[i], flat)) responses[i].clear();
        }
        return responses;
    });
}

bool is_flat(std::span<const double> values, double tolerance) {
    if (values.empty()) throw Error(Errc::no_first_sample, "no values");
    double largest = values[0], smallest = values[0];
    for (const double v : values.subspan(1)) {
        if (v > largest) largest = v;
        if (v < smallest) smallest = v;
    }
    return largest - smallest < tolerance;
}

}  // namespace ovelin

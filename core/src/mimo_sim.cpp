#include "ovelin/mimo_sim.hpp"

#include <string>
#include <utility>

#include "ovelin/error.hpp"

namespace ovelin {

namespace {

void require_size(const char* what, std::size_t expected, std::size_t given) {
    if (expected != given)
        throw Error(Errc::size_mismatch, std::string(what) + " must have " + std::to_string(expected) +
                                             " values, not " + std::to_string(given));
}

}  // namespace

MimoSimulator::MimoSimulator(std::vector<PairModel> models, std::vector<double> u_ini, std::vector<double> y_ini)
    : models_(std::move(models)), u_ini_(std::move(u_ini)), y_ini_(std::move(y_ini)) {
    require_size("the pair models", cv_count() * mv_count(), models_.size());
    u_ = u_ini_;
    y_ = y_ini_;
    du_.assign(mv_count(), 0.0);
    cv_begin_.reserve(cv_count() + 1);
    for (std::size_t c = 0; c < cv_count(); ++c) {
        cv_begin_.push_back(terms_.size());
        for (std::size_t m = 0; m < mv_count(); ++m) {
            if (LinearFilter* model = models_[c * mv_count() + m].get()) terms_.push_back({m, model});
        }
    }
    cv_begin_.push_back(terms_.size());
}

void MimoSimulator::reset() noexcept {
    u_ = u_ini_;
    y_ = y_ini_;
}

void MimoSimulator::step(std::span<const double> disturbance) {
    require_size("the disturbances", cv_count(), disturbance.size());
    for (std::size_t m = 0; m < mv_count(); ++m) du_[m] = u_[m] - u_ini_[m];
    for (std::size_t c = 0; c < cv_count(); ++c) {
        double y = 0.0;
        for (std::size_t t = cv_begin_[c]; t < cv_begin_[c + 1]; ++t) y = y + terms_[t].model->step(du_[terms_[t].mv]);
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

#include "ovelin/lpv_plant.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "ovelin/error.hpp"

namespace ovelin {

namespace {

constexpr std::size_t kAbsent = std::numeric_limits<std::size_t>::max();

void require(bool condition, const char* what) {
    if (!condition) throw Error(Errc::size_mismatch, what);
}

}  // namespace

std::size_t LpvPlant::add_input(double initial) {
    u_.push_back(initial);
    return u_.size() - 1;
}

std::size_t LpvPlant::add_output(double initial) {
    y_.push_back(initial);
    y_ini_.push_back(initial);
    return y_.size() - 1;
}

void LpvPlant::set_locals(std::vector<Local> locals) {
    std::vector<std::vector<std::size_t>> slots;
    std::vector<double> points;
    std::size_t widest = 0;
    for (const Local& local : locals) {
        require(local.simulator != nullptr, "a local plant needs a simulator");
        const MimoSimulator& sim = *local.simulator;
        require(local.inputs.size() == sim.mv_count() && local.outputs.size() == sim.cv_count(),
                "a local plant needs one plant tag per simulator tag");
        require(std::ranges::all_of(local.inputs, [&](std::size_t p) { return p < mv_count(); }) &&
                    std::ranges::all_of(local.outputs, [&](std::size_t p) { return p < cv_count(); }),
                "a local plant names a tag the plant does not have");
        std::vector<std::size_t> slot(cv_count(), kAbsent);
        for (std::size_t c = local.outputs.size(); c-- > 0;) slot[local.outputs[c]] = c;  // the first wins
        slots.push_back(std::move(slot));
        points.push_back(local.working_point);
        widest = std::max(widest, sim.cv_count());
    }
    disturbance_.assign(widest, 0.0);
    weights_.assign(locals.size(), 0.0);
    slot_ = std::move(slots);
    points_ = std::move(points);
    locals_ = std::move(locals);
}

BlendWeights LpvPlant::weights_at(double working_value) const {
    if (locals_.empty()) throw Error(Errc::invalid_argument, "the plant has no local model");
    if (std::isnan(working_value)) throw Error(Errc::invalid_argument, "the working value is NaN");
    return blend_weights(points_, working_value);
}

std::optional<std::size_t> LpvPlant::missing_output(const BlendWeights& weights) const noexcept {
    if (weights.single()) return std::nullopt;
    const std::vector<std::size_t>& second = slot_[weights.second];
    for (const std::size_t p : locals_[weights.first].outputs)
        if (p >= second.size() || second[p] == kAbsent) return p;
    return std::nullopt;
}

void LpvPlant::step(double working_value, std::span<const unsigned char> given, std::span<const double> u,
                    std::span<const double> disturbance) {
    const BlendWeights weights = weights_at(working_value);
    if (missing_output(weights))
        throw Error(Errc::invalid_argument, "the neighbouring local plants do not have the same outputs");
    step(weights, working_value, given, u, disturbance);
}

void LpvPlant::step(const BlendWeights& weights, double working_value, std::span<const unsigned char> given,
                    std::span<const double> u, std::span<const double> disturbance) {
    require(given.size() == mv_count() && u.size() == mv_count() && disturbance.size() == cv_count(),
            "one value per plant tag");
    require(weights.first < locals_.size() && weights.second < locals_.size(), "neighbours among the locals");
    for (const Local& local : locals_) {
        MimoSimulator& sim = *local.simulator;
        const std::span<double> inputs = sim.inputs();
        for (std::size_t j = 0; j < local.inputs.size(); ++j)
            if (given[local.inputs[j]]) inputs[j] = u[local.inputs[j]];
        const std::span<double> local_disturbance(disturbance_.data(), local.outputs.size());
        for (std::size_t c = 0; c < local.outputs.size(); ++c) local_disturbance[c] = disturbance[local.outputs[c]];
        sim.step(local_disturbance);
    }
    working_value_ = working_value;
    for (std::size_t p = 0; p < mv_count(); ++p)
        if (given[p]) u_[p] = u[p];
    std::ranges::fill(weights_, 0.0);
    weights_[weights.first] = weights.first_weight;
    if (!weights.single()) weights_[weights.second] = weights.second_weight;
    const Local& first = locals_[weights.first];
    const std::span<const double> a = first.simulator->outputs();
    const std::span<const double> b = locals_[weights.second].simulator->outputs();
    const std::vector<std::size_t>& second_slot = slot_[weights.second];
    for (std::size_t c = 0; c < first.outputs.size(); ++c) {
        const std::size_t p = first.outputs[c];
        y_[p] = weights.single() ? a[c] + y_ini_[p]
                                 : weights.first_weight * a[c] + weights.second_weight * b[second_slot[p]] + y_ini_[p];
    }
}

void LpvPlant::set_values(double working_value, std::span<const double> u, std::span<const double> y) {
    require(u.size() == mv_count() && y.size() == cv_count(), "one value per plant tag");
    working_value_ = working_value;
    u_.assign(u.begin(), u.end());
    y_.assign(y.begin(), y.end());
}

}  // namespace ovelin

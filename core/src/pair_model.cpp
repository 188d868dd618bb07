#include "ovelin/pair_model.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>

#include "ovelin/c2d.hpp"
#include "ovelin/error.hpp"
#include "ovelin/linear_filter.hpp"
#include "ovelin/memory.hpp"

namespace ovelin {

namespace {

constexpr const char* kDeadTime = "a dead time of this many samples";
constexpr const char* kResponse = "a step response of this many samples";

PairModel make_filter(std::span<const double> b, std::span<const double> a) {
    return std::make_shared<LinearFilter>(b, a);
}

std::vector<double> running_sum(std::vector<double> values) {
    for (std::size_t k = 1; k < values.size(); ++k) values[k] = values[k - 1] + values[k];
    return values;
}

// A step response as a finite impulse response: the response's differences.
PairModel step_response_filter(std::span<const double> response) {
    std::vector<double> impulse(response.size());
    for (std::size_t k = 0; k < response.size(); ++k) impulse[k] = response[k] - (k == 0 ? 0.0 : response[k - 1]);
    const double one = 1.0;
    return make_filter(impulse, std::span<const double>(&one, 1));
}

// The last point among xp (ascending) not above x; -1 below the first, n above the last.
std::ptrdiff_t bracket(std::span<const double> xp, double x) {
    const auto n = static_cast<std::ptrdiff_t>(xp.size());
    if (x > xp[xp.size() - 1]) return n;
    if (x < xp[0]) return -1;
    return std::upper_bound(xp.begin(), xp.end(), x) - xp.begin() - 1;
}

// Linear interpolation of (xp, fp) at x, constant beyond both ends; where the
// slope times the offset is NaN (infinite values), measured from the upper point.
double interpolate(std::span<const double> xp, std::span<const double> fp, double x) {
    const std::ptrdiff_t j = bracket(xp, x);
    const auto last = static_cast<std::ptrdiff_t>(xp.size()) - 1;
    if (j < 0) return fp[0];
    if (j >= last) return fp[static_cast<std::size_t>(last)];
    const auto i = static_cast<std::size_t>(j);
    if (xp[i] == x) return fp[i];
    const double slope = (fp[i + 1] - fp[i]) / (xp[i + 1] - xp[i]);
    double y = slope * (x - xp[i]) + fp[i];
    if (std::isnan(y)) {
        y = slope * (x - xp[i + 1]) + fp[i + 1];
        if (std::isnan(y) && fp[i] == fp[i + 1]) y = fp[i];
    }
    return y;
}

// The points interpolated onto the samples 0, 1, ... below points[last] + 1.
std::vector<double> sampled_points(std::span<const double> points, std::span<const double> values) {
    if (points.size() != values.size())
        throw Error(Errc::invalid_argument, "the step response needs one value per point");
    if (points.empty()) throw Error(Errc::no_last_sample, "a step response by points needs a point");
    const double end = std::ceil(points.back() + 1.0);
    if (std::isnan(end)) throw Error(Errc::nan_to_integer, "the last point is NaN");
    if (std::isinf(end)) throw Error(Errc::infinity_to_integer, "the last point is infinite");
    if (end >= 0x1p63) throw Error(Errc::out_of_memory, std::string(kResponse) + " cannot be held in memory");
    const std::size_t count = end > 0.0 ? static_cast<std::size_t>(end) : 0;
    require_storable(count, 3 * sizeof(double), kResponse);
    std::vector<double> response(count);
    for (std::size_t k = 0; k < count; ++k) response[k] = interpolate(points, values, static_cast<double>(k));
    return response;
}

PairModel discrete_model(const PairDefinition& definition) {
    require_storable(definition.delay_samples, 5 * sizeof(double), kDeadTime);
    std::vector<double> delayed(definition.delay_samples, 0.0);
    delayed.insert(delayed.end(), definition.num.begin(), definition.num.end());
    return make_filter(delayed, definition.integrating ? times_root(definition.den, 1.0) : definition.den);
}

PairModel continuous_model(const PairDefinition& definition, double ts) {
    // Refused here before the conversion pads the numerator with the dead time.
    if (ts > 0.0 && std::isfinite(definition.delay / ts)) {
        const double samples = std::nearbyint(definition.delay / ts);
        const std::size_t count = samples < 0x1p63 ? static_cast<std::size_t>(std::max(samples, 0.0)) : SIZE_MAX;
        require_storable(count, 5 * sizeof(double), kDeadTime);
    }
    const std::vector<double> den = definition.integrating ? times_root(definition.den, 0.0) : definition.den;
    const TransferFunction tf = c2d_zoh(definition.num, den, definition.delay, ts);
    return make_filter(tf.num, tf.den);
}

}  // namespace

std::vector<double> times_root(const std::vector<double>& den, double root) {
    std::vector<double> out(den.size() + 1, 0.0);
    for (std::size_t k = 0; k < out.size(); ++k) {
        const double here = k < den.size() ? den[k] : 0.0;
        out[k] = k == 0 ? here : here + den[k - 1] * -root;
    }
    return out;
}

PairModel make_pair_model(const PairDefinition& definition, double ts) {
    return allocating("the pair model", [&]() -> PairModel {
        switch (definition.kind) {
            case PairKind::none: return nullptr;
            case PairKind::discrete: return discrete_model(definition);
            case PairKind::continuous: return continuous_model(definition, ts);
            case PairKind::step_response:
                require_storable(definition.response.size(), 3 * sizeof(double), kResponse);
                return step_response_filter(definition.integrating ? running_sum(definition.response)
                                                                   : definition.response);
            case PairKind::step_points:
                return step_response_filter(sampled_points(definition.points, definition.integrating
                                                                                  ? running_sum(definition.response)
                                                                                  : definition.response));
        }
        return nullptr;
    });
}

}  // namespace ovelin

#include "ovelin/lpv_blend.hpp"

#include <algorithm>
#include <cmath>

namespace ovelin {

namespace {

// The list position at `x`, interpolated over `xp`, rounded as a linear
// interpolation of the values 0 ... n-1 rounds: exact at the points, the
// slope applied to the offset from the lower point between them.
double interpolated_position(std::span<const double> xp, double x) noexcept {
    const std::size_t n = xp.size();
    if (x > xp[n - 1]) return static_cast<double>(n - 1);
    if (!(x >= xp[0])) return 0.0;
    // The last point not above x.
    const std::size_t j = static_cast<std::size_t>(std::upper_bound(xp.begin(), xp.end(), x) - xp.begin()) - 1;
    if (j >= n - 1 || xp[j] == x) return static_cast<double>(j);
    const double slope = 1.0 / (xp[j + 1] - xp[j]);
    const double position = slope * (x - xp[j]) + static_cast<double>(j);
    if (!std::isnan(position)) return position;
    // Infinite points: measure from the upper point instead, else stay at the lower.
    const double from_upper = slope * (x - xp[j + 1]) + static_cast<double>(j + 1);
    return std::isnan(from_upper) ? static_cast<double>(j) : from_upper;
}

}  // namespace

BlendWeights blend_weights(std::span<const double> working_points, double working_value) noexcept {
    if (working_points.empty()) return {};
    const double position = interpolated_position(working_points, working_value);
    const double last = static_cast<double>(working_points.size() - 1);
    const double lower = std::clamp(std::floor(position), 0.0, last);
    const double upper = std::clamp(std::ceil(position), 0.0, last);
    BlendWeights weights;
    weights.first = static_cast<std::size_t>(lower);
    weights.second = static_cast<std::size_t>(upper);
    weights.second_weight = std::max(std::min(position - lower, 1.0), 0.0);
    weights.first_weight = 1.0 - weights.second_weight;
    if (weights.single()) {
        weights.first_weight = 1.0;
        weights.second_weight = 0.0;
    }
    return weights;
}

void blend_outputs(const BlendWeights& weights, std::span<const double> first, std::span<const double> second,
                   std::span<const double> offset, std::span<double> out) noexcept {
    const std::size_t n = std::min({first.size(), offset.size(), out.size()});
    if (weights.single()) {
        for (std::size_t k = 0; k < n; ++k) out[k] = first[k] + offset[k];
        return;
    }
    const std::size_t m = std::min(n, second.size());
    for (std::size_t k = 0; k < m; ++k)
        out[k] = weights.first_weight * first[k] + weights.second_weight * second[k] + offset[k];
}

}  // namespace ovelin

#pragma once
// Blending of local linear models by working point.
//
// The local models are ordered by ascending working point. The working value
// is placed among them by piecewise-linear interpolation of the list
// position over the working points (constant beyond both ends), and the two
// neighbouring models share the weight linearly.

#include <cstddef>
#include <span>

namespace ovelin {

// The two models that share the weight and their weights (summing to 1).
struct BlendWeights {
    std::size_t first = 0, second = 0;  // equal when one model takes it all
    double first_weight = 1.0, second_weight = 0.0;

    bool single() const noexcept { return first == second; }
};

// The neighbours of `working_value` among `working_points` (ascending,
// distinct, not empty, no NaN; the value not NaN) and their weights.
// Positions stay within the list whatever the points.
BlendWeights blend_weights(std::span<const double> working_points, double working_value) noexcept;

// out[k] = first_weight * first[k] + second_weight * second[k] + offset[k],
// or first[k] + offset[k] when one model takes it all. Allocation-free.
void blend_outputs(const BlendWeights& weights, std::span<const double> first, std::span<const double> second,
                   std::span<const double> offset, std::span<double> out) noexcept;

}  // namespace ovelin

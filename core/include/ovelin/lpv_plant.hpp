#pragma once
// A linear parameter-varying plant: local MIMO simulators, each identified at
// one working point, run side by side on the same inputs every sample, and
// the two whose working points bracket the working value are blended
// linearly (see lpv_blend.hpp).
//
// Tags are positions here. The plant's MVs and CVs are the union of the
// local simulators' ones, in the order they became known; each local
// simulator maps its own MV and CV positions to the plant's once, when it is
// set, so a sample looks up no names. The local simulators work in deviation
// form for their outputs (CV initial values 0.0); the plant adds its own CV
// initial values to the blend.

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ovelin/lpv_blend.hpp"
#include "ovelin/mimo_sim.hpp"

namespace ovelin {

class LpvPlant {
public:
    struct Local {
        std::shared_ptr<MimoSimulator> simulator;
        double working_point = 0.0;
        std::vector<std::size_t> inputs;   // the plant MV of each of the simulator's MVs
        std::vector<std::size_t> outputs;  // the plant CV of each of the simulator's CVs
    };

    // A new plant MV or CV with its initial value; returns its position.
    std::size_t add_input(double initial);
    std::size_t add_output(double initial);
    std::size_t mv_count() const noexcept { return u_.size(); }
    std::size_t cv_count() const noexcept { return y_.size(); }

    // The local simulators in blending order (ascending, distinct working
    // points). Throws Errc::size_mismatch, changing nothing, for a local
    // without a simulator or whose maps do not fit it or the plant.
    void set_locals(std::vector<Local> locals);
    const std::vector<Local>& locals() const noexcept { return locals_; }

    // The neighbours of `working_value` and their weights. Throws
    // Errc::invalid_argument for no local simulator or a NaN working value.
    BlendWeights weights_at(double working_value) const;

    // The first CV of the first neighbour (as a plant CV) that the second
    // neighbour lacks, or none: such neighbours cannot be blended.
    std::optional<std::size_t> missing_output(const BlendWeights& weights) const noexcept;

    // One sample: every local simulator takes the given MVs (given[p] != 0:
    // u[p] is the new value of plant MV p; the others keep their last value)
    // and the disturbance of each of its CVs (by plant CV), and advances one
    // sample; the neighbours are blended into the plant's outputs. Checks
    // everything first and changes nothing on a refusal: the errors of
    // weights_at, Errc::invalid_argument for neighbours that cannot be
    // blended, Errc::size_mismatch for spans of the wrong size.
    // Allocation-free.
    void step(double working_value, std::span<const unsigned char> given, std::span<const double> u,
              std::span<const double> disturbance);

    // The same for neighbours already found by weights_at(working_value) and
    // accepted by missing_output(), so that a caller that checks them itself
    // does not repeat the work. Throws Errc::size_mismatch for spans of the
    // wrong size or neighbours beyond the locals.
    void step(const BlendWeights& weights, double working_value, std::span<const unsigned char> given,
              std::span<const double> u, std::span<const double> disturbance);

    double working_value() const noexcept { return working_value_; }
    std::span<const double> inputs() const noexcept { return u_; }
    std::span<const double> outputs() const noexcept { return y_; }
    std::span<const double> output_offsets() const noexcept { return y_ini_; }
    // The weight of each local simulator in the latest sample.
    std::span<const double> weights() const noexcept { return weights_; }

    // Restores the latest values, e.g. of a saved plant. Throws
    // Errc::size_mismatch, changing nothing.
    void set_values(double working_value, std::span<const double> u, std::span<const double> y);

private:
    std::vector<Local> locals_;
    std::vector<double> points_;                  // the locals' working points
    std::vector<std::vector<std::size_t>> slot_;  // per local: plant CV -> its own CV, or kAbsent
    std::vector<double> u_, y_, y_ini_, weights_;
    std::vector<double> disturbance_;  // one local's disturbances, reused every sample
    double working_value_ = 0.0;
};

}  // namespace ovelin

#pragma once
// Multi-input multi-output process simulation over discrete pair models.
//
// Every CV is the sum of the outputs of its pair models, each fed the
// deviation of its MV from the MV's initial value, plus a disturbance and the
// CV's initial value. Tags are positions here: MV m, CV c, the model of the
// pair at c * mv_count + m. A pair without a model contributes nothing (its
// output is always 0.0, and adding +0.0 to a sum that starts at +0.0 changes
// no bit), so it is skipped.
//
// The models are shared: whoever built them (a language binding's model
// objects) keeps stepping the same state the simulator steps. The simulator
// lays their states out side by side with copies of their coefficients, in
// the order it steps them (LinearFilter::lend_state), so that a step walks
// one block of memory instead of a few scattered ones per pair.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "ovelin/linear_filter.hpp"

namespace ovelin {

using PairModel = std::shared_ptr<LinearFilter>;  // null: no model

// The simulator: pair models, initial and current values. Values are in each
// tag's engineering units; one step() per sample of the models' sample time.
class MimoSimulator {
public:
    // `models` holds cv_count * mv_count entries, row by row; `u_ini` and
    // `y_ini` the initial MV and CV values. Throws Errc::size_mismatch.
    MimoSimulator(std::vector<PairModel> models, std::vector<double> u_ini, std::vector<double> y_ini);

    // Moving keeps the layout (it lives on the heap); a copy would step the
    // same states, so there is none.
    MimoSimulator(MimoSimulator&&) noexcept = default;
    MimoSimulator& operator=(MimoSimulator&&) noexcept = default;
    MimoSimulator(const MimoSimulator&) = delete;
    MimoSimulator& operator=(const MimoSimulator&) = delete;

    std::size_t cv_count() const noexcept { return y_ini_.size(); }
    std::size_t mv_count() const noexcept { return u_ini_.size(); }

    // Inputs and outputs back at the initial values; the models keep their state.
    void reset() noexcept;

    // The current MV values, written by the caller before a step.
    std::span<double> inputs() noexcept { return u_; }
    std::span<const double> inputs() const noexcept { return u_; }
    std::span<const double> outputs() const noexcept { return y_; }
    std::span<const double> initial_inputs() const noexcept { return u_ini_; }
    std::span<const double> initial_outputs() const noexcept { return y_ini_; }
    const std::vector<PairModel>& models() const noexcept { return models_; }

    // One sample with one disturbance per CV; advances every model once.
    // Allocation-free. Throws Errc::size_mismatch (nothing changes) for a
    // disturbance of the wrong length.
    void step(std::span<const double> disturbance);

    // Sets the current values, e.g. when a saved simulator is restored.
    // Throws Errc::size_mismatch, changing nothing.
    void set_values(std::span<const double> u, std::span<const double> y);

private:
    // A pair with a model. The pairs are stepped grouped by order (so that
    // each group runs one unrolled kernel without mispredicted branches) into
    // out_[slot]; the sums then run CV by CV in MV order, as specified. A
    // pair of an unrolled order has its coefficients and state at `work`
    // (b, a: order + 1 each, then the state); the others step their model.
    struct Term {
        std::size_t mv;
        LinearFilter* model;
        std::size_t slot;
        double* work;
    };
    struct Group {
        std::size_t order;  // the unrolled recursion to run, or 0 for the general step
        std::size_t begin, end;
    };
    template <std::size_t S>
    void step_group(const Group& group) noexcept;
    void lay_out_unrolled_pairs();

    std::vector<PairModel> models_;
    std::vector<double> u_ini_, y_ini_, u_, y_, du_;
    std::vector<Term> terms_;            // the pairs with a model, by order
    std::vector<Group> groups_;          // runs of terms_ of one order
    std::vector<double> out_;            // the pair outputs of this sample, CV by CV, MV by MV
    std::vector<std::size_t> cv_begin_;  // cv_count + 1 offsets into out_
    std::shared_ptr<double[]> work_;     // the unrolled pairs' coefficients and states, in step order
};

// The response of one pair to a unit step of its MV, sample by sample, as a
// fresh single-pair simulator at zero initial values returns it. `model` is
// copied; null gives `length` zeros.
std::vector<double> pair_step_response(const LinearFilter* model, std::size_t length);

// The step responses of `models`, each as pair_step_response gives it, with
// every response whose spread is below `flat` emptied (see is_flat). Throws
// Errc::out_of_memory, before anything is computed, when they cannot all be
// held in memory, and Errc::no_first_sample for a length of 0 with models.
std::vector<std::vector<double>> step_responses(std::span<const PairModel> models, std::size_t length, double flat);

// True when the spread of `values` (largest minus smallest, compared the way
// a sequential scan compares, so a leading NaN wins) is below `tolerance`.
// Throws Errc::no_first_sample for no values.
bool is_flat(std::span<const double> values, double tolerance);

}  // namespace ovelin

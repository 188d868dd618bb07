#pragma once
// Soft-sensor support: the stable-change rule that recognises a new,
// settled laboratory result, and the bias update that compares it with the
// prediction that was valid when the sample was taken.

#include <cstddef>
#include <optional>

#include "ovelin/ring_buffer.hpp"

namespace ovelin {

// Later differences below this count as "unchanged" (fixed, whatever the
// step threshold).
inline constexpr double kSettledTolerance = 1e-6;

// The longest prediction history (prd_len) and laboratory window (const_len)
// whose buffers fit in this machine's physical memory. The first sample
// fills a whole history, so a longer one could never be used: the blocks
// refuse it before anything is allocated.
std::size_t max_prd_len() noexcept;
std::size_t max_const_len() noexcept;

// The laboratory value seen at each of the last const_len + 2 calls, and the
// stable-change test: the oldest difference is a step of at least the
// threshold and every later difference is below kSettledTolerance. After a
// step the test holds in exactly one call, the one in which the old value is
// the oldest entry left, i.e. after const_len + 1 calls with the new value.
class LabWindow {
public:
    // Throws Errc::out_of_memory when const_len > max_const_len() or the
    // window cannot be allocated.
    explicit LabWindow(std::size_t const_len);

    // Appends until the window is full (the first call fills it, so that no
    // step is seen).
    void fill(double value) noexcept;
    // Appends one value, dropping the oldest of a full window.
    void push(double value) noexcept { values_.push_back(value); }

    // The test on the window as it is.
    bool settled(double threshold) const noexcept;
    // The test on the window as fill(value) and push(value) would leave it,
    // without changing it: a result can be recorded first and committed after.
    bool settled_after(double value, double threshold) const noexcept;

    const RingBuffer& values() const noexcept { return values_; }
    // Throws Errc::size_mismatch (nothing changes) for more values than fit.
    void assign(std::span<const double> values) { values_.assign(values); }

private:
    RingBuffer values_;
};

// What one bias update attempt did.
enum class BiasAttempt {
    unchanged,     // the same laboratory value and sample time as the last update
    out_of_range,  // the sample time is outside the prediction history
    updated,
};

// What a sample asks for once it is recorded.
struct BiasDecision {
    bool initial;  // the sample filled the empty histories
    bool attempt;  // an update attempt is due (the first sample, a trigger, a settled step)
};

// Prediction history with time stamps, laboratory window and bias. Inputs
// must be finite (the caller checks and reports); times must ascend from call
// to call for the lookup to be meaningful.
class BiasUpdate {
public:
    // Histories of prd_len + 1 predictions and const_len + 2 laboratory
    // values. Throws Errc::out_of_memory when a length is above its maximum
    // or the histories cannot be allocated.
    BiasUpdate(std::size_t prd_len, std::size_t const_len, double abs_threshold);

    // Records one sample and clears the update flag. The first sample fills
    // the histories: the predictions with prd_data at assumed 60-second
    // spacing before prd_time, the laboratory window with lab_data. An update
    // attempt is due on the first sample, when a trigger is given and > 0.5,
    // and, without a trigger, when the laboratory window shows a settled step.
    // Times are in seconds.
    BiasDecision record(double prd_data, double lab_data, double prd_time, std::optional<double> trigger) noexcept;

    // One update attempt: unless the sample is unchanged or outside the
    // history, the bias becomes lab_data minus the newest prediction at or
    // before lab_time. Throws Errc::no_first_sample (nothing changes) while
    // the prediction history is empty and the sample is not unchanged.
    BiasAttempt update_bias(double lab_data, double lab_time);

    // The current bias (laboratory minus prediction, in the predicted
    // variable's units), the step threshold, and the result of the last
    // update attempt; the setters and restore_*() restore a saved state.
    double bias() const noexcept { return bias_; }
    void set_bias(double bias) noexcept { bias_ = bias; }
    double abs_threshold() const noexcept { return abs_threshold_; }
    void set_abs_threshold(double threshold) noexcept { abs_threshold_ = threshold; }
    bool update_flag() const noexcept { return update_flag_; }
    double lab_data() const noexcept { return lab_data_; }
    double lab_time() const noexcept { return lab_time_; }
    double prd_data_at_labtime() const noexcept { return prd_at_lab_time_; }

    const RingBuffer& prd_data_history() const noexcept { return prd_data_; }
    const RingBuffer& prd_time_history() const noexcept { return prd_time_; }
    const LabWindow& lab_window() const noexcept { return lab_; }

    // For restoring a saved state. Histories must be empty or full (both
    // prediction histories alike, the laboratory window with them); throws
    // Errc::size_mismatch otherwise, leaving the block as it was.
    void restore_histories(std::span<const double> prd_data, std::span<const double> prd_time,
                           std::span<const double> lab);
    void restore_result(bool update_flag, double lab_data, double lab_time, double prd_at_lab_time) noexcept;

private:
    void fill_histories(double prd_data, double lab_data, double prd_time) noexcept;

    RingBuffer prd_data_;
    RingBuffer prd_time_;
    LabWindow lab_;
    double bias_ = 0.0;
    double abs_threshold_;
    bool update_flag_ = false;
    double lab_data_;
    double lab_time_;
    double prd_at_lab_time_;
};

}  // namespace ovelin

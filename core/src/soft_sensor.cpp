#include "ovelin/soft_sensor.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "ovelin/error.hpp"
#include "ovelin/memory.hpp"

namespace ovelin {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kUnchangedTime = 0.1;  // seconds
constexpr double kFillSpacing = 60.0;   // seconds between the assumed first predictions

// The stable-change test over a window of n values, at(0) the oldest. The
// oldest difference is tested first: in the steady state it is 0 and the
// test ends there.
template <class At>
bool stable_change(const At& at, std::size_t n, double threshold) noexcept {
    if (n < 2 || !(std::fabs(at(1) - at(0)) >= threshold)) return false;
    for (std::size_t i = 1; i + 1 < n; ++i) {
        if (!(std::fabs(at(i + 1) - at(i)) < kSettledTolerance)) return false;
    }
    return true;
}

// The longest history of `buffers` buffers of length + `extra` doubles.
std::size_t max_length(std::size_t buffers, std::size_t extra) noexcept {
    const std::size_t entries = physical_memory() / (buffers * sizeof(double));
    return entries > extra ? entries - extra : 0;
}

std::size_t checked_capacity(std::size_t length, std::size_t max, std::size_t extra, const char* what) {
    if (length > max) throw Error(Errc::out_of_memory, std::string(what) + " is too large for this machine's memory");
    return length + extra;
}

}  // namespace

std::size_t max_prd_len() noexcept {
    return max_length(2, 1);
}

std::size_t max_const_len() noexcept {
    return max_length(1, 2);
}

// --- LabWindow -------------------------------------------------------------------

LabWindow::LabWindow(std::size_t const_len) : values_(checked_capacity(const_len, max_const_len(), 2, "const_len")) {}

void LabWindow::fill(double value) noexcept {
    while (!values_.full()) values_.push_back(value);
}

bool LabWindow::settled(double threshold) const noexcept {
    return stable_change([this](std::size_t i) { return values_[i]; }, values_.size(), threshold);
}

bool LabWindow::settled_after(double value, double threshold) const noexcept {
    // Entry i of the window after the push is entry i + 1 of this one, or the
    // new value where this one has no entry (the fill).
    const std::size_t size = values_.size();
    const auto at = [this, size, value](std::size_t i) { return i + 1 < size ? values_[i + 1] : value; };
    return stable_change(at, values_.capacity(), threshold);
}

// --- BiasUpdate ------------------------------------------------------------------

BiasUpdate::BiasUpdate(std::size_t prd_len, std::size_t const_len, double abs_threshold)
    : prd_data_(checked_capacity(prd_len, max_prd_len(), 1, "prd_len")),
      prd_time_(prd_data_.capacity()),
      lab_(const_len),
      abs_threshold_(abs_threshold),
      lab_data_(kNaN),
      lab_time_(kNaN),
      prd_at_lab_time_(kNaN) {}

void BiasUpdate::fill_histories(double prd_data, double lab_data, double prd_time) noexcept {
    lab_.fill(lab_data);
    // Older assumed samples go to the left, so the times stay ascending.
    for (std::size_t k = 1; !prd_data_.full(); ++k) {
        prd_data_.push_back(prd_data);
        prd_time_.push_front(prd_time - static_cast<double>(k) * kFillSpacing);
    }
}

BiasDecision BiasUpdate::record(double prd_data, double lab_data, double prd_time,
                                std::optional<double> trigger) noexcept {
    BiasDecision decision{false, false};
    if (prd_data_.empty()) {
        fill_histories(prd_data, lab_data, prd_time);
        decision.initial = true;
    }
    prd_data_.push_back(prd_data);
    prd_time_.push_back(prd_time);
    lab_.push(lab_data);
    update_flag_ = false;
    if (decision.initial)
        decision.attempt = true;
    else if (trigger)
        decision.attempt = *trigger > 0.5;
    else
        decision.attempt = lab_.settled(abs_threshold_);
    return decision;
}

BiasAttempt BiasUpdate::update_bias(double lab_data, double lab_time) {
    if (std::fabs(lab_data - lab_data_) < abs_threshold_ && std::fabs(lab_time - lab_time_) < kUnchangedTime)
        return BiasAttempt::unchanged;
    if (prd_time_.empty()) throw Error(Errc::no_first_sample, "the prediction history is empty");
    if (!(prd_time_.front() <= lab_time && lab_time <= prd_time_.back())) return BiasAttempt::out_of_range;
    // The newest prediction at or before the sample time. With the front at or
    // before lab_time the count is at least 1 whatever the order of the times.
    const std::size_t index = std::max<std::size_t>(prd_time_.count_not_greater(lab_time), 1) - 1;
    const double prediction = prd_data_[index];
    bias_ = lab_data - prediction;
    update_flag_ = true;
    lab_data_ = lab_data;
    lab_time_ = lab_time;
    prd_at_lab_time_ = prediction;
    return BiasAttempt::updated;
}

void BiasUpdate::restore_histories(std::span<const double> prd_data, std::span<const double> prd_time,
                                   std::span<const double> lab) {
    const std::size_t n = prd_data.size();
    const bool consistent = prd_time.size() == n && (n == 0 || n == prd_data_.capacity()) &&
                            lab.size() == (n == 0 ? 0 : lab_.values().capacity());
    if (!consistent)
        throw Error(Errc::size_mismatch, "the histories must be both empty or both full, times beside predictions");
    prd_data_.assign(prd_data);
    prd_time_.assign(prd_time);
    lab_.assign(lab);
}

void BiasUpdate::restore_result(bool update_flag, double lab_data, double lab_time, double prd_at_lab_time) noexcept {
    update_flag_ = update_flag;
    lab_data_ = lab_data;
    lab_time_ = lab_time;
    prd_at_lab_time_ = prd_at_lab_time;
}

}  // namespace ovelin

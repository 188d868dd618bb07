#pragma once
// First-order lead-lag (alpha*tao*s + 1)/(tao*s + 1) with unit steady-state
// gain, run sample by sample with bumpless parameter changes.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "ovelin/linear_filter.hpp"

namespace ovelin {

// Times (tao, ts) are in seconds; alpha is dimensionless (the lead: the
// initial jump as a fraction of a step).
//
// Discrete coefficients (ascending powers of z^-1, a[0] = 1), p = exp(-ts/tao):
//   tao == 0:            b = [1],                 a = [1]
//   alpha == 0, tao > 0: b = [1 - p],             a = [1, -p]
//   alpha > 0,  tao > 0: b = [alpha, 1 - alpha - p], a = [1, -p]
// ts is taken as given (0 holds the output: p = 1). Throws ovelin::Error:
// non_finite_parameter for a NaN or infinite alpha or tao, and
// negative_parameter for the pairs without a filter (tao < 0, or tao > 0 with
// alpha < 0).
LinearFilter lead_lag_filter(double alpha, double tao, double ts);

// The block: parameters, coefficients, last input and output, and state.
class LeadLag {
public:
    // u_ini, y_ini: the last input and output before the first sample. With
    // both known the filter continues from them; otherwise it starts at rest
    // at its first input. Throws Errc::non_finite_parameter for a NaN or
    // infinite alpha or tao, Errc::invalid_sample_time unless ts is finite and
    // > 0, and Errc::negative_parameter as lead_lag_filter().
    explicit LeadLag(double alpha = 0.0, double tao = 5.0, double ts = 1.0, std::optional<double> u_ini = std::nullopt,
                     std::optional<double> y_ini = std::nullopt);

    // One sample; records u and the output as the last input and output.
    double step(double u) noexcept;
    // Same results as repeated step(); in place allowed. Throws, changing
    // nothing: Errc::no_first_sample for an empty u while the state is unset,
    // Errc::no_last_sample for an empty u otherwise, Errc::size_mismatch
    // unless y.size() == u.size().
    void run(std::span<const double> u, std::span<double> y);

    // Recomputes the coefficients from alpha, tao and ts and rebuilds the
    // state from the last input and output (unset if either is unknown).
    // Throws Errc::negative_parameter as lead_lag_filter(); nothing changes.
    void rebuild();

    // The setters only store; rebuild() applies them. They refuse a value
    // that can never give a filter, storing nothing: Errc::non_finite_parameter
    // for a NaN or infinite alpha or tao, Errc::invalid_sample_time for a ts
    // that is not finite and > 0. A negative alpha or tao is stored and left
    // to rebuild().
    double alpha() const noexcept { return alpha_; }
    void set_alpha(double alpha);
    double tao() const noexcept { return tao_; }
    void set_tao(double tao);
    double ts() const noexcept { return ts_; }
    void set_ts(double ts);

    // The coefficients in use (ascending powers of z^-1).
    std::span<const double> b() const noexcept { return filter_.b(); }
    std::span<const double> a() const noexcept { return filter_.a(); }
    // Replaces the coefficients, keeping a set state. Throws as the
    // LinearFilter constructor, or Errc::size_mismatch when a set state does
    // not fit the new order; nothing changes then.
    void set_coefficients(std::span<const double> b, std::span<const double> a);

    // The last input and output (unset before the first sample unless given).
    std::optional<double> last_input() const noexcept { return u_; }
    void set_last_input(std::optional<double> u) noexcept { u_ = u; }
    std::optional<double> last_output() const noexcept { return y_; }
    void set_last_output(std::optional<double> y) noexcept { y_ = y; }

    // The state may be unset (initialised at the next sample) or set; when
    // set it has state_size() elements (0 for tao == 0, else 1).
    bool has_state() const noexcept { return has_state_; }
    std::span<const double> state() const noexcept { return has_state_ ? filter_.state() : std::span<const double>{}; }
    std::size_t state_size() const noexcept { return filter_.state_size(); }
    // Throws Errc::size_mismatch unless z has state_size() elements.
    void set_state(std::span<const double> z);
    void clear_state() noexcept { has_state_ = false; }

private:
    void start_at_rest(double u) noexcept;

    double alpha_;
    double tao_;
    double ts_;
    std::optional<double> u_;
    std::optional<double> y_;
    LinearFilter filter_;
    bool has_state_ = false;
};

// Ideal continuous step response of (alpha*tao*s + 1)/(tao*s + 1) from r1 to
// r2 at t = 0, 1, ..., out.size() - 1: r1 + (r2 - r1)*wk with wk = 1 for
// tao <= 0, else wk = 1 - (1 - alpha)*exp((-1/tao)*t).
void filter_step_response(double tao, double alpha, double r1, double r2, std::span<double> out) noexcept;
// n samples; a negative n gives an empty result for tao > 0 (as an empty
// time axis) but is refused for tao <= 0 with Errc::negative_size.
std::vector<double> filter_step_response(std::int64_t n, double tao, double alpha, double r1 = 0.0, double r2 = 1.0);

}  // namespace ovelin

#include "ovelin/lead_lag.hpp"

#include <array>
#include <cmath>
#include <string>

#include "ovelin/error.hpp"
#include "ovelin/numeric.hpp"

namespace ovelin {

namespace {

// An infinite tao or alpha would turn the coefficients into NaN or infinity.
double finite_parameter(double value, const char* name) {
    if (!std::isfinite(value)) {
        throw Error(Errc::non_finite_parameter, std::string(name) + " must be a finite number");
    }
    return value;
}

double sample_time(double ts) {
    require_sample_time(ts);
    return ts;
}

}  // namespace

LinearFilter lead_lag_filter(double alpha, double tao, double ts) {
    finite_parameter(alpha, "alpha");
    finite_parameter(tao, "tao");
    if (tao == 0.0) {
        const std::array<double, 1> one{1.0};
        return LinearFilter(one, one);
    }
    if (tao < 0.0) throw Error(Errc::negative_parameter, "tao must not be negative");
    if (alpha < 0.0) throw Error(Errc::negative_parameter, "alpha must not be negative");

    // Zero-order-hold equivalent, formed the way the state-space route does it
    // (realisation A = -1/tao, B = 1, C, D; exp of [[A, B], [0, 0]]*ts; back to
    // polynomials), so the coefficients round like the usual
    // continuous-to-discrete conversion. Exact exponentials replace its Pade
    // approximation.
    const double c = 1.0 / tao;
    const double x = ts * -c;
    const double ad = std::exp(x);
    const double bd = x == 0.0 ? ts : ts * (std::expm1(x) / x);
    const std::array<double, 2> a{1.0, -ad};
    if (alpha == 0.0) {
        // The hold equivalent is [0, 1 - p]: dropping the leading zero removes
        // the one-sample delay.
        const std::array<double, 1> b{-(ad - bd * c) + ad};
        return LinearFilter(b, a);
    }
    const double d = (alpha * tao) / tao;
    const double c_ll = c - d * c;
    const std::array<double, 2> b{1.0 + (d - 1.0), -(ad - bd * c_ll) + (d - 1.0) * -ad};
    return LinearFilter(b, a);
}

LeadLag::LeadLag(double alpha, double tao, double ts, std::optional<double> u_ini, std::optional<double> y_ini)
    : alpha_(finite_parameter(alpha, "alpha")),
      tao_(finite_parameter(tao, "tao")),
      ts_(sample_time(ts)),
      u_(u_ini),
      y_(y_ini),
      filter_(lead_lag_filter(alpha, tao, ts)) {
    if (u_ && y_) {
        filter_.set_state_from_history(std::span<const double>(&*y_, 1), std::span<const double>(&*u_, 1));
        has_state_ = true;
    }
}

void LeadLag::start_at_rest(double u) noexcept {
    const std::span<const double> past(&u, 1);
    filter_.set_state_from_history(past, past);
    has_state_ = true;
}

double LeadLag::step(double u) noexcept {
    if (!has_state_) start_at_rest(u);
    const double y = filter_.step(u);
    u_ = u;
    y_ = y;
    return y;
}

void LeadLag::run(std::span<const double> u, std::span<double> y) {
    if (u.empty()) {
        // The first sample is needed to start at rest, the last one to record.
        if (!has_state_) throw Error(Errc::no_first_sample, "the input has no first sample");
        throw Error(Errc::no_last_sample, "the input has no last sample");
    }
    if (u.size() != y.size()) {
        throw Error(Errc::size_mismatch, "input and output must have the same length, got " + std::to_string(u.size()) +
                                             " and " + std::to_string(y.size()));
    }
    const double u_last = u.back();  // read before an in-place run overwrites it
    if (!has_state_) start_at_rest(u.front());
    filter_.run(u, y);
    u_ = u_last;
    y_ = y.back();
}

void LeadLag::rebuild() {
    LinearFilter filter = lead_lag_filter(alpha_, tao_, ts_);
    const bool known = u_.has_value() && y_.has_value();
    if (known) {
        filter.set_state_from_history(std::span<const double>(&*y_, 1), std::span<const double>(&*u_, 1));
    }
    filter_ = std::move(filter);
    has_state_ = known;
}

void LeadLag::set_alpha(double alpha) {
    alpha_ = finite_parameter(alpha, "alpha");
}

void LeadLag::set_tao(double tao) {
    tao_ = finite_parameter(tao, "tao");
}

void LeadLag::set_ts(double ts) {
    ts_ = sample_time(ts);
}

void LeadLag::set_coefficients(std::span<const double> b, std::span<const double> a) {
    LinearFilter filter(b, a);
    if (has_state_) filter.set_state(filter_.state());
    filter_ = std::move(filter);
}

void LeadLag::set_state(std::span<const double> z) {
    filter_.set_state(z);
    has_state_ = true;
}

void filter_step_response(double tao, double alpha, double r1, double r2, std::span<double> out) noexcept {
    const double rise = r2 - r1;
    if (tao <= 0.0) {
        for (double& v : out) v = r1 + rise * 1.0;
        return;
    }
    const double rate = -1.0 / tao;
    const double start = 1.0 - alpha;
    for (std::size_t t = 0; t < out.size(); ++t) {
        const double wk = 1.0 - start * std::exp(rate * static_cast<double>(t));
        out[t] = r1 + rise * wk;
    }
}

std::vector<double> filter_step_response(std::int64_t n, double tao, double alpha, double r1, double r2) {
    if (n < 0) {
        if (tao <= 0.0) {
            throw Error(Errc::negative_size, "the number of samples must not be negative");
        }
        return {};
    }
    std::vector<double> out(static_cast<std::size_t>(n));
    filter_step_response(tao, alpha, r1, r2, out);
    return out;
}

}  // namespace ovelin

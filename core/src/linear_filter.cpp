#include "ovelin/linear_filter.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "ovelin/error.hpp"

namespace ovelin {

namespace {

void check_denominator(std::span<const double> a) {
    if (a.empty()) throw Error(Errc::empty_denominator, "the denominator has no coefficient");
    if (a[0] == 0.0) {
        throw Error(Errc::zero_leading_denominator, "the denominator's first coefficient is zero");
    }
}

std::string size_text(const char* what, std::size_t expected, std::size_t got) {
    return std::string(what) + " must have " + std::to_string(expected) + " elements, got " + std::to_string(got);
}

// Blocked pairwise summation of term(begin) .. term(begin + n - 1), in the
// order NumPy's float64 sum uses; lfiltic's sums must round the same way.
template <class Term>
double pairwise_sum(const Term& term, std::size_t begin, std::size_t n) {
    if (n < 8) {
        double res = -0.0;
        for (std::size_t i = 0; i < n; ++i) res += term(begin + i);
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = term(begin + j);
        std::size_t i = 8;
        for (; i < n - n % 8; i += 8) {
            for (std::size_t j = 0; j < 8; ++j) r[j] += term(begin + i + j);
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += term(begin + i);
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(term, begin, n2) + pairwise_sum(term, begin + n2, n - n2);
}

template <class Term>
double array_sum(const Term& term, std::size_t n) {
    return 0.0 + pairwise_sum(term, 0, n);  // the reduction starts from +0.0
}

}  // namespace

LinearFilter::LinearFilter(std::span<const double> b, std::span<const double> a)
    : b_(b.begin(), b.end()), a_(a.begin(), a.end()) {
    check_denominator(a);
    if (b.empty()) throw Error(Errc::empty_numerator, "the numerator has no coefficient");
    const std::size_t order = std::max(a.size(), b.size());
    const double a0 = a[0];
    bn_.resize(order);
    an_.resize(order);
    // Padding before dividing: a padded zero takes the sign of 0.0 / a0.
    for (std::size_t k = 0; k < order; ++k) {
        bn_[k] = (k < b.size() ? b[k] : 0.0) / a0;
        an_[k] = (k < a.size() ? a[k] : 0.0) / a0;
    }
    own_state_.assign(order - 1, 0.0);
    z_ = own_state_.data();
    state_size_ = order - 1;
    if (a.size() == 1) {
        kernel_ = order == 1 ? Kernel::gain : Kernel::fir;
    } else {
        kernel_ = order == 2 ? Kernel::iir1 : order == 3 ? Kernel::iir2 : Kernel::iir_n;
    }
}

LinearFilter::LinearFilter(const LinearFilter& other)
    : b_(other.b_),
      a_(other.a_),
      bn_(other.bn_),
      an_(other.an_),
      own_state_(other.z_, other.z_ + other.state_size_),
      z_(own_state_.data()),
      state_size_(other.state_size_),
      kernel_(other.kernel_) {}

LinearFilter& LinearFilter::operator=(const LinearFilter& other) {
    if (this != &other) *this = LinearFilter(other);
    return *this;
}

LinearFilter::LinearFilter(LinearFilter&& other) noexcept
    : b_(std::move(other.b_)),
      a_(std::move(other.a_)),
      bn_(std::move(other.bn_)),
      an_(std::move(other.an_)),
      own_state_(std::move(other.own_state_)),
      lent_to_(std::move(other.lent_to_)),
      z_(lent_to_ ? other.z_ : own_state_.data()),
      state_size_(other.state_size_),
      kernel_(other.kernel_) {
    other.z_ = other.own_state_.data();
    other.state_size_ = 0;
}

LinearFilter& LinearFilter::operator=(LinearFilter&& other) noexcept {
    if (this != &other) {
        b_ = std::move(other.b_);
        a_ = std::move(other.a_);
        bn_ = std::move(other.bn_);
        an_ = std::move(other.an_);
        own_state_ = std::move(other.own_state_);
        lent_to_ = std::move(other.lent_to_);
        z_ = lent_to_ ? other.z_ : own_state_.data();
        state_size_ = other.state_size_;
        kernel_ = other.kernel_;
        other.z_ = other.own_state_.data();
        other.state_size_ = 0;
    }
    return *this;
}

void LinearFilter::lend_state(std::shared_ptr<double[]> buffer, double* place) noexcept {
    std::copy(z_, z_ + state_size_, place);
    lent_to_ = std::move(buffer);
    z_ = place;
    own_state_.clear();
    own_state_.shrink_to_fit();
}

double LinearFilter::step_n(double x) noexcept {
    const std::size_t last = state_size_ - 1;
    const double y = z_[0] + bn_[0] * x;
    for (std::size_t n = 0; n < last; ++n) {
        z_[n] = z_[n + 1] + x * bn_[n + 1] - y * an_[n + 1];
    }
    z_[last] = x * bn_[last + 1] - y * an_[last + 1];
    return y;
}

// The reference convolves b with the one sample, each product summed onto
// +0.0, and adds the state.
double LinearFilter::step_fir(double x) noexcept {
    const std::size_t last = state_size_ - 1;
    const double y = (bn_[0] * x + 0.0) + z_[0];
    for (std::size_t n = 0; n < last; ++n) z_[n] = (bn_[n + 1] * x + 0.0) + z_[n + 1];
    z_[last] = bn_[last + 1] * x + 0.0;
    return y;
}

namespace {

// The recursion with a state of S elements kept in locals, which the compiler
// unrolls and holds in registers: the batch path of the common low orders.
template <std::size_t S>
void run_fixed(const std::vector<double>& bn, const std::vector<double>& an, double* state, std::span<const double> x,
               std::span<double> y) noexcept {
    std::array<double, S + 1> b, a;
    std::array<double, S> z;
    std::copy_n(bn.begin(), S + 1, b.begin());
    std::copy_n(an.begin(), S + 1, a.begin());
    std::copy_n(state, S, z.begin());
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double xi = x[i];
        const double yi = z[0] + b[0] * xi;
        for (std::size_t n = 0; n + 1 < S; ++n) z[n] = z[n + 1] + xi * b[n + 1] - yi * a[n + 1];
        z[S - 1] = xi * b[S] - yi * a[S];
        y[i] = yi;
    }
    std::copy(z.begin(), z.end(), state);
}

}  // namespace

void LinearFilter::run(std::span<const double> x, std::span<double> y) {
    if (x.size() != y.size()) {
        throw Error(Errc::size_mismatch, "input and output must have the same length, got " + std::to_string(x.size()) +
                                             " and " + std::to_string(y.size()));
    }
    // Each x[i] is read before y[i] is written, so x and y may be one buffer.
    if (kernel_ == Kernel::gain) {
        const double b0 = bn_[0];
        for (std::size_t i = 0; i < x.size(); ++i) y[i] = x[i] * b0 + 0.0;
        return;
    }
    if (kernel_ == Kernel::fir) {
        for (std::size_t i = 0; i < x.size(); ++i) y[i] = step_fir(x[i]);
        return;
    }
    switch (state_size_) {
        case 1: run_fixed<1>(bn_, an_, z_, x, y); break;
        case 2: run_fixed<2>(bn_, an_, z_, x, y); break;
        case 3: run_fixed<3>(bn_, an_, z_, x, y); break;
        case 4: run_fixed<4>(bn_, an_, z_, x, y); break;
        case 5: run_fixed<5>(bn_, an_, z_, x, y); break;
        case 6: run_fixed<6>(bn_, an_, z_, x, y); break;
        case 7: run_fixed<7>(bn_, an_, z_, x, y); break;
        case 8: run_fixed<8>(bn_, an_, z_, x, y); break;
        default:
            for (std::size_t i = 0; i < x.size(); ++i) y[i] = step_n(x[i]);
            break;
    }
}

void LinearFilter::set_state(std::span<const double> z) {
    if (z.size() != state_size_) {
        throw Error(Errc::size_mismatch, size_text("filter state", state_size_, z.size()));
    }
    std::copy(z.begin(), z.end(), z_);
}

void LinearFilter::set_state_from_history(std::span<const double> y, std::span<const double> x) {
    lfiltic(b_, a_, y, x, std::span<double>(z_, state_size_));
}

std::size_t lfiltic_size(std::size_t b_size, std::size_t a_size) noexcept {
    const std::size_t n = a_size == 0 ? 0 : a_size - 1;
    const std::size_t m = b_size == 0 ? 0 : b_size - 1;
    return std::max(m, n);
}

void lfiltic(std::span<const double> b, std::span<const double> a, std::span<const double> y, std::span<const double> x,
             std::span<double> zi) {
    check_denominator(a);
    const std::size_t n_a = a.size() - 1;
    const std::size_t n_b = b.empty() ? 0 : b.size() - 1;
    const std::size_t k = std::max(n_a, n_b);
    if (zi.size() != k) {
        throw Error(Errc::size_mismatch, size_text("initial state", k, zi.size()));
    }
    // Past values beyond those given count as zero.
    const auto past_x = [x](std::size_t i) { return i < x.size() ? x[i] : 0.0; };
    const auto past_y = [y](std::size_t i) { return i < y.size() ? y[i] : 0.0; };
    for (std::size_t m = 0; m < k; ++m) {
        double v = 0.0;
        if (m < n_b) {
            v = array_sum([&](std::size_t i) { return b[m + 1 + i] * past_x(i); }, n_b - m);
        }
        if (m < n_a) {
            v -= array_sum([&](std::size_t i) { return a[m + 1 + i] * past_y(i); }, n_a - m);
        }
        zi[m] = v;
    }
    if (a[0] != 1.0) {
        for (double& v : zi) v /= a[0];
    }
}

std::vector<double> lfiltic(std::span<const double> b, std::span<const double> a, std::span<const double> y,
                            std::span<const double> x) {
    check_denominator(a);
    std::vector<double> zi(lfiltic_size(b.size(), a.size()));
    lfiltic(b, a, y, x, zi);
    return zi;
}

}  // namespace ovelin

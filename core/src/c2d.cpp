#include "ovelin/c2d.hpp"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>

#include <Eigen/Dense>
#include <unsupported/Eigen/MatrixFunctions>

#include "ovelin/error.hpp"
#include "ovelin/numeric.hpp"

namespace ovelin {
namespace {

// Normalised numerator coefficients this small count as leading zeros.
constexpr double negligible_leading = 1e-14;

constexpr int grown(int n) {
    return n == Eigen::Dynamic ? Eigen::Dynamic : n + 1;
}

template <typename Derived>
void require_finite(const Eigen::MatrixBase<Derived>& m) {
    if (!m.allFinite()) {
        throw Error(Errc::non_finite_matrix, "the state-space matrices contain NaN or infinite values");
    }
}

// Diagonal similarity D^-1 A D by powers of two that brings each row and
// column to comparable norms; returns diag(D). Canonical-form matrices and
// their exponentials are badly scaled (entries spanning many decades): the
// unbalanced QR iteration then loses digits of the small eigenvalues, and the
// exponential squares more often than needed, amplifying rounding. Powers of
// two make the similarity exact. Parlett-Reinsch iteration.
template <typename Matrix>
Eigen::Matrix<double, Matrix::RowsAtCompileTime, 1> balance(Matrix& a) {
    constexpr double radix = 2.0;
    constexpr double sfmin = std::numeric_limits<double>::min() / std::numeric_limits<double>::epsilon();
    constexpr double sfmax = 1.0 / sfmin;
    const Eigen::Index n = a.rows();
    Eigen::Matrix<double, Matrix::RowsAtCompileTime, 1> scale =
        Eigen::Matrix<double, Matrix::RowsAtCompileTime, 1>::Ones(n);
    bool converged = false;
    for (int sweep = 0; !converged && sweep < 100; ++sweep) {
        converged = true;
        for (Eigen::Index i = 0; i < n; ++i) {
            double c = a.col(i).norm();
            double r = a.row(i).norm();
            if (c == 0.0 || r == 0.0) continue;
            const double sum = c + r;
            double f = 1.0;
            while (c < r / radix && c < sfmax / radix && r > sfmin * radix) {
                f *= radix;
                c *= radix;
                r /= radix;
            }
            while (c / radix >= r && r < sfmax / radix && c > sfmin * radix) {
                f /= radix;
                c /= radix;
                r *= radix;
            }
            if (c + r >= 0.95 * sum) continue;
            converged = false;
            a.row(i) /= f;
            a.col(i) *= f;
            scale(i) *= f;
        }
    }
    return scale;
}

// Monic characteristic polynomial (descending powers) of a square matrix, by
// multiplying out (x - lambda_i) over its eigenvalues in complex arithmetic and
// keeping the real parts: the eigenvalues of a real matrix come in exact
// conjugate pairs, so the imaginary parts are rounding noise.
template <int N>
void characteristic_polynomial(Eigen::Matrix<double, N, N> a, std::span<double> out) {
    require_finite(a);
    if constexpr (N == 1) {
        out[0] = 1.0;
        out[1] = -a(0, 0);
        return;
    }
    balance(a);
    const Eigen::EigenSolver<Eigen::Matrix<double, N, N>> solver(a, /*computeEigenvectors=*/false);
    if (solver.info() != Eigen::Success) {
        throw Error(Errc::no_convergence, "the eigenvalue computation did not converge");
    }
    const auto& roots = solver.eigenvalues();
    const Eigen::Index n = a.rows();
    Eigen::Matrix<std::complex<double>, grown(N), 1> coef =
        Eigen::Matrix<std::complex<double>, grown(N), 1>::Zero(n + 1);
    coef(0) = 1.0;
    for (Eigen::Index i = 0; i < n; ++i) {
        const std::complex<double> root = roots(i);
        for (Eigen::Index k = i + 1; k > 0; --k) coef(k) -= coef(k - 1) * root;
    }
    for (Eigen::Index k = 0; k <= n; ++k) out[static_cast<std::size_t>(k)] = coef(k).real();
}

// num and den are trimmed (den[0] != 0, num not longer than den, num not
// empty). N is the state order, or Eigen::Dynamic.
template <int N>
TransferFunction discretise(std::span<const double> num, std::span<const double> den, double ts) {
    using Square = Eigen::Matrix<double, N, N>;
    using Block = Eigen::Matrix<double, grown(N), grown(N)>;

    // A static gain is realised as one state with A = B = C = 0, so the
    // result still has a pole at z = 1 that the numerator cancels.
    const bool static_gain = den.size() == 1;
    const Eigen::Index n = static_gain ? 1 : static_cast<Eigen::Index>(den.size()) - 1;
    const double den0 = den[0];
    const std::size_t pad = den.size() - num.size();
    const auto b = [&](std::size_t i) { return i < pad ? 0.0 : num[i - pad] / den0; };

    // Controllable canonical form, embedded in [[A, B], [0, 0]].
    Block m = Block::Zero(n + 1, n + 1);
    Eigen::Matrix<double, 1, N> c = Eigen::Matrix<double, 1, N>::Zero(1, n);
    const double d = b(0);
    if (!static_gain) {
        for (Eigen::Index i = 0; i < n; ++i) {
            const double a = den[static_cast<std::size_t>(i) + 1] / den0;
            m(0, i) = -a;
            c(i) = b(static_cast<std::size_t>(i) + 1) - d * a;
        }
        for (Eigen::Index i = 1; i < n; ++i) m(i, i - 1) = 1.0;
        m(0, n) = 1.0;
    }
    m *= ts;
    require_finite(m);

    Square ad(n, n);
    Eigen::Matrix<double, N, 1> bd(n);
    if constexpr (N == 1) {
        // Triangular 2x2: closed form, free of the squaring phase's rounding.
        const double x = m(0, 0);
        ad(0, 0) = std::exp(x);
        bd(0) = x == 0.0 ? m(0, 1) : m(0, 1) * (std::expm1(x) / x);
    } else {
        const auto scale = balance(m);
        const Block e = m.exp();
        // Undo the similarity on the top rows: exp(D^-1 M D) = D^-1 exp(M) D.
        for (Eigen::Index i = 0; i < n; ++i) {
            for (Eigen::Index j = 0; j < n; ++j) ad(i, j) = e(i, j) * (scale(i) / scale(j));
            bd(i) = e(i, n) * (scale(i) / scale(n));
        }
    }

    TransferFunction result{std::vector<double>(static_cast<std::size_t>(n) + 1),
                            std::vector<double>(static_cast<std::size_t>(n) + 1)};
    characteristic_polynomial<N>(ad, result.den);
    // The zeros: C (zI - Ad)^-1 Bd + D over the poles, via det(zI - Ad + Bd C).
    const Square closed = ad - bd * c;
    characteristic_polynomial<N>(closed, result.num);
    for (std::size_t k = 0; k < result.num.size(); ++k) result.num[k] += (d - 1.0) * result.den[k];
    return result;
}

}  // namespace

TransferFunction zoh(std::span<const double> num, std::span<const double> den, double ts) {
    const auto den_first = std::ranges::find_if(den, [](double x) { return x != 0.0; });
    if (den_first == den.end()) {
        throw Error(Errc::all_zero_denominator, "the denominator has no non-zero coefficient");
    }
    const std::span<const double> den_trimmed(den_first, den.end());
    const double den0 = den_trimmed.front();

    // Leading numerator coefficients that are negligible after normalisation
    // go too, but at least one coefficient stays.
    std::size_t skip = 0;
    while (skip < num.size() && std::abs(num[skip] / den0) <= negligible_leading) ++skip;
    if (skip == num.size() && skip > 0) --skip;
    const std::span<const double> num_trimmed = num.subspan(skip);

    if (num_trimmed.size() > den_trimmed.size()) {
        throw Error(Errc::improper_transfer_function, "the numerator has a higher degree than the denominator");
    }
    if (num_trimmed.empty()) throw Error(Errc::empty_numerator, "the numerator has no coefficient");

    // Low orders, the common case, get fixed-size (stack) matrices.
    switch (den_trimmed.size()) {
        case 1:
        case 2: return discretise<1>(num_trimmed, den_trimmed, ts);
        case 3: return discretise<2>(num_trimmed, den_trimmed, ts);
        case 4: return discretise<3>(num_trimmed, den_trimmed, ts);
        case 5: return discretise<4>(num_trimmed, den_trimmed, ts);
        default: return discretise<Eigen::Dynamic>(num_trimmed, den_trimmed, ts);
    }
}

TransferFunction c2d_zoh(std::span<const double> num, std::span<const double> den, double delay, double ts) {
    // A zero sample time is fine for the hold itself; only the dead time
    // needs ts > 0, and that is checked where the dead time is counted.
    if (ts != 0.0) require_sample_time(ts);
    const auto num_first = std::ranges::find_if(num, [](double x) { return x != 0.0; });
    if (num_first == num.end()) {
        throw Error(Errc::zero_numerator, "the numerator has no non-zero coefficient");
    }
    TransferFunction result = zoh(std::span<const double>(num_first, num.end()), den, ts);

    if (ts == 0.0) {
        throw Error(Errc::zero_sample_time, "the dead time cannot be counted in samples of a zero sample time");
    }
    const double samples = round_half_even(delay / ts);
    if (samples < 0.0) throw Error(Errc::negative_size, "the dead time must not be negative");
    // Beyond 2^60 doubles the byte count no longer fits a signed 64-bit size.
    if (samples >= 0x1p60) {
        throw Error(Errc::size_too_large, "the dead time has too many samples to store");
    }
    const auto zeros = static_cast<std::size_t>(samples);
    if (zeros > result.num.max_size() - result.num.size()) {
        throw Error(Errc::out_of_memory, "not enough memory for the samples of the dead time");
    }
    result.num.insert(result.num.begin(), zeros, 0.0);
    return result;
}

}  // namespace ovelin

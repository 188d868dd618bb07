#include "ovelin/number_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>

namespace ovelin {

namespace {

// Digits d1 d2 ... dn of a value 0.d1d2...dn * 10^point.
struct Decimal {
    bool negative;
    std::string digits;
    int point;
};

// The shortest digits that read back to `value` (finite).
Decimal shortest_decimal(double value) {
    char buffer[32];  // "-d.ddddddddddddddddde-308" at most
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    Decimal decimal{text.front() == '-', {}, 0};
    const std::size_t e = text.find('e');
    for (const char c : text.substr(decimal.negative, e - decimal.negative))
        if (c != '.') decimal.digits += c;
    std::string_view exponent = text.substr(e + 1);  // "+16", "-05"
    const bool below_one = exponent.front() == '-';
    exponent.remove_prefix(1);
    int magnitude = 0;
    std::from_chars(exponent.data(), exponent.data() + exponent.size(), magnitude);
    decimal.point = (below_one ? -magnitude : magnitude) + 1;
    return decimal;
}

std::string exponent_form(const Decimal& decimal) {
    std::string text = decimal.digits.substr(0, 1);
    if (decimal.digits.size() > 1) text += '.' + decimal.digits.substr(1);
    const int exponent = decimal.point - 1;
    text += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) text += '0';
    return text + std::to_string(magnitude);
}

std::string fixed_form(const Decimal& decimal) {
    const std::string& digits = decimal.digits;
    const int count = static_cast<int>(digits.size());
    if (decimal.point <= 0) return "0." + std::string(static_cast<std::size_t>(-decimal.point), '0') + digits;
    if (decimal.point < count)
        return digits.substr(0, static_cast<std::size_t>(decimal.point)) + '.' +
               digits.substr(static_cast<std::size_t>(decimal.point));
    return digits + std::string(static_cast<std::size_t>(decimal.point - count), '0') + ".0";
}

}  // namespace

std::string number_text(double value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    const Decimal decimal = shortest_decimal(value);
    // Fixed notation for 1e-4 <= |value| < 1e16, as people write such numbers.
    const bool exponent = decimal.point <= -4 || decimal.point > 16;
    const std::string text = exponent ? exponent_form(decimal) : fixed_form(decimal);
    return decimal.negative ? '-' + text : text;
}

}  // namespace ovelin

#pragma once
// Numbers as text in records that people and programs read back.

#include <string>

namespace ovelin {

// The shortest decimal text that reads back to the same double. Whole values
// keep one decimal ("12.0", "-0.0"); magnitudes below 1e-4 or from 1e16 up
// take the exponent form with a sign and at least two exponent digits
// ("1e-05", "1.5e+16"); NaN and the infinities are "nan", "inf", "-inf".
std::string number_text(double value);

}  // namespace ovelin

#include "ovelin/watchdog.hpp"

#include "ovelin/error.hpp"

namespace ovelin {

std::int64_t next_count(std::int64_t count, std::int64_t n) {
    if (n == 0) throw Error(Errc::zero_modulus, "the watchdog count cannot wrap modulo 0");
    if (n == 1 || n == -1) return 0;  // also avoids INT64_MIN % -1
    // Reduce first, so that adding one cannot overflow.
    std::int64_t r = count % n;
    if (r != 0 && ((r < 0) != (n < 0))) r += n;  // floor modulo: 0 <= r < n, or n < r <= 0
    r += 1;
    if (n > 0) return r == n ? 0 : r;
    return r > 0 ? r + n : r;
}

}  // namespace ovelin

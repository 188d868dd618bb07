#pragma once
// Watchdog counter: a count that rises by one per call and wraps around, the
// sign of life of a cyclic task.

#include <cstdint>

namespace ovelin {

// (count + 1) modulo n, the remainder taking the sign of n (floor modulo): the
// rule for any value type V with floor_mod (found by argument-dependent
// lookup), so that a caller's own numbers follow it as Python counts them.
template <class V>
V next_count(const V& count, const V& n) {
    return floor_mod(count + V(1), n);
}

// The same for 64-bit counts, exact for every count (no overflow). Throws
// Errc::zero_modulus for n == 0.
std::int64_t next_count(std::int64_t count, std::int64_t n);

// The counter block; it starts at 0.
class WatchDog {
public:
    // Advances the count modulo n (see next_count); a refused n leaves it.
    std::int64_t tick(std::int64_t n) { return ticks_ = next_count(ticks_, n); }

    std::int64_t ticks() const noexcept { return ticks_; }
    void set_ticks(std::int64_t ticks) noexcept { ticks_ = ticks; }

private:
    std::int64_t ticks_ = 0;
};

}  // namespace ovelin

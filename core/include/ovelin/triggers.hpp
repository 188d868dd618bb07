#pragma once
// The decision rules of the set/reset flip-flop and of the on- and off-delay
// timers, one sample at a time.
//
// The timers count in samples. Their rules are written once, over any value
// type with the comparisons and the subtraction they use, so that the same
// steps serve plain integers and values with their own arithmetic (a binding
// evaluates them on its language's objects).

#include <optional>

namespace ovelin {

// The new state of a set/reset flip-flop in which reset wins; nullopt when
// neither input is active and the previous state holds.
constexpr std::optional<bool> set_reset(bool set, bool reset) noexcept {
    if (reset) return false;
    if (set) return true;
    return std::nullopt;
}

// The count left after one sample, and whether any rule assigned it (an
// untouched count keeps the caller's own value).
template <class V>
struct Countdown {
    V left;
    bool assigned;
};

// On-delay: an input of exactly 0 reloads the count to `delay`; a running
// count goes down by one; an increase of the input (a rising edge) starts it
// at delay - 1. The three rules apply one after the other. The output is on
// once nothing is left to count.
template <class V>
Countdown<V> on_delay_count(const V& now, const V& before, const V& delay, V left) {
    bool assigned = false;
    if (now == 0) {
        left = delay;
        assigned = true;
    }
    if (left < delay && left > 0) {
        left = left - 1;
        assigned = true;
    }
    if (now > before) {
        left = delay - 1;
        assigned = true;
    }
    return {left, assigned};
}

// Off-delay: a strictly positive input reloads the count to `delay`; a
// running count goes down by one; a decrease of the input (a falling edge)
// starts it at delay - 1. The output is on while something is left to count.
template <class V>
Countdown<V> off_delay_count(const V& now, const V& before, const V& delay, V left) {
    bool assigned = false;
    if (now > 0) {
        left = delay;
        assigned = true;
    }
    if (left < delay && left > 0) {
        left = left - 1;
        assigned = true;
    }
    if (now < before) {
        left = delay - 1;
        assigned = true;
    }
    return {left, assigned};
}

}  // namespace ovelin

#pragma once
// The shift-register push on a history of numbers, newest sample first.

#include <algorithm>
#include <span>

namespace ovelin {

// Moves every element one place toward the end, dropping the last, and stores
// `sample` at index 0. An empty history stays empty.
template <class T>
void push_newest(std::span<T> history, T sample) noexcept {
    if (history.empty()) return;
    std::copy_backward(history.begin(), history.end() - 1, history.end());
    history.front() = sample;
}

}  // namespace ovelin

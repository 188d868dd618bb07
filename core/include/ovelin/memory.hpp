#pragma once
// Sizes that callers choose (a dead time, a history length, a response
// length) are checked against the machine before anything is allocated, so
// that a size no memory could hold is refused in the library's own words
// instead of failing inside the allocator or swapping the machine to a halt.

#include <cstddef>
#include <new>
#include <string>
#include <string_view>

#include "ovelin/error.hpp"

namespace ovelin {

// The machine's physical memory in bytes; SIZE_MAX where it cannot be read.
std::size_t physical_memory() noexcept;

// Whether `count` elements of `element_size` bytes fit in the machine's memory.
inline bool fits_in_memory(std::size_t count, std::size_t element_size) noexcept {
    return element_size == 0 || count <= physical_memory() / element_size;
}

// Throws Errc::out_of_memory when `count` elements of `element_size` bytes
// need more memory than the machine has. `what` names the buffer in the
// message, e.g. "the history of max_cache samples".
void require_memory(std::size_t count, std::size_t element_size, std::string_view what);

// The same for the simulators' buffers (a dead time, a response length), in
// their shorter words: "<what> cannot be held in memory".
inline void require_storable(std::size_t count, std::size_t element_size, const char* what) {
    if (!fits_in_memory(count, element_size))
        throw Error(Errc::out_of_memory, std::string(what) + " cannot be held in memory");
}

// Runs `make`, turning a failed allocation (a size that fits but that the
// system still cannot provide) into the same error.
template <class Make>
auto allocating(const char* what, Make&& make) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        throw Error(Errc::out_of_memory, std::string(what) + " cannot be held in memory");
    }
}

}  // namespace ovelin

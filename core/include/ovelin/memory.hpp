#pragma once
// Sizes that callers choose (a dead time, a history length, a response
// length) are checked against the machine before anything is allocated, so
// that a size no memory could hold is refused in the library's own words
// instead of failing inside the allocator or swapping the machine to a halt.

#include <cstddef>
#include <string_view>

namespace ovelin {

// The machine's physical memory in bytes; SIZE_MAX where it cannot be read.
std::size_t physical_memory() noexcept;

// Throws Errc::out_of_memory when `count` elements of `element_size` bytes
// need more memory than the machine has. `what` names the buffer in the
// message, e.g. "the history of max_cache samples".
void require_memory(std::size_t count, std::size_t element_size, std::string_view what);

}  // namespace ovelin

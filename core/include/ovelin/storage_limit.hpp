#pragma once
// Pair models and step responses: buffers whose size comes from the caller.
//
// A dead time or a response length comes from the caller and may be any
// number. A buffer larger than the machine's memory (ovelin/memory.hpp)
// cannot be used, so it is refused before anything is allocated; a smaller
// one that the system still cannot provide is refused the same way when the
// allocation fails.

#include <cstddef>
#include <new>
#include <string>

#include "ovelin/error.hpp"
#include "ovelin/memory.hpp"

namespace ovelin {

// The most elements of `element_size` bytes that the machine could hold.
inline std::size_t max_storable(std::size_t element_size) noexcept {
    return physical_memory() / element_size;
}

// Throws Errc::out_of_memory, saying `what`, unless `count` elements of
// `element_size` bytes each fit in the machine's memory.
inline void require_storable(std::size_t count, std::size_t element_size, const char* what) {
    if (element_size != 0 && count > max_storable(element_size))
        throw Error(Errc::out_of_memory, std::string(what) + " cannot be held in memory");
}

// Runs `make`, turning a failed allocation into Errc::out_of_memory.
template <class Make>
auto allocating(const char* what, Make&& make) {
    try {
        return make();
    } catch (const std::bad_alloc&) {
        throw Error(Errc::out_of_memory, std::string(what) + " cannot be held in memory");
    }
}

}  // namespace ovelin

#pragma once
// The largest buffer the core agrees to allocate for a caller-given size.
//
// A dead time or a response length comes from the caller and may be any
// number. A buffer beyond 2^47 bytes (128 TiB, the user address space of a
// 64-bit Linux process with four-level page tables) cannot exist, so it is
// refused before anything is allocated; a smaller one that the system still
// cannot provide is refused the same way when the allocation fails.

#include <cstddef>
#include <new>
#include <string>

#include "ovelin/error.hpp"

namespace ovelin {

inline constexpr std::size_t kMaxBufferBytes = std::size_t{1} << 47;

// Throws Errc::out_of_memory, saying `what`, unless `count` elements of
// `element_size` bytes each fit within kMaxBufferBytes.
inline void require_storable(std::size_t count, std::size_t element_size, const char* what) {
    if (element_size != 0 && count > kMaxBufferBytes / element_size)
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

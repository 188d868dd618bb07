#include "ovelin/memory.hpp"

#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <limits>
#include <string>

#include "ovelin/error.hpp"

namespace ovelin {

namespace {

// "256 TiB", "23.4 GiB": how much, for a person.
std::string bytes_text(double bytes) {
    static constexpr const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    while (bytes >= 1024.0 && unit + 1 < std::size(units)) {
        bytes /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

}  // namespace

std::size_t physical_memory() noexcept {
    const long pages = sysconf(_SC_PHYS_PAGES), page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0) return std::numeric_limits<std::size_t>::max();
    const auto total = static_cast<unsigned long long>(pages) * static_cast<unsigned long long>(page_size);
    return total > std::numeric_limits<std::size_t>::max() ? std::numeric_limits<std::size_t>::max()
                                                           : static_cast<std::size_t>(total);
}

void require_memory(std::size_t count, std::size_t element_size, std::string_view what) {
    if (fits_in_memory(count, element_size)) return;
    const std::size_t available = physical_memory();
    const double needed = static_cast<double>(count) * static_cast<double>(element_size);
    throw Error(Errc::out_of_memory, std::string(what) + " needs " + std::to_string(count) + " values (" +
                                         bytes_text(needed) + "), more memory than this machine has (" +
                                         bytes_text(static_cast<double>(available)) + ")");
}

}  // namespace ovelin

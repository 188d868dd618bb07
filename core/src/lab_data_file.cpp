#include "ovelin/lab_data_file.hpp"

#include <cerrno>
#include <new>

#include "ovelin/csv_append.hpp"
#include "ovelin/error.hpp"
#include "ovelin/number_text.hpp"

namespace ovelin {

namespace {

bool append_local_time(std::time_t seconds, std::string& text) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) return false;
    char buffer[64];
    text.append(buffer, std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local));
    return true;
}

}  // namespace

std::optional<std::string> lab_data_row(std::time_t export_time, std::time_t lab_time, double lab_data) {
    std::string row;
    if (!append_local_time(export_time, row)) return std::nullopt;
    row += ',';
    if (!append_local_time(lab_time, row)) return std::nullopt;
    row += ',';
    row += number_text(lab_data);
    row += '\n';
    return row;
}

LabDataFile::LabDataFile(std::string_view folder, std::string_view name) {
    if (!is_plain_name(name)) throw Error(Errc::invalid_argument, "a recorder name must not contain '/' or NUL");
    path_ = folder;
    if (path_.empty() || path_.back() != '/') path_ += '/';
    path_ += name;
    path_ += kLabDataFileSuffix;
}

bool LabDataFile::is_plain_name(std::string_view name) noexcept {
    return name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

int LabDataFile::append(const std::string& row) const noexcept {
    try {
        return append_csv_row(path_, kLabDataHeader, row);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

}  // namespace ovelin

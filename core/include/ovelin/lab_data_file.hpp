#pragma once
// The laboratory-data CSV file of a recorder: where it lies, and the rows
// it holds.
//
//     ExportTime,LabTime,LabData
//     2024-05-17 08:30:00,2024-05-17 08:00:00,12.35
//
// Times are local, "%Y-%m-%d %H:%M:%S"; the value is number_text().

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace ovelin {

inline constexpr std::string_view kLabDataHeader = "ExportTime,LabTime,LabData\n";
inline constexpr std::string_view kLabDataFileSuffix = "_Raw_LabData.csv";

// One row: export time, laboratory time, value, line feed. None when a time
// has no date in the local calendar (beyond the platform's years).
std::optional<std::string> lab_data_row(std::time_t export_time, std::time_t lab_time, double lab_data);

class LabDataFile {
public:
    // The file of recorder `name` in `folder`: folder/<name>_Raw_LabData.csv.
    // Throws Errc::invalid_argument for a name that is not a plain file name
    // part (see is_plain_name).
    LabDataFile(std::string_view folder, std::string_view name);

    // Whether `name` keeps the file inside its folder and the path usable by
    // the system: no '/' and no NUL character.
    static bool is_plain_name(std::string_view name) noexcept;

    const std::string& path() const noexcept { return path_; }

    // Appends one row made by lab_data_row (see append_csv_row; a new file
    // starts with the header). Returns 0 or the errno of the file step that
    // failed.
    int append(const std::string& row) const noexcept;

private:
    std::string path_;
};

}  // namespace ovelin

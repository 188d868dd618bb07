#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "error_code.hpp"
#include "ovelin/csv_append.hpp"
#include "ovelin/lab_data_file.hpp"

namespace {

// A fresh folder for one test, removed with what it holds.
class Folder {
public:
    Folder() {
        char name[] = "/tmp/ovelin-csv-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~Folder() { (void)std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The platform's seconds since the epoch of a local date and time.
std::time_t local_time(int year, int month, int day, int hour, int minute, int second) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::mktime(&tm);
}

}  // namespace

TEST(LabDataFile, RowHoldsLocalTimesAndTheValue) {
    const std::time_t exported = local_time(2024, 5, 17, 8, 30, 0), sampled = local_time(2024, 5, 17, 8, 0, 5);
    EXPECT_EQ(ovelin::lab_data_row(exported, sampled, 12.35), "2024-05-17 08:30:00,2024-05-17 08:00:05,12.35\n");
    EXPECT_EQ(ovelin::lab_data_row(exported, sampled, -1e-05), "2024-05-17 08:30:00,2024-05-17 08:00:05,-1e-05\n");
    // A year beyond the local calendar's has no text.
    EXPECT_EQ(ovelin::lab_data_row(exported, static_cast<std::time_t>(1) << 62, 1.0), std::nullopt);
}

TEST(LabDataFile, PathInItsFolderAndPlainNamesOnly) {
    EXPECT_EQ(ovelin::LabDataFile("/data/lab", "R1").path(), "/data/lab/R1_Raw_LabData.csv");
    EXPECT_EQ(ovelin::LabDataFile("/", "R1").path(), "/R1_Raw_LabData.csv");
    EXPECT_EQ(error_code([] { ovelin::LabDataFile("/data", "../R1"); }), ovelin::Errc::invalid_argument);
    EXPECT_EQ(error_code([] { ovelin::LabDataFile("/data", std::string("R\0", 2)); }), ovelin::Errc::invalid_argument);
}

// The file as found before one append, and as it must be after: nothing that
// was there is lost or moved, the header goes only into a file the append
// creates, and the row always starts a line of its own.
TEST(CsvAppend, AppendsToTheFileAsFound) {
    const std::string header = "H\n", row = "2024-05-17 08:30:00,2024-05-17 08:00:00,4.0\n";
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, header + row},
        {"", row},
        {"old row\n", "old row\n" + row},
        {"old row", "old row\n" + row},                                   // a hand edit without its line feed
        {"x\n2024-05-17 08:3", "x\n2024-05-17 08:3\n" + row},             // a row cut by a killed writer stays
        {"\n", "\n" + row},
    };
    for (const auto& [before, after] : cases) {
        const Folder folder;
        const std::string path = folder / "R_Raw_LabData.csv";
        if (before) write_file(path, *before);
        EXPECT_EQ(ovelin::append_csv_row(path, header, row), 0);
        EXPECT_EQ(read_file(path), after) << before.value_or("(no file)");
    }
}

// A symbolic link at the file's name is refused, whatever it points at, and
// nothing is written anywhere.
TEST(CsvAppend, NeverWritesThroughASymbolicLink) {
    const std::vector<std::optional<std::string>> targets{"kept\n", "kept", std::nullopt};
    for (const auto& content : targets) {
        const Folder folder;
        const std::string target = folder / "target.csv", path = folder / "R_Raw_LabData.csv";
        if (content) write_file(target, *content);
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
        EXPECT_EQ(ovelin::append_csv_row(path, "H\n", "row\n"), ELOOP);
        EXPECT_EQ(read_file(target), content);
    }
}

// Any name whose file fits the file system works: the temporary file is
// never longer than the file itself.
TEST(CsvAppend, LongestNamesWork) {
    for (const std::size_t length : {255u, 251u, 16u, 1u}) {
        const Folder folder;
        const std::string path = folder / std::string(length, 'n');
        EXPECT_EQ(ovelin::append_csv_row(path, "H\n", "row\n"), 0) << length;
        EXPECT_EQ(read_file(path), "H\nrow\n");
    }
    const Folder folder;
    EXPECT_EQ(ovelin::append_csv_row(folder / std::string(256, 'n'), "H\n", "row\n"), ENAMETOOLONG);
}

TEST(CsvAppend, FailuresReportTheirErrnoAndChangeNothing) {
    const Folder folder;
    ASSERT_EQ(::mkdir((folder / "dir").c_str(), 0777), 0);
    EXPECT_EQ(ovelin::append_csv_row(folder / "dir", "H\n", "row\n"), EISDIR);
    EXPECT_EQ(ovelin::append_csv_row(folder / "missing/R.csv", "H\n", "row\n"), ENOENT);
    EXPECT_EQ(read_file(folder / "missing"), std::nullopt);
}

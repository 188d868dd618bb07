#include <gtest/gtest.h>

#include <ctime>
#include <optional>
#include <string>

#include "error_code.hpp"
#include "ovelin/lab_data_file.hpp"

namespace {

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

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ovelin/csv_append.hpp"

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

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::optional<std::string> read_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace

// The file as found before one append, and as it must be after: nothing that
// was there is lost or moved, the header goes only into a file the append
// creates, and the row always starts a line of its own.
TEST(CsvAppend, AppendsToTheFileAsFound) {
    const std::string header = "H\n", row = "2024-05-17 08:30:00,2024-05-17 08:00:00,4.0\n";
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {std::nullopt, header + row},
        {"", row},
        {"old row\n", "old row\n" + row},
        {"old row", "old row\n" + row},                        // a hand edit without its line feed
        {"x\n2024-05-17 08:3", "x\n2024-05-17 08:3\n" + row},  // a row cut by a killed writer stays
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

// --- Writers in other processes ------------------------------------------------------

namespace {

// What the writers of one test share across fork().
struct Shared {
    std::atomic<int> arrived[100];  // per round: writers ready to create that round's file
    std::atomic<long> rows[2];      // rows each writer has appended to the shared file
    std::atomic<bool> stop;
};

Shared* shared_memory() {
    void* memory = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return memory == MAP_FAILED ? nullptr : new (memory) Shared{};
}

// Runs `work` in a child process, which ends with 0 when it returns true.
template <class Work>
pid_t start_process(Work work) {
    const pid_t pid = ::fork();
    if (pid == 0) ::_exit(work() ? 0 : 1);
    return pid;
}

int exit_status(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool one_writer(const Folder& folder, Shared& shared, int writer) {
    for (int round = 0; round < 100; ++round) {  // both race to create each file: one header, at the top
        ++shared.arrived[round];
        while (shared.arrived[round] < 2) {}
        const std::string row = std::to_string(writer) + ",race\n";
        if (ovelin::append_csv_row(folder / std::to_string(round), "H\n", row) != 0) return false;
    }
    while (!shared.stop) {
        const std::string row = std::to_string(writer) + "," + std::to_string(shared.rows[writer - 1]) + "\n";
        if (ovelin::append_csv_row(folder / "shared", "H\n", row) != 0) return false;
        ++shared.rows[writer - 1];
    }
    return true;
}

}  // namespace

TEST(CsvAppend, TwoProcessesAppendWholeRows) {
    const Folder folder;
    Shared* const shared = shared_memory();
    ASSERT_NE(shared, nullptr);
    const pid_t first = start_process([&] { return one_writer(folder, *shared, 1); });
    const pid_t second = start_process([&] { return one_writer(folder, *shared, 2); });
    // Until both have written rows side by side for a while (or a writer has failed).
    for (int waited_ms = 0; waited_ms < 30000 && (shared->rows[0] < 3000 || shared->rows[1] < 3000); ++waited_ms) {
        siginfo_t ended{};
        if (::waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) == 0 && ended.si_pid != 0) break;
        ::usleep(1000);
    }
    shared->stop = true;
    EXPECT_EQ(exit_status(first), 0);
    EXPECT_EQ(exit_status(second), 0);
    for (int round = 0; round < 100; ++round) {
        const std::string text = read_file(folder / std::to_string(round)).value_or("");
        EXPECT_TRUE(text == "H\n1,race\n2,race\n" || text == "H\n2,race\n1,race\n") << text;
    }
    const std::vector<std::string> lines = lines_of(read_file(folder / "shared").value_or(""));
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "H");
    long next[2] = {0, 0};  // each writer's rows appear whole, in its own order
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const int writer = lines[i][0] - '0';
        ASSERT_TRUE((writer == 1 || writer == 2) &&
                    lines[i] == std::to_string(writer) + "," + std::to_string(next[writer - 1]))
            << lines[i];
        ++next[writer - 1];
    }
    EXPECT_EQ(next[0], shared->rows[0]);
    EXPECT_EQ(next[1], shared->rows[1]);
    EXPECT_GT(next[0] + next[1], 0);
    ::munmap(shared, sizeof(Shared));
}

// A writer killed at any point of its loop leaves at most a piece of a row,
// which the next append ends with a line feed: nothing is removed, and no
// row is ever split by another.
TEST(CsvAppend, KilledWriterLosesNothingAndSplitsNoRow) {
    const Folder folder;
    const std::string path = folder / "shared", row = "2024-05-17 08:30:00,2024-05-17 08:00:00,123456.789012345\n";
    const auto size = [&] {
        struct stat info {};
        return ::stat(path.c_str(), &info) == 0 ? static_cast<long>(info.st_size) : 0L;
    };
    std::vector<long> sizes{0};
    for (int kill = 0; kill < 50; ++kill) {
        const pid_t writer = start_process([&] {
            for (;;) ovelin::append_csv_row(path, "H\n", row);
            return true;
        });
        for (int waited_ms = 0; waited_ms < 10000 && size() < sizes.back() + 2000; ++waited_ms) ::usleep(500);
        ::kill(writer, SIGKILL);
        EXPECT_TRUE(WIFSIGNALED(exit_status(writer)));
        sizes.push_back(size());
    }
    ASSERT_EQ(ovelin::append_csv_row(path, "H\n", row), 0);
    EXPECT_TRUE(std::is_sorted(sizes.begin(), sizes.end()));
    const std::string text = read_file(path).value_or("");
    EXPECT_EQ(text.back(), '\n');
    const std::vector<std::string> lines = lines_of(text);
    const std::string whole = row.substr(0, row.size() - 1);
    int pieces = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        ASSERT_EQ(whole.substr(0, lines[i].size()), lines[i]) << i;
        pieces += lines[i] != whole;
    }
    EXPECT_EQ(lines.front(), "H");
    EXPECT_LE(pieces, 50);
    EXPECT_GT(lines.size(), 50u * 2000 / row.size());
}

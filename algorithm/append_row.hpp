#pragma once
// Appends one row to a text file that other writers, in other processes, may
// append to as well, so that rows stay whole.
//
// - A row reaches the file in one write() on a descriptor opened with
//   O_APPEND, under an exclusive advisory lock (flock) that every writer of
//   this kind takes: rows of two writers never interleave.
// - The header goes only into a file this call creates, as its first line:
//   the new file is written complete (header and row) under a temporary name
//   and linked into place, which fails if another writer created the file
//   first; that writer's header then stands and the row is appended.
// - A writer killed in the middle of a row can still leave part of it: the
//   kernel may stop a write between two pages. The next append finds that
//   piece as an unterminated last line shaped like a row and removes it
//   before writing (under the lock, so no other row is touched). An
//   unterminated last line of other content is kept, and the row starts on a
//   line of its own. A row that a full disk cuts short is taken back at once.
//
// Plain POSIX, no Python: callers may run it with the interpreter lock
// released. Errors come back as errno values, never as exceptions.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace ovelin::binding {

namespace detail {

// Writes all of `text`, resuming after signals and short writes.
inline int write_all(int fd, std::string_view text) noexcept {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return 0;
}

inline int close_checked(int fd, int error) noexcept {
    const int closed = ::close(fd) == 0 ? 0 : errno;
    return error != 0 ? error : closed;
}

// The start of a row: export time "YYYY-mm-dd HH:MM:SS," ('0' stands for a
// digit), then characters of times and numbers.
inline bool is_torn_row(std::string_view tail) noexcept {
    constexpr std::string_view stamp = "0000-00-00 00:00:00,";
    constexpr std::string_view row_chars = "0123456789-: ,.e+naif";
    for (std::size_t i = 0; i < tail.size(); ++i) {
        const char c = tail[i];
        const bool fits = i < stamp.size() ? (stamp[i] == '0' ? c >= '0' && c <= '9' : c == stamp[i])
                                           : row_chars.find(c) != std::string_view::npos;
        if (!fits) return false;
    }
    return !tail.empty();
}

enum class Tail { terminated, torn, foreign };

// How the file of `size` bytes ends; `length` is that of an unterminated
// last line (rows are far shorter than the window read).
inline int inspect_tail(int fd, off_t size, Tail& kind, off_t& length) noexcept {
    kind = Tail::terminated;
    if (size == 0) return 0;
    char window[256];
    const off_t count = size < static_cast<off_t>(sizeof window) ? size : static_cast<off_t>(sizeof window);
    ssize_t got;
    do {
        got = ::pread(fd, window, static_cast<std::size_t>(count), size - count);
    } while (got < 0 && errno == EINTR);
    if (got < 0) return errno;
    if (got != count) return 0;  // cut by a writer that takes no lock: leave it alone
    const std::string_view text(window, static_cast<std::size_t>(count));
    if (text.back() == '\n') return 0;
    const std::size_t newline = text.rfind('\n');
    if (newline == std::string_view::npos && count < size) {
        kind = Tail::foreign;
        return 0;
    }
    const std::string_view tail = newline == std::string_view::npos ? text : text.substr(newline + 1);
    kind = is_torn_row(tail) ? Tail::torn : Tail::foreign;
    length = static_cast<off_t>(tail.size());
    return 0;
}

// The exclusive lock: 0, EWOULDBLOCK when another writer has held it for
// seconds (stopped or stuck: the row is refused rather than the caller held
// up), or another errno where the file system has no locks.
inline int lock_file(int fd) noexcept {
    for (int waited_ms = 0;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || waited_ms == 2000) return errno;
        ::usleep(1000);
        ++waited_ms;
    }
}

// Appends to an open file under the lock: `first` instead of the row when
// the file is empty and `first` is given; the repairs described above.
inline int append_locked(int fd, bool readable, std::string_view row, const std::string* first) {
    const int lock = lock_file(fd);
    if (lock == EWOULDBLOCK) return close_checked(fd, lock);
    const bool locked = lock == 0;  // without locks, a plain append
    std::string text(row);
    struct stat info {};
    if (::fstat(fd, &info) != 0) return close_checked(fd, errno);
    if (first != nullptr && info.st_size == 0) text = *first;
    if (locked && readable) {
        Tail kind;
        off_t length = 0;
        if (const int error = inspect_tail(fd, info.st_size, kind, length); error != 0) return close_checked(fd, error);
        if (kind == Tail::torn) {
            info.st_size -= length;
            if (::ftruncate(fd, info.st_size) != 0) return close_checked(fd, errno);
        } else if (kind == Tail::foreign) {
            text.insert(0, 1, '\n');
        }
    }
    const int error = write_all(fd, text);
    if (error != 0 && locked) (void)::ftruncate(fd, info.st_size);
    return close_checked(fd, error);  // closing releases the lock
}

// Opens an existing file for appending, readable where permitted.
inline int open_for_append(const std::string& path, int create, bool& readable) noexcept {
    int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CLOEXEC | create, 0666);
    readable = fd >= 0;
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | create, 0666);
    return fd;
}

inline bool links_unsupported(int error) noexcept {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS || error == EXDEV;
}

enum class Publish { created, exists, failed };

// Creates `path` holding `content` in one step, unless it exists. Where the
// file system has no hard links, an exclusive create followed by one write
// does the same with a window of a few instructions.
inline Publish publish_new_file(const std::string& path, std::string_view content, int& error) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);

    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(::getpid()), counter++);
        temp = dir + "." + base + suffix;
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            error = errno;
            return Publish::failed;
        }
    }
    if (fd < 0) {
        error = EEXIST;
        return Publish::failed;
    }
    if ((error = close_checked(fd, write_all(fd, content))) != 0) {
        ::unlink(temp.c_str());
        return Publish::failed;
    }
    const int linked = ::link(temp.c_str(), path.c_str()) == 0 ? 0 : errno;
    ::unlink(temp.c_str());
    if (linked == 0) return Publish::created;
    if (linked == EEXIST) return Publish::exists;
    if (!links_unsupported(linked)) {
        error = linked;
        return Publish::failed;
    }
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EEXIST) return Publish::exists;
        error = errno;
        return Publish::failed;
    }
    error = close_checked(fd, write_all(fd, content));
    return error == 0 ? Publish::created : Publish::failed;
}

inline int append_row(const std::string& path, std::string_view header, std::string_view row) {
    const std::string first = std::string(header) + std::string(row);
    bool readable = false;
    // A file that vanishes between the steps is created anew; twice in a row
    // means the name is a dangling symbolic link, which an append creates
    // through, as opening it for appending would.
    for (int round = 0; round < 2; ++round) {
        const int fd = open_for_append(path, 0, readable);
        if (fd >= 0) return append_locked(fd, readable, row, nullptr);
        if (errno != ENOENT) return errno;
        int error = 0;
        switch (publish_new_file(path, first, error)) {
        case Publish::created: return 0;
        case Publish::failed: return error;
        case Publish::exists: break;
        }
    }
    const int fd = open_for_append(path, O_CREAT, readable);
    if (fd < 0) return errno;
    return append_locked(fd, readable, row, &first);
}

}  // namespace detail

// Appends `row` to the file at `path`; a file that does not exist yet is
// created with `header` before the row. Returns 0 or the errno of the
// failing step (the file is then as it was).
inline int append_row(const std::string& path, std::string_view header, std::string_view row) noexcept {
    try {
        return detail::append_row(path, header, row);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

}  // namespace ovelin::binding

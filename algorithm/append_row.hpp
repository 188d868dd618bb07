#pragma once
// Appends one row to a text file that other writers, in other processes, may
// append to as well, so that every row lands whole.
//
// - A row reaches the file in one write() on a descriptor opened with
//   O_APPEND: appends of a small buffer to a regular file do not interleave,
//   and a writer killed mid-stream leaves no half row.
// - The header goes only into a file this call creates, as its first line:
//   the new file is written complete (header and row) under a temporary name
//   and linked into place, which fails if another writer created the file
//   first; that writer's header then stands and the row is appended.
//
// Plain POSIX, no Python: callers may run it with the interpreter lock
// released. Errors come back as errno values, never as exceptions.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
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

// Writes `text` and closes `fd`; the first error wins.
inline int write_and_close(int fd, std::string_view text) noexcept {
    const int written = write_all(fd, text);
    const int closed = ::close(fd) == 0 ? 0 : errno;
    return written != 0 ? written : closed;
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
    if ((error = write_and_close(fd, content)) != 0) {
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
    error = write_and_close(fd, content);
    return error == 0 ? Publish::created : Publish::failed;
}

inline int append_row(const std::string& path, std::string_view header, std::string_view row) {
    const std::string first = std::string(header) + std::string(row);
    // A file that vanishes between the steps is created anew; twice in a row
    // means the name is a dangling symbolic link, which an append creates
    // through, as opening it for appending would.
    for (int round = 0; round < 2; ++round) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0) return write_and_close(fd, row);
        if (errno != ENOENT) return errno;
        int error = 0;
        switch (publish_new_file(path, first, error)) {
        case Publish::created: return 0;
        case Publish::failed: return error;
        case Publish::exists: break;
        }
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    struct stat info {};
    const bool empty = ::fstat(fd, &info) == 0 && info.st_size == 0;
    return write_and_close(fd, empty ? std::string_view(first) : row);
}

}  // namespace detail

// Appends `row` to the file at `path`; a file that does not exist yet is
// created with `header` before the row. Returns 0 or the errno of the
// failing step (nothing of the row is written then, unless the disk filled
// up in the middle of it).
inline int append_row(const std::string& path, std::string_view header, std::string_view row) noexcept {
    try {
        return detail::append_row(path, header, row);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

}  // namespace ovelin::binding

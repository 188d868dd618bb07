#include "ovelin/csv_append.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>

namespace ovelin {

namespace {

// Writes all of `text`, resuming after signals and short writes; `written`
// counts the bytes that reached the file.
int write_all(int fd, std::string_view text, std::size_t& written) noexcept {
    written = 0;
    while (written < text.size()) {
        const ssize_t count = ::write(fd, text.data() + written, text.size() - written);
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        written += static_cast<std::size_t>(count);
    }
    return 0;
}

int close_checked(int fd, int error) noexcept {
    const int closed = ::close(fd) == 0 ? 0 : errno;
    return error != 0 ? error : closed;
}

// Whether the file of `size` bytes ends inside a line. Unknown (false) when
// the last byte cannot be read: the file is then appended to as it is.
bool ends_inside_a_line(int fd, off_t size) noexcept {
    if (size == 0) return false;
    char last;
    ssize_t got;
    do {
        got = ::pread(fd, &last, 1, size - 1);
    } while (got < 0 && errno == EINTR);
    return got == 1 && last != '\n';
}

// The exclusive lock: 0, EWOULDBLOCK when another writer has held it for
// about two seconds, or another errno where the file system has no locks.
int lock_file(int fd) noexcept {
    for (int waited_ms = 0;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK || waited_ms == 2000) return errno;
        ::usleep(1000);
        ++waited_ms;
    }
}

// Takes back the `written` bytes of a failed write that began at `start`,
// unless another writer (one that takes no lock) has appended since.
void take_back(int fd, off_t start, std::size_t written) noexcept {
    struct stat info {};
    if (written > 0 && ::fstat(fd, &info) == 0 && info.st_size == start + static_cast<off_t>(written))
        (void)::ftruncate(fd, start);
}

// Appends to an open file under the lock: `first` instead of the row when the
// file is empty and `first` is given.
int append_locked(int fd, bool readable, std::string_view row, const std::string* first) {
    const int lock = lock_file(fd);
    if (lock == EWOULDBLOCK) return close_checked(fd, lock);
    const bool locked = lock == 0;  // without locks, a plain append
    struct stat info {};
    if (::fstat(fd, &info) != 0) return close_checked(fd, errno);
    std::string text(first != nullptr && info.st_size == 0 ? std::string_view(*first) : row);
    if (locked && readable && ends_inside_a_line(fd, info.st_size)) text.insert(0, 1, '\n');
    std::size_t written = 0;
    const int error = write_all(fd, text, written);
    if (error != 0 && locked) take_back(fd, info.st_size, written);
    return close_checked(fd, error);  // closing releases the lock
}

// Opens the file for appending, readable where permitted; never through a
// symbolic link.
int open_for_append(const std::string& path, int create, bool& readable) noexcept {
    constexpr int kFlags = O_APPEND | O_CLOEXEC | O_NOFOLLOW;
    int fd = ::open(path.c_str(), O_RDWR | kFlags | create, 0666);
    readable = fd >= 0;
    if (fd < 0 && errno == EACCES) fd = ::open(path.c_str(), O_WRONLY | kFlags | create, 0666);
    return fd;
}

bool links_unsupported(int error) noexcept {
    return error == EPERM || error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS || error == EXDEV;
}

// A name in the directory of `path` for the new file while it is written:
// "." and a tag unique to this process and call, then as much of the file's
// own name as fits in that name's length, so that any name that fits the
// file system fits here too.
std::string temporary_path(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = path.rfind('/');
    const std::size_t base_start = slash == std::string::npos ? 0 : slash + 1;
    const std::size_t base_length = path.size() - base_start;
    std::string name = ".";
    for (unsigned long part : {static_cast<unsigned long>(::getpid()), static_cast<unsigned long>(counter++)}) {
        const char* const digits = "0123456789abcdefghijklmnopqrstuvwxyz";
        std::string text;
        do {
            text.insert(text.begin(), digits[part % 36]);
            part /= 36;
        } while (part != 0);
        name += text + '~';
    }
    name += std::string_view(path).substr(base_start);
    if (name.size() > base_length) name.resize(std::max(base_length, name.size() - base_length));
    return path.substr(0, base_start) + name;
}

enum class Publish { created, exists, failed };

// Creates `path` holding `content` in one step, unless it exists. Where the
// file system has no hard links, an exclusive create followed by one write
// does the same with a window of a few instructions.
Publish publish_new_file(const std::string& path, std::string_view content, int& error) {
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = temporary_path(path);
        if (temp == path) continue;  // the file's own name is built like a temporary one
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
    std::size_t written = 0;
    if ((error = close_checked(fd, write_all(fd, content, written))) != 0) {
        ::unlink(temp.c_str());
        return Publish::failed;
    }
    // link() never follows a symbolic link at the new name: one there is EEXIST.
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
    error = close_checked(fd, write_all(fd, content, written));
    return error == 0 ? Publish::created : Publish::failed;
}

int append_or_create(const std::string& path, std::string_view header, std::string_view row) {
    const std::string first = std::string(header) + std::string(row);
    bool readable = false;
    // A file that vanishes between the steps is created anew; should it
    // vanish every time, the last round opens it with O_CREAT (still never
    // through a symbolic link) and writes the header into it when empty.
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

}  // namespace

int append_csv_row(const std::string& path, std::string_view header, std::string_view row) noexcept {
    try {
        return append_or_create(path, header, row);
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
}

}  // namespace ovelin

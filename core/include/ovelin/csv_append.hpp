#pragma once
// Appending whole rows to a text file that other writers, in other
// processes, append to as well.
//
// - A row reaches the file in one write() on a descriptor opened with
//   O_APPEND, under an exclusive advisory lock (flock) that every writer of
//   this kind takes: rows of two writers never interleave.
// - The header goes only into a file this call creates, as its first line:
//   the new file is written complete (header and row) under a temporary name
//   no longer than its own and linked into place, which fails if another
//   writer created the file first; that writer's header then stands and the
//   row is appended.
// - Nothing already in the file is removed or rewritten. A last line without
//   its line feed (a writer killed in the middle of a row, a hand edit) is
//   ended first, so the row starts a line of its own. Only the bytes of a row
//   that a full disk cuts short are taken back, at once.
// - The file is never reached through a symbolic link: a link at its name
//   is refused (ELOOP), whether it points at a file or at nothing.
//
// Plain POSIX and no exceptions, so callers may run it while other threads
// work; the caller reports the errors.

#include <string>
#include <string_view>

namespace ovelin {

// Appends `row` (one line, with its line feed) to the file at `path`; a file
// that does not exist yet is created holding `header` and then the row.
// Returns 0, or the errno of the step that failed (the file then holds what
// it held before): ELOOP when `path` is a symbolic link, EWOULDBLOCK when
// another writer has held the lock for about two seconds (a stuck writer
// must not hold up the caller).
int append_csv_row(const std::string& path, std::string_view header, std::string_view row) noexcept;

}  // namespace ovelin

// The calls of Linux that the POSIX platform layer (platform_posix.cpp) uses
// where the build found them: CMake tests for each and passes the results to
// these two files alone as CORVANE_HAVE_* (all 0 with CORVANE_PORTABLE_POSIX,
// which builds the POSIX fallbacks alone). Each call's fallback is written
// beside its use in platform_posix.cpp.
#pragma once

#include <fcntl.h>

#include <cstddef>
#include <cstdint>

namespace platform::linux_only {

#if CORVANE_HAVE_OFD_LOCKS
// Sets a record lock owned by the descriptor's open file description
// (F_OFD_SETLK): another open of the same file, in this process or another,
// stands in its way, and closing other descriptors of the file leaves it.
// 0 or -1 with errno set, as fcntl.
int lock_description(int fd, struct flock& range);
#endif

#if CORVANE_HAVE_FALLOCATE
// Allocates the bytes from `at` for `length` without changing the file's
// size (FALLOC_FL_KEEP_SIZE): 0, or the error number.
int allocate_keeping_size(int fd, std::uint64_t at, std::uint64_t length);
#endif

#if CORVANE_HAVE_RENAME_NOREPLACE
// Renames `from` to `to` unless `to` exists (EEXIST), in one step: 0 or -1
// with errno set (EINVAL where the file system cannot).
int rename_no_replace(const char* from, const char* to);
#endif

#if CORVANE_HAVE_HUGE_PAGE_ADVICE
// Asks for large pages under the memory at `data` (a hint only).
void advise_huge_pages(void* data, std::size_t size);
#endif

#if CORVANE_HAVE_MEMFD
// A new file with no name, in memory: a descriptor, or -1 with errno set.
int anonymous_file(const char* label);
#endif

}  // namespace platform::linux_only

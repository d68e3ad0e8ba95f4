// The calls of Linux behind the POSIX platform layer, each present where the
// build found it (see platform_linux.h).
#include "platform/linux.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdio>

namespace platform::linux_only {

#if CORVANE_HAVE_OFD_LOCKS
int lock_description(int fd, struct flock& range) { return ::fcntl(fd, F_OFD_SETLK, &range); }
#endif

#if CORVANE_HAVE_FALLOCATE
int allocate_keeping_size(int fd, std::uint64_t at, std::uint64_t length) {
    if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(at), static_cast<off_t>(length)) == 0)
        return 0;
    return errno;
}
#endif

#if CORVANE_HAVE_RENAME_NOREPLACE
int rename_no_replace(const char* from, const char* to) {
    return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}
#endif

#if CORVANE_HAVE_HUGE_PAGE_ADVICE
void advise_huge_pages(void* data, std::size_t size) { (void)::madvise(data, size, MADV_HUGEPAGE); }
#endif

#if CORVANE_HAVE_MEMFD
int anonymous_file(const char* label) { return ::memfd_create(label, 0); }
#endif

}  // namespace platform::linux_only

// The platform layer on POSIX systems. The calls of Linux it uses where the
// build has them are in platform_linux.cpp; beside each use stands what any
// POSIX system does instead.
#include <dirent.h>
#include <limits.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <limits>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/linux.h"

namespace platform {

bool close_fd(int fd) { return ::close(fd) == 0; }

namespace {

// A position a file offset can hold, with room for `size` bytes after it.
bool reachable(std::uint64_t at, std::size_t size) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (at <= largest && size <= largest - at) return true;
    errno = EINVAL;
    return false;
}

}  // namespace

long long read_at(int fd, std::span<std::uint8_t> buf, std::uint64_t at) {
    if (!reachable(at, buf.size())) return -1;
    return ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(at));
}

long long write_at(int fd, std::span<const std::uint8_t> buf, std::uint64_t at) {
    if (!reachable(at, buf.size())) return -1;
    return ::pwrite(fd, buf.data(), buf.size(), static_cast<off_t>(at));
}

long long read_some(int fd, std::span<std::uint8_t> buf) {
    return ::read(fd, buf.data(), buf.size());
}

long long write_some(int fd, std::span<const std::uint8_t> buf) {
    return ::write(fd, buf.data(), buf.size());
}

namespace {

void fill(const struct stat& st, file_info& info) {
    info.device = static_cast<std::uint64_t>(st.st_dev);
    info.inode = static_cast<std::uint64_t>(st.st_ino);
    info.size = st.st_size < 0 ? 0 : static_cast<std::uint64_t>(st.st_size);
    info.mode = static_cast<unsigned>(st.st_mode & 07777);
    info.regular = S_ISREG(st.st_mode);
    info.directory = S_ISDIR(st.st_mode);
}

unique_fd open_existing(const std::string& path, int flags) {
    unique_fd fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        fd = unique_fd();
        errno = EISDIR;
    }
    return fd;
}

}  // namespace

bool query(int fd, file_info& info) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    fill(st, info);
    return true;
}

bool query(const std::string& path, file_info& info) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    fill(st, info);
    return true;
}

bool query(std::FILE* stream, file_info& info) {
    const int fd = ::fileno(stream);
    return fd >= 0 && query(fd, info);
}

bool same_file(const file_info& a, const file_info& b) {
    return a.device == b.device && a.inode == b.inode;
}

unique_fd open_read(const std::string& path) { return open_existing(path, O_RDONLY); }

unique_fd open_read_write(const std::string& path) { return open_existing(path, O_RDWR); }

unique_fd open_write(const std::string& path) {
    unique_fd fd(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    const int flags = fd.valid() ? ::fcntl(fd.get(), F_GETFL) : -1;
    if (flags != -1) (void)::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

unique_fd create_exclusive(const std::string& path, unsigned mode) {
    return unique_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                            static_cast<mode_t>(mode)));
}

bool resolve_links(const std::string& path, std::string& resolved) {
    resolved = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        std::vector<char> target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 256) + 1);
        const ssize_t n = ::readlink(resolved.c_str(), target.data(), target.size());
        if (n < 0) return false;
        if (static_cast<std::size_t>(n) >= target.size()) {
            errno = ENAMETOOLONG;
            return false;
        }
        const std::string next(target.data(), static_cast<std::size_t>(n));
        resolved = is_absolute(next) ? next : folder_of(resolved) + next;
    }
    errno = ELOOP;
    return false;
}

std::string folder_of(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? "" : path.substr(0, slash + 1);
}

bool is_absolute(const std::string& path) { return path.starts_with('/'); }

bool may_replace(const std::string& path) {
    const std::string folder = folder_of(path).empty() ? "." : folder_of(path);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) return false;
    struct stat dir {}, file {};
    if (::stat(folder.c_str(), &dir) != 0 || ::lstat(path.c_str(), &file) != 0) return false;
    const uid_t me = ::geteuid();
    if ((dir.st_mode & S_ISVTX) == 0 || me == 0 || file.st_uid == me || dir.st_uid == me)
        return true;
    errno = EPERM;
    return false;
}

std::string unique_name(const std::string& folder, const char* prefix) {
    static std::atomic<unsigned> counter{0};
    const auto now = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char name[64];
    std::snprintf(name, sizeof name, "%s%d-%llx-%u", prefix, static_cast<int>(::getpid()),
                  now & 0xFFFFFFFFULL, counter++);
    return folder + name;
}

lock_result lock_file(int fd, lock_kind kind) {
    const bool exclusive = kind == lock_kind::exclusive;
    if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0)
        return errno == EWOULDBLOCK ? lock_result::busy : lock_result::failed;
    struct flock range {};
    range.l_type = exclusive ? F_WRLCK : F_RDLCK;
    range.l_whence = SEEK_SET;  // start 0, length 0: the whole file, however long
#if CORVANE_HAVE_OFD_LOCKS
    if (linux_only::lock_description(fd, range) == 0) return lock_result::taken;
#else
    // A classic record lock belongs to the process, not to this descriptor:
    // another lock of this process never stands in its way, and closing any
    // other descriptor of the file drops it. The BSD lock above still keeps a
    // second open of a locked file in this process out unless both locks are
    // shared, and the files a run locks stay open to its end; a file read and
    // closed on the way that is also a locked one (a file_id.diz text that is
    // the image) leaves the BSD lock alone in force against other programs.
    if (::fcntl(fd, F_SETLK, &range) == 0) return lock_result::taken;
#endif
    if (errno == EAGAIN || errno == EACCES) return lock_result::busy;
    // A file system without record locks still has the BSD lock.
    return errno == EINVAL || errno == ENOLCK ? lock_result::taken : lock_result::failed;
}

bool truncate(int fd, std::uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool set_mode(int fd, unsigned mode) { return ::fchmod(fd, static_cast<mode_t>(mode)) == 0; }

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool reserve(int fd, std::uint64_t at, std::uint64_t length) {
    if (length == 0 || !reachable(at, 0) || !reachable(at + length, 0)) return true;
#if CORVANE_HAVE_FALLOCATE
    const int error = linux_only::allocate_keeping_size(fd, at, length);
#elif CORVANE_HAVE_POSIX_FALLOCATE
    // Grows a file it ends past: the bytes reserved lie inside the file. On a
    // file system that cannot allocate, the C library may write a zero byte
    // into each block that starts with one.
    const int error = ::posix_fallocate(fd, static_cast<off_t>(at), static_cast<off_t>(length));
#else
    (void)fd;
    const int error = 0;  // nothing to reserve with: the writes find out
#endif
    errno = error;
    return error != ENOSPC && error != EDQUOT;
}

bool sync_file(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

bool replace_file(const std::string& from, const std::string& to, bool must_be_new, bool& renamed,
                  unique_fd&) {
    renamed = false;
    if (must_be_new) {
#if CORVANE_HAVE_RENAME_NOREPLACE
        const bool moved = linux_only::rename_no_replace(from.c_str(), to.c_str()) == 0;
        if (!moved && errno != EINVAL && errno != ENOSYS) return false;
#else
        const bool moved = false;
#endif
#if defined(__EMSCRIPTEN__)
        // The browser page's file system has no second names, and its one
        // run is the only one that writes there: a look, then the rename.
        struct stat st {};
        if (!moved && ::lstat(to.c_str(), &st) == 0) {
            errno = EEXIST;
            return false;
        }
        if (!moved && ::rename(from.c_str(), to.c_str()) != 0) return false;
#else
        // Without the no-replace rename: a second name, which fails where
        // `to` exists, then the first goes.
        if (!moved) {
            if (::link(from.c_str(), to.c_str()) != 0) return false;
            (void)::unlink(from.c_str());
        }
#endif
    } else if (::rename(from.c_str(), to.c_str()) != 0) {
        return false;
    }
    renamed = true;
    const std::string folder = folder_of(to).empty() ? "." : folder_of(to);
    const unique_fd d(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return !d.valid() || sync_file(d.get());
}

unsigned helper_threads(unsigned wanted) {
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
    (void)wanted;
    return 0;
#else
    return std::clamp(std::thread::hardware_concurrency(), 1U, wanted);
#endif
}

struct held_signals::state {
    sigset_t held{};
    sigset_t saved{};
};

held_signals::held_signals() : state_(std::make_unique<state>()) {
    sigemptyset(&state_->held);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGXCPU}) {
        struct sigaction now {};
        if (::sigaction(sig, nullptr, &now) == 0 && now.sa_handler == SIG_IGN) continue;
        sigaddset(&state_->held, sig);
    }
    sigprocmask(SIG_BLOCK, &state_->held, &state_->saved);
}

held_signals::~held_signals() { sigprocmask(SIG_SETMASK, &state_->saved, nullptr); }

bool held_signals::pending() const {
    sigset_t now;
    sigpending(&now);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sigismember(&state_->held, sig) == 1 && sigismember(&now, sig) == 1 &&
            sigismember(&state_->saved, sig) == 0)
            return true;
    return false;
}

bulk_buffer::bulk_buffer(std::size_t size) : size_(size) {
    if (size == 0) return;
    constexpr std::size_t LARGE_PAGE = 2 << 20;
    mapped_ = size + LARGE_PAGE;
    mapping_ = ::mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
        return;
    }
    const auto at = reinterpret_cast<std::uintptr_t>(mapping_);
    data_ = static_cast<std::uint8_t*>(mapping_) + ((LARGE_PAGE - at % LARGE_PAGE) % LARGE_PAGE);
#if CORVANE_HAVE_HUGE_PAGE_ADVICE
    linux_only::advise_huge_pages(data_, size);  // a hint: small pages serve too
#endif
}

bulk_buffer::~bulk_buffer() {
    if (mapping_ != nullptr) ::munmap(mapping_, mapped_);
}

std::optional<std::uint64_t> file_size_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

bool prepare_process() {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // Descriptors are handed out lowest first: the closed one is taken.
        int stand_in = ::open("/dev/null", O_RDWR);
#if CORVANE_HAVE_MEMFD
        if (stand_in < 0) stand_in = linux_only::anonymous_file("corvane-standard-stream");
#endif
        if (stand_in < 0) return false;
        if (stand_in != fd) {
            const bool moved = ::dup2(stand_in, fd) == fd;
            ::close(stand_in);
            if (!moved) return false;
        }
    }
    return true;
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) != 0; }

bool stream_is_terminal(std::FILE* stream) { return ::isatty(::fileno(stream)) != 0; }

const char* error_text(int error) { return std::strerror(error); }

void utf8_arguments(int&, char**&) {}

// A terminal shows the bytes it is given and belongs to the shell.
console_session::console_session() = default;
console_session::~console_session() = default;

bool console_is_own() { return false; }

void wait_for_enter(std::FILE*, const char*) {}

// ---- Trees of new files ----

folder_state examine_folder(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? folder_state::missing : folder_state::unknown;
    if (S_ISLNK(st.st_mode)) return folder_state::link;
    if (!S_ISDIR(st.st_mode)) return folder_state::not_folder;
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return folder_state::unknown;
    folder_state state = folder_state::empty;
    errno = 0;
    while (const dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            state = folder_state::not_empty;
            break;
        }
    if (state == folder_state::empty && errno != 0) state = folder_state::unknown;
    const int saved = errno;
    ::closedir(dir);
    errno = saved;
    return state;
}

bool is_link(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool folder_names(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* dir = ::opendir(path.empty() ? "." : path.c_str());
    if (dir == nullptr) return false;
    errno = 0;
    while (const dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.emplace_back(e->d_name);
    const int saved = errno;
    ::closedir(dir);
    errno = saved;
    return saved == 0;
}

bool make_folder(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0; }

namespace {

bool open_folder_at(int at, const std::string& name, folder_handle& folder) {
    folder.fd = unique_fd(::openat(at, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    return folder.fd.valid();
}

}  // namespace

bool open_folder(const std::string& path, folder_handle& folder) {
    folder.path = path.ends_with('/') ? path : path + "/";
    return open_folder_at(AT_FDCWD, path, folder);
}

bool make_folder_in(const folder_handle& parent, const std::string& name, folder_handle& folder) {
    folder.path = parent.path + name + "/";
    return ::mkdirat(parent.fd.get(), name.c_str(), 0777) == 0 && open_folder_at(parent.fd.get(), name, folder);
}

unique_fd create_in(const folder_handle& parent, const std::string& name) {
    return unique_fd(::openat(parent.fd.get(), name.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
}

bool remove_in(const folder_handle& parent, const std::string& name) {
    return ::unlinkat(parent.fd.get(), name.c_str(), 0) == 0;
}

std::string host_name(std::string_view name) {
    std::string host;
    const bool dots = name == "." || name == "..";
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F || c == '%' || c == '/' || c == '\\' || (dots && i == 0)) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            host += escaped;
        } else {
            host += static_cast<char>(c);
        }
    }
    return host;
}

std::string host_key(std::string_view host) { return std::string(host); }

#ifdef NAME_MAX
std::size_t host_name_limit() { return NAME_MAX; }
#else
std::size_t host_name_limit() { return 255; }  // what POSIX file systems hold
#endif

bool can_seek(int fd, std::uint64_t at) {
    if (!reachable(at, 0)) return false;
    const off_t was = ::lseek(fd, 0, SEEK_CUR);
    if (::lseek(fd, static_cast<off_t>(at), SEEK_SET) < 0) return false;
    if (was >= 0) (void)::lseek(fd, was, SEEK_SET);
    return true;
}

}  // namespace platform

// The platform layer on POSIX systems.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "platform.h"

namespace platform {

bool close_fd(int fd) { return ::close(fd) == 0; }

long long read_at(int fd, std::span<std::uint8_t> buf, std::uint64_t at) {
    return ::pread(fd, buf.data(), buf.size(), static_cast<off_t>(at));
}

long long write_at(int fd, std::span<const std::uint8_t> buf, std::uint64_t at) {
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

bool same_file(const file_info& a, const file_info& b) {
    return a.device == b.device && a.inode == b.inode;
}

unique_fd open_read(const std::string& path) { return open_existing(path, O_RDONLY); }

unique_fd open_read_write(const std::string& path) { return open_existing(path, O_RDWR); }

unique_fd open_write(const std::string& path) {
    return unique_fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
}

unique_fd open_temporary(const std::string& path) {
    return unique_fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
}

lock_result lock_exclusive(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return lock_result::taken;
    return errno == EWOULDBLOCK ? lock_result::busy : lock_result::failed;
}

bool truncate(int fd, std::uint64_t size) { return ::ftruncate(fd, static_cast<off_t>(size)) == 0; }

bool set_mode(int fd, unsigned mode) { return ::fchmod(fd, static_cast<mode_t>(mode)) == 0; }

bool remove_file(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool sync_file(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

bool replace_file(const std::string& from, const std::string& to, bool& renamed) {
    renamed = false;
    if (::rename(from.c_str(), to.c_str()) != 0) return false;
    renamed = true;
    const auto slash = to.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : to.substr(0, slash + 1);
    const unique_fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return !d.valid() || sync_file(d.get());
}

struct held_signals::state {
    sigset_t held{};
    sigset_t saved{};
};

held_signals::held_signals() : state_(std::make_unique<state>()) {
    sigemptyset(&state_->held);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&state_->held, sig);
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

std::optional<std::uint64_t> file_size_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return std::nullopt;
    return static_cast<std::uint64_t>(limit.rlim_cur);
}

void prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

bool stdout_is_terminal() { return ::isatty(STDOUT_FILENO) != 0; }

}  // namespace platform

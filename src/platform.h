// What the tool needs from the operating system, and nothing more: reading
// and writing at a position, file identity and size, opening, locks, the
// temporary-then-rename replacement of a file, held signals, the file-size
// limit and valid standard descriptors. One implementation per system;
// nothing else in the tool talks to the system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>

namespace platform {

// Closes a descriptor; false when the system reports a failure.
bool close_fd(int fd);

}  // namespace platform

// Move-only owner of a file descriptor. The destructor closes quietly;
// paths that must know whether the close worked call close() themselves.
class unique_fd {
public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd&) = delete;
    unique_fd& operator=(const unique_fd&) = delete;
    unique_fd(unique_fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    unique_fd& operator=(unique_fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    ~unique_fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    // Closes the descriptor and reports whether the system accepted it.
    [[nodiscard]] bool close() { return fd_ < 0 || platform::close_fd(std::exchange(fd_, -1)); }

private:
    void reset() {
        if (fd_ >= 0) (void)platform::close_fd(std::exchange(fd_, -1));
    }

    int fd_ = -1;
};

namespace platform {

// One transfer of at most buf.size() bytes: the bytes moved, 0 at the end of
// the file, -1 with errno set on a failure (EINTR included).
long long read_at(int fd, std::span<std::uint8_t> buf, std::uint64_t at);
long long write_at(int fd, std::span<const std::uint8_t> buf, std::uint64_t at);
long long read_some(int fd, std::span<std::uint8_t> buf);
long long write_some(int fd, std::span<const std::uint8_t> buf);

// Which file a descriptor or path names, and what it is.
struct file_info {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    unsigned mode = 0;  // permission bits
    bool regular = false;
    bool directory = false;
};

// False with errno set when the system cannot say.
bool query(int fd, file_info& info);
// The file a path names, links followed.
bool query(const std::string& path, file_info& info);

// True when both name the same file.
bool same_file(const file_info& a, const file_info& b);

// Opens an existing file for reading, or for reading and writing, without
// waiting for a writer should it be a FIFO. A directory is a failed open
// (errno EISDIR). Returns an invalid descriptor with errno set on a failure.
unique_fd open_read(const std::string& path);
unique_fd open_read_write(const std::string& path);
// Opens an existing file (a device, a pipe) for writing at its start.
unique_fd open_write(const std::string& path);
// Opens `path` for reading and writing, creating it when missing (mode
// 0644 before the umask). The caller locks and empties it.
unique_fd open_temporary(const std::string& path);

enum class lock_result { taken, busy, failed };
// An exclusive lock on the whole file, not waited for.
lock_result lock_exclusive(int fd);

// Cuts a file to `size` bytes.
bool truncate(int fd, std::uint64_t size);
// Gives a file the permission bits `mode`.
bool set_mode(int fd, unsigned mode);
// Removes a name; false with errno set on a failure.
bool remove_file(const std::string& path);

// Flushes a file to disk; a file that cannot sync (a special file) has
// nothing to flush. False, with errno set, when the sync failed.
bool sync_file(int fd);

// Renames `from` over `to` and flushes the folder that holds `to`, so the
// rename itself is on disk. On a failure, `renamed` says whether the file
// was already in place (only the folder's flush failed).
bool replace_file(const std::string& from, const std::string& to, bool& renamed);

// The signals that ask a run to stop (interrupt, terminate, hang up, quit)
// are held back while one of these lives and looked for with pending();
// the destructor lets them through, so one that arrived then ends the
// process, after the caller has cleaned up.
class held_signals {
public:
    held_signals();
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
    ~held_signals();

    // True when a held signal has arrived.
    bool pending() const;

private:
    struct state;
    std::unique_ptr<state> state_;
};

// This process's limit on the size of a file it writes, if it has one.
std::optional<std::uint64_t> file_size_limit();

// Readies the process: standard input, output and error open (on /dev/null
// where closed) before any other file, so none can take their places;
// broken pipes and file-size limits make writes fail instead of ending the
// process.
void prepare_process();

// True when standard output is a terminal.
bool stdout_is_terminal();

}  // namespace platform

// What the tool needs from the operating system, and nothing more: reading
// and writing at a position, file identity and size, opening, locks, the
// temporary-then-rename replacement of a file, held signals, the file-size
// limit, valid standard descriptors, error texts, the command line's
// encoding, the console, and the rules of its paths. One implementation per
// system (POSIX, with Linux's own calls beside it, and Windows); nothing else
// in the tool talks to the system directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// True when the file system lets the file's position be set to `at`, as a
// read that found nothing there asks (past the largest offset a file system
// allows, reads find nothing but a seek fails). The position is left as it
// was. False with errno set when it cannot be set there.
bool can_seek(int fd, std::uint64_t at);

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
// The file an output stream writes to.
bool query(std::FILE* stream, file_info& info);

// True when both name the same file.
bool same_file(const file_info& a, const file_info& b);

// Opens an existing file for reading, or for reading and writing, without
// waiting for a writer should it be a FIFO. A directory is a failed open
// (errno EISDIR). Returns an invalid descriptor with errno set on a failure.
unique_fd open_read(const std::string& path);
unique_fd open_read_write(const std::string& path);
// Opens an existing file for writing at its start, as a shell redirection
// would but without emptying it and without waiting: a FIFO with no reader
// fails (ENXIO), as does a file this process may not write (EACCES, EPERM)
// and a symbolic link (ELOOP). The descriptor blocks on writes.
unique_fd open_write(const std::string& path);
// Creates `path`, which must not exist yet, not even as a dangling link,
// for reading and writing with permission bits `mode` (before the umask).
unique_fd create_exclusive(const std::string& path, unsigned mode);

// The file a path finally names once every symbolic link in its last part
// has been followed (the path itself when it is no link). The file need not
// exist. False, with errno set, on a loop or an unreadable link.
bool resolve_links(const std::string& path, std::string& resolved);

// The folder a path lies in, with a trailing separator ("" for the current
// one): on Windows, up to the last `\`, `/` or drive colon ("C:x" lies in
// "C:", the drive's current folder).
std::string folder_of(const std::string& path);
// True when a path names its file without regard to the folder it is taken
// from, so that no folder goes before it: on POSIX it starts with `/`; on
// Windows with `\` or `/` (the current drive's root, or a server's share)
// or with a drive letter and a colon ("C:x" is taken from the drive's
// current folder, not from any other).
bool is_absolute(const std::string& path);

// True when this process may replace the existing file `path` by renaming
// another over it: it may write in the folder, and a sticky folder lets it
// remove the file. False with errno set otherwise.
bool may_replace(const std::string& path);

// A name for a new file in `folder` (from folder_of) that no other run
// picks: `prefix` and a number, of bounded length.
std::string unique_name(const std::string& folder, const char* prefix);

enum class lock_result { taken, busy, failed };
enum class lock_kind { shared, exclusive };
// Locks the whole file against other runs and other programs: a BSD lock
// and an open-file-description lock of the same kind (a classic record lock
// where the system has none; an exclusive one needs a descriptor open for
// writing). Busy when any other lock stands in the way.
lock_result lock_file(int fd, lock_kind kind);

// Cuts a file to `size` bytes.
bool truncate(int fd, std::uint64_t size);
// Gives a file the permission bits `mode`.
bool set_mode(int fd, unsigned mode);
// Removes a name; false with errno set on a failure.
bool remove_file(const std::string& path);
// Makes sure the bytes from `at` for `length`, which lie inside the file,
// have room on the disk without changing its size or contents (holes of a
// sparse file are filled).
// False with errno set when the file system has no room; true where it
// cannot reserve at all.
bool reserve(int fd, std::uint64_t at, std::uint64_t length);

// Flushes a file to disk; a file that cannot sync (a special file) has
// nothing to flush. False, with errno set, when the sync failed.
bool sync_file(int fd);

// Renames `from` over `to` and flushes the folder that holds `to`, so the
// rename itself is on disk. With `must_be_new`, an existing `to` makes it
// fail (EEXIST) instead of being replaced. On a failure, `renamed` says
// whether the file was already in place (only the folder's flush failed).
// `held` is the caller's descriptor of the existing `to` (its lock), or an
// invalid one: a system that cannot rename over an open file closes it
// first; elsewhere it is left to the caller.
bool replace_file(const std::string& from, const std::string& to, bool must_be_new, bool& renamed,
                  unique_fd& held);

// How many threads beside its own a run may start to share work: one per
// core, at most `wanted`; none where the build has no threads (the browser
// page's WebAssembly runs on its worker's one thread).
unsigned helper_threads(unsigned wanted);

// The signals that ask a run to stop (interrupt, terminate, hang up, quit,
// CPU-time limit) are held back while one of these lives and looked for with
// pending(); the destructor lets them through, so one that arrived then ends
// the process, after the caller has cleaned up. A signal the process ignored
// from its start (nohup, a background job) stays ignored.
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

// Memory for bulk data (a whole patch file): `size` bytes, their contents
// undefined, on large pages where the system has them, so that filling it
// does not fault once per small page. Empty when there is no such memory.
class bulk_buffer {
public:
    explicit bulk_buffer(std::size_t size);
    bulk_buffer(const bulk_buffer&) = delete;
    bulk_buffer& operator=(const bulk_buffer&) = delete;
    ~bulk_buffer();

    bool valid() const { return data_ != nullptr || size_ == 0; }
    std::span<std::uint8_t> bytes() const { return {data_, data_ ? size_ : 0}; }

private:
    void* mapping_ = nullptr;
    std::size_t mapped_ = 0;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// This process's limit on the size of a file it writes, if it has one.
std::optional<std::uint64_t> file_size_limit();

// Readies the process: standard input, output and error open (on /dev/null
// where closed, or on an anonymous file where there is no /dev/null) before
// any other file, so none can take their places; broken pipes and file-size
// limits make writes fail instead of ending the process. False when a
// standard descriptor could not be made valid: the run must open nothing.
bool prepare_process();

// True when standard output is a terminal.
bool stdout_is_terminal();
// True when `stream` is a terminal (on Windows: a console).
bool stream_is_terminal(std::FILE* stream);

// The text of an errno value, worded as the GNU C library words it on every
// system, so that messages are the same bytes wherever the tool runs.
const char* error_text(int error);

// The console, where the run prints to one, for the length of a run: its
// output code page is UTF-8, so names and descriptions show as the bytes the
// user gave, and the code page it had is put back at the end (also when a
// Ctrl-C ends the run). Standard output on a console leaves in whole blocks,
// flushed at the end, so that no character's bytes are split between writes.
// Nothing to do where terminals take the bytes as they are.
class console_session {
public:
    console_session();
    console_session(const console_session&) = delete;
    console_session& operator=(const console_session&) = delete;
    ~console_session();
};

// True when the console this process prints to was opened for it alone, as
// for a program started from a file manager or by dropping files on it;
// false when it shares one with the shell that started it, and wherever
// there are no such consoles.
bool console_is_own();

// Prints `prompt` on `out` and waits for a line (or the end) of standard
// input, so an own console stays readable. Does nothing where consoles do
// not close with the program.
void wait_for_enter(std::FILE* out, const char* prompt = "Press Enter to close this window.\n");

// Makes argv the command line in UTF-8 where the system hands it to main in
// another encoding (a Windows code page); elsewhere it is left as it is.
void utf8_arguments(int& argc, char**& argv);


// ---- Trees of new files: the folders and names an extraction writes ----

// What stands at the path of a folder a run is to fill.
enum class folder_state {
    missing,     // nothing: the run may make it
    empty,       // an empty folder
    not_empty,   // a folder with something in it
    link,        // a symbolic link (or, on Windows, any reparse point)
    not_folder,  // a file of another kind
    unknown,     // the system cannot say (errno set)
};
folder_state examine_folder(const std::string& path);

// True when `path` itself is a symbolic link (on Windows, a reparse point).
bool is_link(const std::string& path);

// The names in the folder `path` ("" for the current folder), without "."
// and "..", in the order the system gives them. False (errno set) when it
// cannot be read.
bool folder_names(const std::string& path, std::vector<std::string>& names);

// A folder opened for making new names in it: each system keeps what it
// needs to make them there and nowhere else (POSIX: the open folder, so that
// no link planted on the way can move them; Windows: its path).
struct folder_handle {
    unique_fd fd;
    std::string path;  // with a trailing separator
};

// Makes the new folder `path` (nothing may stand there, not even a link).
bool make_folder(const std::string& path);
// Opens the folder `path`; a link is a failed open (ELOOP), as is a file
// that is no folder (ENOTDIR).
bool open_folder(const std::string& path, folder_handle& folder);
// Makes the new folder `name` inside `parent` and opens it.
bool make_folder_in(const folder_handle& parent, const std::string& name, folder_handle& folder);
// Creates the new file `name` inside `parent` for writing: it must not
// exist, not even as a dangling link, and no link is followed.
unique_fd create_in(const folder_handle& parent, const std::string& name);
// Removes the file `name` inside `parent`.
bool remove_in(const folder_handle& parent, const std::string& name);

// The name a file called `name` on a disc takes on this system: every byte
// the system cannot hold in a name, and '%' itself, becomes "%XX" (upper-case
// hex), and so does a name the system reserves ("." and ".."; on Windows
// also CON, NUL, COM1 and the like, and a trailing dot or blank), so that
// the name stays one name inside its folder.
std::string host_name(std::string_view name);
// Two host names are one file's name exactly when their keys are equal: the
// name itself, or on Windows the name regardless of case.
std::string host_key(std::string_view host);
// The longest name, in bytes, the system holds inside a folder.
std::size_t host_name_limit();

}  // namespace platform

// The platform layer on Windows. Descriptors are those of the C runtime,
// each wrapping a Win32 handle that every call here uses directly; paths
// are UTF-8, turned into the system's wide characters at each call.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

// The C runtime's own reading of the command line, in wide characters.
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int glob, int* start);

namespace platform {

bool close_fd(int fd) { return ::_close(fd) == 0; }

namespace {

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The errno value a POSIX system gives for what a Win32 error says.
int errno_of(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
        case ERROR_BAD_NET_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_INVALID_NAME: return ENOENT;
        case ERROR_ACCESS_DENIED:
        case ERROR_NETWORK_ACCESS_DENIED:
        case ERROR_CANNOT_MAKE: return EACCES;
        case ERROR_WRITE_PROTECT: return EROFS;
        case ERROR_SHARING_VIOLATION: return EBUSY;
        case ERROR_LOCK_VIOLATION: return EAGAIN;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return EEXIST;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL: return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
        case ERROR_BUFFER_OVERFLOW: return ENAMETOOLONG;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY: return ENOMEM;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA: return EPIPE;
        case ERROR_INVALID_HANDLE: return EBADF;
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK: return EINVAL;
        case ERROR_DIRECTORY: return ENOTDIR;
        case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
        case ERROR_NOT_SAME_DEVICE: return EXDEV;
        case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
        case ERROR_CANT_RESOLVE_FILENAME: return ELOOP;
        default: return EIO;
    }
}

// Sets errno from the calling thread's last Win32 error.
void set_errno() { errno = errno_of(::GetLastError()); }

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int size = static_cast<int>(std::min<std::size_t>(text.size(), INT_MAX));
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, out.data(), n);
    return out;
}

std::string utf8(const wchar_t* text) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return {};
    std::string out(static_cast<std::size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.pop_back();  // the terminating zero
    return out;
}

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(::_get_osfhandle(fd)); }

// A descriptor that owns `h` (closed when the descriptor is).
unique_fd wrap(HANDLE h) {
    if (h == INVALID_HANDLE_VALUE) {
        set_errno();
        return unique_fd();
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(h), _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(h);
        errno = EMFILE;
    }
    return unique_fd(fd);
}

// A position a file offset can hold, with room for `size` bytes after it.
bool reachable(std::uint64_t at, std::size_t size) {
    constexpr auto largest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (at <= largest && size <= largest - at) return true;
    errno = EINVAL;
    return false;
}

OVERLAPPED at_offset(std::uint64_t at) {
    ULARGE_INTEGER offset{};
    offset.QuadPart = at;
    OVERLAPPED where{};
    where.Offset = offset.LowPart;
    where.OffsetHigh = offset.HighPart;
    return where;
}

std::uint64_t joined(DWORD high, DWORD low) {
    ULARGE_INTEGER value{};
    value.HighPart = high;
    value.LowPart = low;
    return value.QuadPart;
}

// One call moves at most what its count can hold.
DWORD chunk(std::size_t size) {
    return static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
}

// One ReadFile, at `where` or (null) where the file stands: the bytes read,
// 0 at the end of a file or of a pipe whose writer has gone, -1 with errno set.
long long read_file(int fd, std::span<std::uint8_t> buf, OVERLAPPED* where) {
    DWORD done = 0;
    if (::ReadFile(handle_of(fd), buf.data(), chunk(buf.size()), &done, where)) return done;
    const DWORD error = ::GetLastError();
    if (error == ERROR_HANDLE_EOF || error == ERROR_BROKEN_PIPE) return 0;
    errno = errno_of(error);
    return -1;
}

long long write_file(int fd, std::span<const std::uint8_t> buf, OVERLAPPED* where) {
    DWORD done = 0;
    if (::WriteFile(handle_of(fd), buf.data(), chunk(buf.size()), &done, where)) return done;
    set_errno();
    return -1;
}

}  // namespace

long long read_at(int fd, std::span<std::uint8_t> buf, std::uint64_t at) {
    if (!reachable(at, buf.size())) return -1;
    OVERLAPPED where = at_offset(at);
    return read_file(fd, buf, &where);
}

long long write_at(int fd, std::span<const std::uint8_t> buf, std::uint64_t at) {
    if (!reachable(at, buf.size())) return -1;
    OVERLAPPED where = at_offset(at);
    return write_file(fd, buf, &where);
}

long long read_some(int fd, std::span<std::uint8_t> buf) { return read_file(fd, buf, nullptr); }

long long write_some(int fd, std::span<const std::uint8_t> buf) { return write_file(fd, buf, nullptr); }

namespace {

// What the file behind a handle is. A pipe, a console or a device has no
// identity of its own: the handle stands for it. The permission bits stay 0:
// Windows keeps permissions in access lists, which nothing here copies.
bool describe(HANDLE h, file_info& info) {
    info = file_info{};
    if (h == INVALID_HANDLE_VALUE || h == nullptr) {
        errno = EBADF;
        return false;
    }
    BY_HANDLE_FILE_INFORMATION about{};
    if (::GetFileType(h) != FILE_TYPE_DISK || !::GetFileInformationByHandle(h, &about)) {
        info.device = std::numeric_limits<std::uint64_t>::max();
        info.inode = reinterpret_cast<std::uintptr_t>(h);
        return true;
    }
    info.device = about.dwVolumeSerialNumber;
    info.inode = joined(about.nFileIndexHigh, about.nFileIndexLow);
    info.size = joined(about.nFileSizeHigh, about.nFileSizeLow);
    info.directory = (about.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info.regular = !info.directory && (about.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
    return true;
}

DWORD attributes(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION about{};
    return ::GetFileInformationByHandle(h, &about) ? about.dwFileAttributes : 0;
}

// Opens an existing file. A directory is a failed open (EISDIR). A file
// with the read-only attribute is refused for writing (EACCES): Windows
// refuses it itself, but not every system that runs this build does (wine
// run by root).
unique_fd open_existing(const std::string& path, DWORD access) {
    const std::wstring name = wide(path);
    const HANDLE h = ::CreateFileW(name.c_str(), access, SHARE_ALL, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        const DWORD attrs = ::GetFileAttributesW(name.c_str());
        const bool folder = attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
        errno = error == ERROR_ACCESS_DENIED && folder ? EISDIR : errno_of(error);
        return unique_fd();
    }
    if ((access & GENERIC_WRITE) != 0 && (attributes(h) & FILE_ATTRIBUTE_READONLY) != 0) {
        ::CloseHandle(h);
        errno = EACCES;
        return unique_fd();
    }
    return wrap(h);
}

}  // namespace

bool query(int fd, file_info& info) { return describe(handle_of(fd), info); }

bool query(const std::string& path, file_info& info) {
    // Attributes only, which no other program's sharing keeps out; the
    // backup flag lets a folder be opened too.
    const HANDLE h = ::CreateFileW(wide(path).c_str(), FILE_READ_ATTRIBUTES, SHARE_ALL, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        set_errno();
        return false;
    }
    const bool known = describe(h, info);
    ::CloseHandle(h);
    return known;
}

bool query(std::FILE* stream, file_info& info) {
    const int fd = ::_fileno(stream);
    return fd >= 0 && query(fd, info);
}

bool same_file(const file_info& a, const file_info& b) {
    return a.device == b.device && a.inode == b.inode;
}

unique_fd open_read(const std::string& path) { return open_existing(path, GENERIC_READ); }

unique_fd open_read_write(const std::string& path) {
    return open_existing(path, GENERIC_READ | GENERIC_WRITE);
}

unique_fd open_write(const std::string& path) { return open_existing(path, GENERIC_WRITE); }

// The new file takes the access list its folder hands down.
unique_fd create_exclusive(const std::string& path, unsigned) {
    return wrap(::CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// Links are not followed: a rename over one replaces the link.
bool resolve_links(const std::string& path, std::string& resolved) {
    resolved = path;
    return true;
}

std::string folder_of(const std::string& path) {
    const auto end = path.find_last_of("/\\:");
    return end == std::string::npos ? "" : path.substr(0, end + 1);
}

bool is_absolute(const std::string& path) {
    const bool drive = path.size() >= 2 && path[1] == ':' &&
                       ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return drive || path.starts_with('\\') || path.starts_with('/');
}

bool may_replace(const std::string& path) {
    const DWORD attrs = ::GetFileAttributesW(wide(path).c_str());
    if (attrs == INVALID_FILE_ATTRIBUTES) {
        set_errno();
        return false;
    }
    if ((attrs & FILE_ATTRIBUTE_READONLY) == 0) return true;
    errno = EACCES;
    return false;
}

std::string unique_name(const std::string& folder, const char* prefix) {
    static std::atomic<unsigned> counter{0};
    char name[64];
    std::snprintf(name, sizeof name, "%s%lu-%llx-%u", prefix, ::GetCurrentProcessId(),
                  static_cast<unsigned long long>(::GetTickCount64() & 0xFFFFFFFFULL), counter++);
    return folder + name;
}

lock_result lock_file(int fd, lock_kind kind) {
    // A lock of Windows keeps every other handle away from the bytes it
    // covers: one byte far past any end of file keeps readers of the file
    // free and other runs, which lock the same byte, out.
    OVERLAPPED where = at_offset(std::uint64_t{1} << 62);
    const DWORD flags =
        LOCKFILE_FAIL_IMMEDIATELY | (kind == lock_kind::exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    if (::LockFileEx(handle_of(fd), flags, 0, 1, 0, &where)) return lock_result::taken;
    if (::GetLastError() == ERROR_LOCK_VIOLATION) return lock_result::busy;
    set_errno();
    return lock_result::failed;
}

bool truncate(int fd, std::uint64_t size) {
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    if (::SetFileInformationByHandle(handle_of(fd), FileEndOfFileInfo, &end, sizeof end)) return true;
    set_errno();
    return false;
}

// A file made beside another in its folder has the same access list handed
// down; the one permission bit of Windows, the read-only attribute, a file
// opened for writing does not have.
bool set_mode(int, unsigned) { return true; }

bool remove_file(const std::string& path) {
    if (::DeleteFileW(wide(path).c_str())) return true;
    set_errno();
    return false;
}

// Windows has no reservation that leaves a file's contents as they are.
bool reserve(int, std::uint64_t, std::uint64_t) { return true; }

bool sync_file(int fd) {
    const HANDLE h = handle_of(fd);
    if (::GetFileType(h) != FILE_TYPE_DISK || ::FlushFileBuffers(h)) return true;
    set_errno();
    return false;
}

bool replace_file(const std::string& from, const std::string& to, bool must_be_new, bool& renamed,
                  unique_fd& held) {
    // Windows renames over no open file: the lock on it goes first.
    (void)held.close();
    // Write-through: the rename is on disk when the call returns.
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (must_be_new ? 0 : MOVEFILE_REPLACE_EXISTING);
    renamed = ::MoveFileExW(wide(from).c_str(), wide(to).c_str(), flags) != 0;
    if (!renamed) set_errno();
    return renamed;
}

namespace {

// The console's output code page before the run set UTF-8; 0 when there is
// nothing to put back.
std::atomic<UINT> saved_code_page{0};

void put_back_code_page() {
    if (const UINT page = saved_code_page.exchange(0); page != 0) ::SetConsoleOutputCP(page);
}

// A console event that ends the process puts the code page back first.
BOOL WINAPI on_console_end(DWORD) {
    put_back_code_page();
    return FALSE;
}

// Console events that ask the process to stop: Ctrl-C, Ctrl-Break, the
// console closed, the user logging off, the system shutting down.
std::atomic<bool> holding{false};
std::atomic<bool> arrived{false};

BOOL WINAPI on_console_event(DWORD) {
    if (!holding) return FALSE;  // handled as usual: the process ends
    // Held: the handler waits until the run lets events through and then
    // passes it on, which ends the process (as the destructor does itself).
    arrived = true;
    while (holding) ::Sleep(10);
    return FALSE;
}

}  // namespace

unsigned helper_threads(unsigned wanted) { return std::clamp(std::thread::hardware_concurrency(), 1U, wanted); }

struct held_signals::state {};

held_signals::held_signals() : state_(std::make_unique<state>()) {
    arrived = false;
    holding = true;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

held_signals::~held_signals() {
    holding = false;
    ::SetConsoleCtrlHandler(on_console_event, FALSE);
    // One that came while held ends the process now, as it would have then.
    if (arrived) {
        std::fflush(stdout);
        put_back_code_page();
        ::ExitProcess(STATUS_CONTROL_C_EXIT);
    }
}

bool held_signals::pending() const { return arrived; }

bulk_buffer::bulk_buffer(std::size_t size) : size_(size) {
    // Large pages need a privilege most accounts lack: committed small pages.
    if (size == 0) return;
    mapping_ = ::VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    mapped_ = size;
    data_ = static_cast<std::uint8_t*>(mapping_);
}

bulk_buffer::~bulk_buffer() {
    if (mapping_ != nullptr) ::VirtualFree(mapping_, 0, MEM_RELEASE);
}

std::optional<std::uint64_t> file_size_limit() { return std::nullopt; }

bool prepare_process() {
    std::FILE* const standard[] = {stdin, stdout, stderr};
    for (int place = 0; place <= 2; ++place) {
        std::FILE* stream = standard[place];
        const int fd = ::_fileno(stream);
        if (fd < 0 || ::_get_osfhandle(fd) < 0) {
            // Started without it: the C runtime keeps its descriptor's place,
            // with no handle there and the stream on none. NUL goes there.
            const HANDLE nul = ::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, SHARE_ALL, nullptr,
                                             OPEN_EXISTING, 0, nullptr);
            const unique_fd stand_in = wrap(nul);
            if (!stand_in.valid() || ::_dup2(stand_in.get(), place) != 0) return false;
            stream->_file = place;
        }
        // Bytes go out as the tool writes them: no CR before each LF.
        ::_setmode(place, _O_BINARY);
    }
    return true;
}

bool stdout_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(handle_of(1), &mode) != 0;
}

bool stream_is_terminal(std::FILE* stream) {
    DWORD mode = 0;
    return ::GetConsoleMode(handle_of(::_fileno(stream)), &mode) != 0;
}

console_session::console_session() {
    DWORD mode = 0;
    if (!::GetConsoleMode(handle_of(1), &mode)) return;
    // A console shows each write on its own: a character whose bytes came
    // in two writes would show as two wrong ones.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 12);
    const UINT page = ::GetConsoleOutputCP();
    if (page == 0 || page == CP_UTF8 || !::SetConsoleOutputCP(CP_UTF8)) return;
    saved_code_page = page;
    ::SetConsoleCtrlHandler(on_console_end, TRUE);
}

console_session::~console_session() {
    std::fflush(stdout);
    std::fflush(stderr);
    put_back_code_page();
    ::SetConsoleCtrlHandler(on_console_end, FALSE);
}

bool console_is_own() {
    // The console's processes: this one alone when it was made for it; the
    // shell and this one (or more) when it was started from a shell.
    DWORD processes[2] = {0, 0};
    return ::GetConsoleProcessList(processes, 2) == 1;
}

void wait_for_enter(std::FILE* out, const char* prompt) {
    std::fputs(prompt, out);
    std::fflush(out);
    for (int c = std::fgetc(stdin); c != EOF && c != '\n'; c = std::fgetc(stdin)) {
    }
}

const char* error_text(int error) {
    // The C runtime's own texts are worded otherwise.
    switch (error) {
        case 0: return "Success";
        case EPERM: return "Operation not permitted";
        case ENOENT: return "No such file or directory";
        case EINTR: return "Interrupted system call";
        case EIO: return "Input/output error";
        case ENXIO: return "No such device or address";
        case EBADF: return "Bad file descriptor";
        case EAGAIN: return "Resource temporarily unavailable";
        case ENOMEM: return "Cannot allocate memory";
        case EACCES: return "Permission denied";
        case EBUSY: return "Device or resource busy";
        case EEXIST: return "File exists";
        case EXDEV: return "Invalid cross-device link";
        case ENOTDIR: return "Not a directory";
        case EISDIR: return "Is a directory";
        case EINVAL: return "Invalid argument";
        case EMFILE: return "Too many open files";
        case EFBIG: return "File too large";
        case ENOSPC: return "No space left on device";
        case EROFS: return "Read-only file system";
        case EPIPE: return "Broken pipe";
        case ENAMETOOLONG: return "File name too long";
        case ENOTEMPTY: return "Directory not empty";
        case ELOOP: return "Too many levels of symbolic links";
        default: return std::strerror(error);
    }
}

void utf8_arguments(int& argc, char**& argv) {
    static std::vector<std::string> texts;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** args = nullptr;
    wchar_t** env = nullptr;
    int start = 0;
    if (::__wgetmainargs(&count, &args, &env, 0, &start) < 0 || args == nullptr) return;
    texts.clear();
    for (int i = 0; i < count; ++i) texts.push_back(utf8(args[i]));
    pointers.clear();
    for (std::string& t : texts) pointers.push_back(t.data());
    pointers.push_back(nullptr);
    argc = count;
    argv = pointers.data();
}


// ---- Trees of new files ----

namespace {

constexpr DWORD NO_ATTRIBUTES = INVALID_FILE_ATTRIBUTES;

DWORD attributes_of(const std::string& path) { return ::GetFileAttributesW(wide(path).c_str()); }

}  // namespace

folder_state examine_folder(const std::string& path) {
    const DWORD attrs = attributes_of(path);
    if (attrs == NO_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return folder_state::missing;
        errno = errno_of(error);
        return folder_state::unknown;
    }
    if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return folder_state::link;
    if ((attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) return folder_state::not_folder;
    WIN32_FIND_DATAW found{};
    const HANDLE search = ::FindFirstFileW(wide(path + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        set_errno();
        return folder_state::unknown;
    }
    folder_state state = folder_state::empty;
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
            state = folder_state::not_empty;
    } while (state == folder_state::empty && ::FindNextFileW(search, &found));
    ::FindClose(search);
    return state;
}

bool is_link(const std::string& path) {
    const DWORD attrs = attributes_of(path);
    return attrs != NO_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool folder_names(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    WIN32_FIND_DATAW found{};
    const std::string folder = path.empty() ? std::string(".\\") : path;
    const bool parted = folder.ends_with('\\') || folder.ends_with('/') || folder.ends_with(':');
    const HANDLE search = ::FindFirstFileW(wide(folder + (parted ? "*" : "\\*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        set_errno();
        return false;
    }
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
            names.push_back(utf8(found.cFileName));
    } while (::FindNextFileW(search, &found));
    const DWORD error = ::GetLastError();
    ::FindClose(search);
    if (error == ERROR_NO_MORE_FILES) return true;
    errno = errno_of(error);
    return false;
}

bool make_folder(const std::string& path) {
    if (::CreateDirectoryW(wide(path).c_str(), nullptr)) return true;
    set_errno();
    return false;
}

bool open_folder(const std::string& path, folder_handle& folder) {
    const DWORD attrs = attributes_of(path);
    if (attrs == NO_ATTRIBUTES) {
        set_errno();
        return false;
    }
    if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (attrs & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        errno = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? ELOOP : ENOTDIR;
        return false;
    }
    folder.path = path.ends_with('/') || path.ends_with('\\') ? path : path + "\\";
    return true;
}

// The folder was made new by this run: nothing else can stand in its place.
bool make_folder_in(const folder_handle& parent, const std::string& name, folder_handle& folder) {
    folder.path = parent.path + name + "\\";
    return make_folder(parent.path + name);
}

unique_fd create_in(const folder_handle& parent, const std::string& name) {
    return wrap(::CreateFileW(wide(parent.path + name).c_str(), GENERIC_READ | GENERIC_WRITE, SHARE_ALL,
                              nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr));
}

bool remove_in(const folder_handle& parent, const std::string& name) {
    return remove_file(parent.path + name);
}

std::string host_name(std::string_view name) {
    // Names the system keeps for devices, with or without an extension.
    static constexpr const char* RESERVED[] = {"CON", "PRN", "AUX", "NUL"};
    const std::string_view stem = name.substr(0, name.find('.'));
    auto upper = [](std::string_view text) {
        std::string up(text);
        for (char& c : up)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
        return up;
    };
    const std::string up = upper(stem);
    bool reserved = std::any_of(std::begin(RESERVED), std::end(RESERVED),
                                [&](const char* r) { return up == r; });
    if (up.size() == 4 && (up.starts_with("COM") || up.starts_with("LPT")) && up[3] >= '1' && up[3] <= '9')
        reserved = true;
    const bool dots = name == "." || name == "..";
    std::string host;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        const bool last = i + 1 == name.size();
        if (c < 0x20 || c >= 0x7F || std::strchr("%/\\:*?\"<>|", c) != nullptr ||
            ((reserved || dots) && i == 0) || (last && (c == '.' || c == ' '))) {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", c);
            host += escaped;
        } else {
            host += static_cast<char>(c);
        }
    }
    return host;
}

// Host names are ASCII: a byte is a UTF-16 unit, of which a name holds 255.
std::size_t host_name_limit() { return 255; }

// Non-ASCII bytes are escaped: folding a-z is all the system's comparison does.
std::string host_key(std::string_view host) {
    std::string key(host);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 0x20);
    return key;
}

bool can_seek(int fd, std::uint64_t at) {
    if (!reachable(at, 0)) return false;
    const HANDLE h = handle_of(fd);
    LARGE_INTEGER was{}, to{};
    to.QuadPart = static_cast<LONGLONG>(at);
    const bool known = ::SetFilePointerEx(h, LARGE_INTEGER{}, &was, FILE_CURRENT) != 0;
    if (!::SetFilePointerEx(h, to, nullptr, FILE_BEGIN)) {
        set_errno();
        return false;
    }
    if (known) (void)::SetFilePointerEx(h, was, nullptr, FILE_BEGIN);
    return true;
}

}  // namespace platform

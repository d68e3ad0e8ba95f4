// Sector and file I/O shared by every mode: positioned full-length reads and
// writes, the sector functions, the patch-data reader, failure reports
// and where a run's patch window lies in the image.
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "corvaner_cli.h"
#include "edc_ecc.h"
#include "unique_fd.h"

// Exit statuses of a run.
inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_NAME = 1;     // -n name not found exactly once
inline constexpr int STATUS_FAIL = 255;   // every failure (exit(-1) as the shell sees it)

using sector_span = std::span<std::uint8_t, SECTOR_SIZE>;

// The sectors a run lays `size` bytes of data into, from image offset
// `offset` on. Worked out once per run; every check and loop reads it.
struct patch_window {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;       // bytes of patch (or original) data
    std::uint64_t first = 0;      // sector holding the first byte
    std::uint64_t remainder = 0;  // where in that sector's user data the data start
    std::uint64_t last = 0;       // sector holding the last byte (first when size is 0)

    static patch_window at(std::uint64_t offset, std::uint64_t size);
    // Whole sectors the data touch (0 for no data).
    std::uint64_t sectors() const { return size == 0 ? 0 : last - first + 1; }
    // The data start inside the sector's 2048 bytes of user data.
    bool starts_in_user_data() const { return remainder <= USER_DATA_SIZE; }
};

// Prints the line saying where the run starts.
void print_start(run_state& run, const patch_window& window);

// Reports a failed system call like perror, on run.err, after flushing
// run.out so the two streams stay in order on a terminal.
void report_errno(run_state& run, const char* message);

// Prints the common halt text and returns the failure status.
int error_exit(run_state& run);

// Opens a file with `flags` (O_RDONLY or O_RDWR); a directory counts as a
// failed open. Reports a failure with `message` and returns an invalid
// descriptor.
unique_fd open_file(run_state& run, const std::string& path, int flags, const char* message);

// Reads raw sector `sector` of fd into buffer. Returns 2352, or -1 when
// fewer bytes arrive (bytes that did arrive stay in the buffer).
[[nodiscard]] long read_sector(run_state& run, int fd, sector_span buffer,
                               std::uint64_t sector);

// Rebuilds whole raw sectors, the first of them sector `first` of the image,
// as Mode 2 Form 1 sectors at their addresses and writes them back there in
// one go unless the run is a dry run. Returns how many reached the image
// whole: all of them, or fewer after a failed write (errno tells why).
[[nodiscard]] std::size_t write_sectors(run_state& run, int fd, std::span<std::uint8_t> sectors,
                                        std::uint64_t first);

// Sectors' worth of data the verify run fetches per read of the original.
inline constexpr std::size_t READ_AHEAD = 32;

// Sequential reader of the original file of a verify run that fetches up to
// READ_AHEAD sectors' worth of user data per system call, never more than
// the caller says is still to come.
class data_reader {
public:
    explicit data_reader(int fd);
    // Copies the next bytes of the file into `out`; fewer than asked only at
    // the end of the file or after a read error. `remaining` is how many bytes
    // the caller still expects from the file in all.
    std::size_t read(std::span<std::uint8_t> out, std::uint64_t remaining);

private:
    void fetch(std::uint64_t remaining);

    int fd_;
    std::vector<std::uint8_t> buffer_;
    std::size_t at_ = 0;
    std::size_t end_ = 0;
    bool ended_ = false;
};

// Reads the next span of the original file into `buffer`, asking for
// at most `remaining` bytes. Accepts a read of the full span or of all that
// remains, subtracts the count from `remaining` and returns it; else -1.
[[nodiscard]] long read_data(run_state& run, data_reader& source,
                             std::span<std::uint8_t> buffer, std::uint64_t& remaining);

// Flushes a file to disk; a file that cannot sync (a special file) has
// nothing to flush. False, with errno set, when the sync failed.
bool sync_file(int fd);

// Full-length I/O, retried on interruption and short transfers.
// pread_full returns the bytes read (fewer only at end of file) or -1 on an
// error; write_full the bytes written or -1.
long long pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t at);
long long write_full(int fd, std::span<const std::uint8_t> buf);
// Returns the bytes written: all of buf, or fewer with errno telling why.
std::size_t pwrite_full(int fd, std::span<const std::uint8_t> buf, std::uint64_t at);
// Reads into the iovecs, in order, until they are full, the file ends or a
// read fails. Returns the bytes read.
std::size_t readv_full(int fd, std::span<struct iovec> iov);

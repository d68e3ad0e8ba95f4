// Sector and file I/O: positioned full-length reads and writes, raw sectors,
// the sequential reader of a data file and where a run's data window lies in
// the image. Knows nothing of the command line and prints nothing.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "sector/edc_ecc.h"
#include "platform/platform.h"

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

// Full-length I/O, retried on interruption and short transfers. Each returns
// the bytes done: all of buf, or fewer with errno telling why (0 when a read
// reached the end of the file; for pread_full, the failed seek's error where
// it stopped past the largest offset the file system allows).
[[nodiscard]] std::size_t pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t at);
[[nodiscard]] std::size_t pwrite_full(int fd, std::span<const std::uint8_t> buf, std::uint64_t at);
[[nodiscard]] std::size_t read_full(int fd, std::span<std::uint8_t> buf);
[[nodiscard]] std::size_t write_full(int fd, std::span<const std::uint8_t> buf);

// Reads raw sector `sector` into buffer without a word. Returns 2352, or -1
// when fewer bytes arrive (bytes that did arrive stay in the buffer; errno 0
// at the end of the file).
[[nodiscard]] long read_sector_quietly(int fd, sector_span buffer, std::uint64_t sector);

// Rebuilds whole raw sectors in place, the first of them sector `first` of
// the image, as Mode 2 Form 1 sectors at their addresses.
void encode_sectors(std::span<std::uint8_t> sectors, std::uint64_t first);

// True when a raw sector's EDC and P/Q parity are those of a Mode 2 Form 1
// sector with its bytes as they are.
bool form1_intact(std::span<const std::uint8_t, SECTOR_SIZE> sector);

// Sectors' worth of data the verify run fetches per read of the original.
inline constexpr std::size_t READ_AHEAD = 32;

// Sequential reader of a data file that fetches up to READ_AHEAD sectors'
// worth of user data per system call, never more than the caller says is
// still to come.
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

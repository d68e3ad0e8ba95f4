#include "io/sector_io.h"

#include <algorithm>
#include <array>
#include <cerrno>

patch_window patch_window::at(std::uint64_t offset, std::uint64_t size) {
    patch_window w;
    w.offset = offset;
    w.size = size;
    w.first = offset / SECTOR_SIZE;
    w.remainder = offset % SECTOR_SIZE;
    w.last = size == 0 ? w.first : w.first + (w.remainder + size - 1) / USER_DATA_SIZE;
    return w;
}

namespace {

// Repeats `step` (one transfer of the rest, at `done` bytes in) until all of
// `total` bytes are done, the file ends or a transfer fails.
template <typename Step>
std::size_t full(std::size_t total, Step step) {
    std::size_t done = 0;
    while (done < total) {
        const long long n = step(done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return done;
        if (n == 0) {
            errno = 0;
            return done;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

std::size_t pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t at) {
    const std::size_t done = full(buf.size(), [&](std::size_t from) {
        return platform::read_at(fd, buf.subspan(from), at + from);
    });
    // Nothing more to read: the end of the file, or a place past the largest
    // offset the file system allows, which a seek there tells apart.
    if (done != buf.size() && errno == 0 && platform::can_seek(fd, at + done)) errno = 0;
    return done;
}

std::size_t pwrite_full(int fd, std::span<const std::uint8_t> buf, std::uint64_t at) {
    const std::size_t done = full(buf.size(), [&](std::size_t from) {
        return platform::write_at(fd, buf.subspan(from), at + from);
    });
    if (done != buf.size() && errno == 0) errno = EIO;  // a write that moves nothing
    return done;
}

std::size_t read_full(int fd, std::span<std::uint8_t> buf) {
    return full(buf.size(), [&](std::size_t done) { return platform::read_some(fd, buf.subspan(done)); });
}

std::size_t write_full(int fd, std::span<const std::uint8_t> buf) {
    const std::size_t done = full(buf.size(), [&](std::size_t from) {
        return platform::write_some(fd, buf.subspan(from));
    });
    if (done != buf.size() && errno == 0) errno = EIO;
    return done;
}

long read_sector_quietly(int fd, sector_span buffer, std::uint64_t sector) {
    return pread_full(fd, buffer, sector * SECTOR_SIZE) == SECTOR_SIZE ? static_cast<long>(SECTOR_SIZE)
                                                                       : -1;
}

void encode_sectors(std::span<std::uint8_t> sectors, std::uint64_t first) {
    for (std::size_t i = 0; i < sectors.size() / SECTOR_SIZE; ++i)
        do_encode_L2(sector_span(sectors.data() + i * SECTOR_SIZE, SECTOR_SIZE), MODE_2_FORM_1,
                     static_cast<unsigned>(first + i + ADDRESS_BIAS));
}

bool form1_intact(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    std::array<std::uint8_t, SECTOR_SIZE> rebuilt;
    std::copy(sector.begin(), sector.end(), rebuilt.begin());
    // The parity of a Form 1 sector does not cover its header: any address serves.
    do_encode_L2(rebuilt, MODE_2_FORM_1, ADDRESS_BIAS);
    return std::equal(sector.begin() + EDC_AT, sector.end(), rebuilt.begin() + EDC_AT);
}

data_reader::data_reader(int fd) : fd_(fd), buffer_(READ_AHEAD * USER_DATA_SIZE) {}

std::size_t data_reader::read(std::span<std::uint8_t> out, std::uint64_t remaining) {
    if (end_ - at_ < out.size()) fetch(remaining);
    const std::size_t n = std::min(out.size(), end_ - at_);
    std::copy_n(buffer_.begin() + static_cast<std::ptrdiff_t>(at_), n, out.begin());
    at_ += n;
    return n;
}

void data_reader::fetch(std::uint64_t remaining) {
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(at_),
              buffer_.begin() + static_cast<std::ptrdiff_t>(end_), buffer_.begin());
    end_ -= at_;
    at_ = 0;
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer_.size(), remaining));
    if (ended_ || end_ >= want) return;
    const std::size_t got = read_full(fd_, std::span(buffer_).subspan(end_, want - end_));
    ended_ = end_ + got < want;
    end_ += got;
}

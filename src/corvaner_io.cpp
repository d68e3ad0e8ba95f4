#include "corvaner_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

void report_errno(run_state& run, const char* message) {
    const int saved = errno;
    std::fflush(run.out);
    std::fprintf(run.err, "%s: %s\n", message, std::strerror(saved));
    std::fflush(run.err);
}

patch_window patch_window::at(std::uint64_t offset, std::uint64_t size) {
    patch_window w;
    w.offset = offset;
    w.size = size;
    w.first = offset / SECTOR_SIZE;
    w.remainder = offset % SECTOR_SIZE;
    w.last = size == 0 ? w.first : w.first + (w.remainder + size - 1) / USER_DATA_SIZE;
    return w;
}

void print_start(run_state& run, const patch_window& window) {
    std::fprintf(run.out, "Offset %08lX lies on sector %u (remainder %u)\n",
                 static_cast<unsigned long>(window.offset), static_cast<unsigned>(window.first),
                 static_cast<unsigned>(window.remainder));
}

int error_exit(run_state& run) {
    std::fputs("\nAn error occured whilst processing -- halt.\n", run.out);
    return STATUS_FAIL;
}

unique_fd open_file(run_state& run, const std::string& path, int flags, const char* message) {
    // Without waiting for a writer, should the path name a FIFO.
    unique_fd fd(::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        fd = unique_fd();
        errno = EISDIR;
    }
    if (!fd.valid()) report_errno(run, message);
    return fd;
}

bool sync_file(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

long long pread_full(int fd, std::span<std::uint8_t> buf, std::uint64_t at) {
    std::size_t done = 0;
    while (done < buf.size()) {
        const ssize_t n = ::pread(fd, buf.data() + done, buf.size() - done,
                                  static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(done);
}

std::size_t pwrite_full(int fd, std::span<const std::uint8_t> buf, std::uint64_t at) {
    std::size_t done = 0;
    while (done < buf.size()) {
        const ssize_t n = ::pwrite(fd, buf.data() + done, buf.size() - done,
                                   static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (n == 0) {
            errno = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::size_t readv_full(int fd, std::span<struct iovec> iov) {
    std::size_t done = 0;
    while (!iov.empty()) {
        if (iov.front().iov_len == 0) {
            iov = iov.subspan(1);
            continue;
        }
        const ssize_t n = ::readv(fd, iov.data(), static_cast<int>(iov.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
        for (auto left = static_cast<std::size_t>(n); left != 0;) {
            const std::size_t take = std::min(left, iov.front().iov_len);
            iov.front().iov_base = static_cast<std::uint8_t*>(iov.front().iov_base) + take;
            iov.front().iov_len -= take;
            left -= take;
            if (iov.front().iov_len == 0) iov = iov.subspan(1);
        }
    }
    return done;
}

long long write_full(int fd, std::span<const std::uint8_t> buf) {
    std::size_t done = 0;
    while (done < buf.size()) {
        const ssize_t n = ::write(fd, buf.data() + done, buf.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(done);
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
    while (!ended_ && end_ < want) {
        const ssize_t n = ::read(fd_, buffer_.data() + end_, want - end_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ended_ = true;
            break;
        }
        end_ += static_cast<std::size_t>(n);
    }
}

long read_sector(run_state& run, int fd, sector_span buffer, std::uint64_t sector) {
    std::fprintf(run.out, " | READSECTOR(%04d)", static_cast<int>(SECTOR_SIZE));
    const long long n = pread_full(fd, buffer, sector * SECTOR_SIZE);
    if (n < 0) report_errno(run, "\nFailed to read sector");
    return n == static_cast<long long>(SECTOR_SIZE) ? static_cast<long>(SECTOR_SIZE) : -1;
}

std::size_t write_sectors(run_state& run, int fd, std::span<std::uint8_t> sectors,
                          std::uint64_t first) {
    const std::size_t count = sectors.size() / SECTOR_SIZE;
    for (std::size_t i = 0; i < count; ++i)
        do_encode_L2(sector_span(sectors.data() + i * SECTOR_SIZE, SECTOR_SIZE), MODE_2_FORM_1,
                     static_cast<unsigned>(first + i + ADDRESS_BIAS));
    if (run.settings.mode_nowrite || count == 0) return count;
    return pwrite_full(fd, sectors.first(count * SECTOR_SIZE), first * SECTOR_SIZE) / SECTOR_SIZE;
}

long read_data(run_state& run, data_reader& source, std::span<std::uint8_t> buffer,
               std::uint64_t& remaining) {
    const std::size_t ask =
        static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), remaining));
    if (source.read(buffer.first(ask), remaining) != ask) {
        std::fprintf(run.out, "\nFailed to read %d bytes from patch file\n",
                     static_cast<int>(buffer.size()));
        return -1;
    }
    remaining -= ask;
    std::fprintf(run.out, " | READPATCH(%04d)", static_cast<int>(ask));
    return static_cast<long>(ask);
}


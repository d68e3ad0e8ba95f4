#include "corvaner_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "corvaner_compare.h"
#include "corvaner_dir.h"
#include "corvaner_ppf.h"
#include "unique_fd.h"

namespace {

constexpr std::size_t USER_DATA = 24;         // first user-data byte of a sector
constexpr std::size_t USER_DATA_SIZE = 2048;  // Mode 2 Form 1 user data

// A sync that the file cannot do (a special file) has nothing to flush.
bool sync_file(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The last sector a patch of `size` bytes (more than 0) touches when its data
// start `remainder` bytes into the user data of sector `first`.
std::uint64_t last_sector(std::uint64_t first, std::uint64_t remainder, std::uint64_t size) {
    return first + (remainder + size - 1) / USER_DATA_SIZE;
}

// Checks that such a patch stays inside the image's whole sectors. Prints why
// not and returns false otherwise.
bool patch_fits(run_state& run, std::uint64_t size, std::uint64_t first,
                std::uint64_t remainder, std::uint64_t image_sectors) {
    if (size == 0) return true;
    const std::uint64_t last = last_sector(first, remainder, size);
    if (last < image_sectors) return true;
    std::fprintf(run.out,
                 "Patch of %llu bytes at offset %08llX needs sectors %llu to %llu, "
                 "but the image holds only %llu whole sectors -- refused\n",
                 static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(run.settings.offset),
                 static_cast<unsigned long long>(first),
                 static_cast<unsigned long long>(last),
                 static_cast<unsigned long long>(image_sectors));
    return false;
}

// Opens the PPF file read-write, created if absent, then empties it. The file
// is emptied only after it is known not to be one of the run's inputs, so a
// slip of the command line cannot wipe the image.
unique_fd create_ppf(run_state& run, const struct stat& bin_st, const struct stat& patch_st) {
    const char* what = "Failed to create PPF file";
    unique_fd ppf(::open(run.settings.file_ppf->c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    if (!ppf.valid()) {
        report_errno(run, what);
        return ppf;
    }
    struct stat st {};
    if (::fstat(ppf.get(), &st) != 0) {
        report_errno(run, what);
        return unique_fd();
    }
    // The -v file is read only after this, so it is checked by its path.
    struct stat orig_st {};
    const bool orig_known =
        run.settings.file_orig && ::stat(run.settings.file_orig->c_str(), &orig_st) == 0;
    if (same_file(st, bin_st) || same_file(st, patch_st) ||
        (orig_known && same_file(st, orig_st))) {
        std::fprintf(run.out, "PPF file '%s' is an input of this run -- refused\n",
                     run.settings.file_ppf->c_str());
        return unique_fd();
    }
    if (S_ISREG(st.st_mode) && ::ftruncate(ppf.get(), 0) != 0) {
        report_errno(run, what);
        return unique_fd();
    }
    return ppf;
}

// The image sectors a patch needs, from `first` on. The patch loop takes them
// one at a time but they are fetched in runs of READ_AHEAD sectors, which
// saves a system call for nearly every sector. Only sectors after the one
// being written are fetched ahead, so the loop's own writes never go stale
// here. What the loop sees and prints stays that of one read per sector:
// wherever a run comes up short, the sector falls back to its own read, which
// fails and reports exactly as it always did.
class image_ahead {
public:
    image_ahead(int fd, std::uint64_t first, std::uint64_t remainder, std::uint64_t size)
        : fd_(fd),
          end_(size == 0 ? first : last_sector(first, remainder, size) + 1),
          buffer_(READ_AHEAD * SECTOR_SIZE) {}

    // Copies sector `sector` into `out` and returns true, or returns false
    // when it could not be fetched (the caller then reads it itself).
    bool take(sector_span out, std::uint64_t sector) {
        if (sector < first_ || sector >= first_ + held_) fetch(sector);
        if (sector < first_ || sector >= first_ + held_) return false;
        const auto at = static_cast<std::ptrdiff_t>((sector - first_) * SECTOR_SIZE);
        std::copy_n(buffer_.begin() + at, SECTOR_SIZE, out.begin());
        return true;
    }

private:
    void fetch(std::uint64_t sector) {
        first_ = sector;
        held_ = 0;
        if (sector >= end_) return;
        const auto count = static_cast<std::size_t>(
            std::min<std::uint64_t>(READ_AHEAD, end_ - sector));
        const long long n = pread_full(fd_, std::span(buffer_).first(count * SECTOR_SIZE),
                                       sector * SECTOR_SIZE);
        if (n > 0) held_ = static_cast<std::uint64_t>(n) / SECTOR_SIZE;
    }

    int fd_;
    std::uint64_t end_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t first_ = 0;
    std::uint64_t held_ = 0;
};

int patch_run(run_state& run, unique_fd& bin, int fd_patch, unique_fd& ppf,
              std::uint64_t size_patch) {
    const run_settings& s = run.settings;
    auto [sector, remainder] = print_start(run);
    std::fputs("Patching .bin file\n", run.out);
    if (ppf.valid() && !ppf2_header(run, ppf.get(), bin.get())) return error_exit(run);

    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    image_ahead image(bin.get(), sector, remainder, size_patch);
    data_reader data(fd_patch);
    while (size_patch != 0) {
        std::fprintf(run.out, "%6d", static_cast<int>(sector));
        if (image.take(buffer, sector))
            std::fprintf(run.out, " | READSECTOR(%04d)", static_cast<int>(SECTOR_SIZE));
        else if (read_sector(run, bin.get(), buffer, sector) < 0)
            return error_exit(run);
        const auto span = std::span(buffer).subspan(USER_DATA + remainder,
                                                    USER_DATA_SIZE - remainder);
        if (read_data(run, data, span, size_patch) < 0) return error_exit(run);
        remainder = 0;
        if (write_sector(run, bin.get(), buffer, sector) < 0) return error_exit(run);
        if (ppf.valid() && !ppf2_write(run, ppf.get(), buffer, sector))
            return error_exit(run);
        ++sector;
        std::fputs("\n", run.out);
    }

    // Success is reported only once everything written is on disk.
    if (!s.mode_nowrite && !sync_file(bin.get())) {
        report_errno(run, "Failed to sync .bin file");
        return error_exit(run);
    }
    if (ppf.valid()) {
        if (!sync_file(ppf.get())) {
            report_errno(run, "Failed to sync PPF file");
            return error_exit(run);
        }
        if (!ppf.close()) {
            report_errno(run, "Failed to close PPF file");
            return error_exit(run);
        }
    }
    if (!bin.close()) {
        report_errno(run, "Failed to close .bin file");
        return error_exit(run);
    }
    std::fputs("All done.\n", run.out);
    return STATUS_OK;
}

}  // namespace

void report_errno(run_state& run, const char* message) {
    const int saved = errno;
    std::fflush(run.out);
    std::fprintf(run.err, "%s: %s\n", message, std::strerror(saved));
    std::fflush(run.err);
}

start_position print_start(run_state& run) {
    const std::uint64_t offset = run.settings.offset;
    const start_position start{offset / SECTOR_SIZE, offset % SECTOR_SIZE};
    std::fprintf(run.out, "Offset %08lX lies on sector %u (remainder %u)\n",
                 static_cast<unsigned long>(offset), static_cast<unsigned>(start.sector),
                 static_cast<unsigned>(start.remainder));
    return start;
}

int error_exit(run_state& run) {
    std::fputs("\nAn error occured whilst processing -- halt.\n", run.out);
    return STATUS_FAIL;
}

unique_fd open_input(run_state& run, const std::string& path, const char* message) {
    unique_fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st {};
    if (fd.valid() && ::fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) {
        fd = unique_fd();
        errno = EISDIR;
    }
    if (!fd.valid()) report_errno(run, message);
    return fd;
}

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

long long pwrite_full(int fd, std::span<const std::uint8_t> buf, std::uint64_t at) {
    std::size_t done = 0;
    while (done < buf.size()) {
        const ssize_t n = ::pwrite(fd, buf.data() + done, buf.size() - done,
                                   static_cast<off_t>(at + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long long>(done);
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

long write_sector(run_state& run, int fd, sector_span buffer, std::uint64_t sector) {
    std::fputs(" | EDC_ECC", run.out);
    do_encode_L2(buffer, MODE_2_FORM_1, static_cast<unsigned>(sector + 150));
    std::fprintf(run.out, " | WRITESECTOR(%04d)", static_cast<int>(SECTOR_SIZE));
    if (run.settings.mode_nowrite) return static_cast<long>(SECTOR_SIZE);
    if (pwrite_full(fd, buffer, sector * SECTOR_SIZE) != static_cast<long long>(SECTOR_SIZE)) {
        report_errno(run, "\nFailed to write sector");
        return -1;
    }
    return static_cast<long>(SECTOR_SIZE);
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

int corvane_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
    run_state run;
    run.out = out;
    run.err = err;
    print_banner(out);
    if (!arguments(run, argc, argv)) {
        print_usage(out);
        return STATUS_OK;
    }
    const run_settings& s = run.settings;
    std::fprintf(out, "Patch File : %s\n", s.file_patch->c_str());
    std::fprintf(out, "Patch .bin : %s\n", s.file_bin->c_str());
    if (s.file_orig) std::fprintf(out, "Original   : %s\n", s.file_orig->c_str());
    if (s.file_ppf) std::fprintf(out, "PPF20 File : %s\n", s.file_ppf->c_str());
    std::fputs("\n", out);

    unique_fd bin(::open(s.file_bin->c_str(), O_RDWR | O_CLOEXEC));
    if (!bin.valid()) {
        report_errno(run, "Failed to open .bin file");
        return STATUS_FAIL;
    }
    if (s.mode_listdir) {
        listdir(run, bin.get());
        std::fputs("\n", out);
        return STATUS_OK;
    }
    unique_fd patch = open_input(run, *s.file_patch, "Failed to open patch file");
    if (!patch.valid()) return STATUS_FAIL;
    if (s.mode_checkedc) {
        checkedc(run, bin.get(), patch.get());
        std::fputs("\n", out);
        return STATUS_OK;
    }

    struct stat patch_st {};
    if (::fstat(patch.get(), &patch_st) != 0) {
        report_errno(run, "Failed to stat file?");
        return error_exit(run);
    }
    const auto size_patch = static_cast<std::uint64_t>(patch_st.st_size);
    std::fprintf(out, "Size of patch file is %lu which takes %lu sectors (roughly)\n",
                 static_cast<unsigned long>(size_patch),
                 static_cast<unsigned long>(size_patch / SECTOR_SIZE + 1));

    if (s.offset == 0 && s.file_name) {
        run.hits = 0;
        listdir(run, bin.get());
        std::fputs("\n", out);
        if (run.hits != 1) {
            std::fprintf(out, "Name '%s' was found %d times -- halt\n", s.file_name->c_str(),
                         run.hits);
            return STATUS_NAME;
        }
    }

    // Refuse what cannot be done before anything is written.
    const std::uint64_t first = s.offset / SECTOR_SIZE;
    const std::uint64_t remainder = s.offset % SECTOR_SIZE;
    if (remainder > USER_DATA_SIZE) {
        std::fprintf(out,
                     "Offset %08llX lies %llu bytes into sector %llu, past its %zu bytes "
                     "of user data -- refused\n",
                     static_cast<unsigned long long>(s.offset),
                     static_cast<unsigned long long>(remainder),
                     static_cast<unsigned long long>(first), USER_DATA_SIZE);
        return error_exit(run);
    }
    struct stat bin_st {};
    if (::fstat(bin.get(), &bin_st) != 0) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    const auto image_size = static_cast<std::uint64_t>(bin_st.st_size);
    if (!s.file_orig) {
        // Patching an image with itself would read back its own rewritten sectors.
        if (same_file(bin_st, patch_st)) {
            std::fprintf(out, "Patch file '%s' is the .bin file itself -- refused\n",
                         s.file_patch->c_str());
            return error_exit(run);
        }
        if (!patch_fits(run, size_patch, first, remainder, image_size / SECTOR_SIZE))
            return error_exit(run);
        if (s.file_ppf && image_size > UINT32_MAX) {
            std::fprintf(out,
                         "Image of %llu bytes is beyond the 4 GiB a PPF 2.0 file can "
                         "describe -- refused\n",
                         static_cast<unsigned long long>(image_size));
            return error_exit(run);
        }
    }

    unique_fd ppf;
    if (s.file_ppf) {
        ppf = create_ppf(run, bin_st, patch_st);
        if (!ppf.valid()) return STATUS_FAIL;
    }
    if (s.file_orig) return verify_run(run, bin.get());
    return patch_run(run, bin, patch.get(), ppf, size_patch);
}

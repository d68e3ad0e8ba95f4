#include "corvaner_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "corvaner_compare.h"
#include "corvaner_dir.h"
#include "corvaner_ppf.h"

namespace {

// A sync that the file cannot do (a special file) has nothing to flush.
bool sync_file(int fd) { return ::fsync(fd) == 0 || errno == EINVAL; }

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Checks that the patch stays inside the image's whole sectors. Prints why
// not and returns false otherwise.
bool patch_fits(run_state& run, const patch_window& w, std::uint64_t image_sectors) {
    if (w.size == 0 || w.last < image_sectors) return true;
    std::fprintf(run.out,
                 "Patch of %llu bytes at offset %08llX needs sectors %llu to %llu, "
                 "but the image holds only %llu whole sectors -- refused\n",
                 static_cast<unsigned long long>(w.size),
                 static_cast<unsigned long long>(w.offset),
                 static_cast<unsigned long long>(w.first),
                 static_cast<unsigned long long>(w.last),
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

// The image sectors of the patch window. The patch loop takes them one at a
// time but they are fetched in runs of READ_AHEAD sectors, which saves a
// system call for nearly every sector. Only sectors after the one being
// written are fetched ahead, so the loop's own writes never go stale here.
// What the loop sees and prints stays that of one read per sector: wherever a
// run comes up short, the sector falls back to its own read, which fails and
// reports exactly as it always did.
class image_ahead {
public:
    image_ahead(int fd, const patch_window& w)
        : fd_(fd), end_(w.first + w.sectors()), buffer_(READ_AHEAD * SECTOR_SIZE) {}

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
              const patch_window& window) {
    print_start(run, window);
    std::fputs("Patching .bin file\n", run.out);
    if (ppf.valid() && !ppf2_header(run, ppf.get(), bin.get())) return error_exit(run);

    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    image_ahead image(bin.get(), window);
    data_reader data(fd_patch);
    std::uint64_t remaining = window.size;
    std::uint64_t remainder = window.remainder;
    for (std::uint64_t sector = window.first; remaining != 0; ++sector) {
        std::fprintf(run.out, "%6d", static_cast<int>(sector));
        if (image.take(buffer, sector))
            std::fprintf(run.out, " | READSECTOR(%04d)", static_cast<int>(SECTOR_SIZE));
        else if (read_sector(run, bin.get(), buffer, sector) < 0)
            return error_exit(run);
        const auto span = std::span(buffer).subspan(USER_DATA + remainder,
                                                    USER_DATA_SIZE - remainder);
        if (read_data(run, data, span, remaining) < 0) return error_exit(run);
        remainder = 0;
        if (write_sector(run, bin.get(), buffer, sector) < 0) return error_exit(run);
        if (ppf.valid() && !ppf2_write(run, ppf.get(), buffer, sector))
            return error_exit(run);
        std::fputs("\n", run.out);
    }

    // Success is reported only once everything written is on disk.
    if (!run.settings.mode_nowrite && !sync_file(bin.get())) {
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

// Size of an open file, after reporting a failed query.
bool file_size(run_state& run, int fd, struct stat& st, const char* message) {
    if (::fstat(fd, &st) == 0) return true;
    report_errno(run, message);
    return false;
}

void print_size(run_state& run, const char* what, std::uint64_t size) {
    std::fprintf(run.out, "Size of %s file is %lu which takes %lu sectors (roughly)\n", what,
                 static_cast<unsigned long>(size),
                 static_cast<unsigned long>(size / SECTOR_SIZE + 1));
}

}  // namespace

int corvane_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
    run_state run;
    run.out = out;
    run.err = err;
    print_banner(out);
    if (!arguments(run, argc, argv)) {
        print_usage(out);
        return STATUS_OK;
    }
    run_settings& s = run.settings;
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
        (void)listdir(run, bin.get());
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
    if (!file_size(run, patch.get(), patch_st, "Failed to stat file?")) return error_exit(run);
    const auto size_patch = static_cast<std::uint64_t>(patch_st.st_size);
    print_size(run, "patch", size_patch);

    if (s.offset == 0 && s.file_name) {
        const dir_lookup found = listdir(run, bin.get());
        std::fputs("\n", out);
        if (found.hits != 1) {
            std::fprintf(out, "Name '%s' was found %d times -- halt\n",
                         printable_name(*s.file_name).c_str(), found.hits);
            return STATUS_NAME;
        }
        s.offset = found.offset;
        if (!lookup_fits(run, found, size_patch)) return error_exit(run);
    }

    // Refuse what cannot be done before anything is written.
    const patch_window at_offset = patch_window::at(s.offset, size_patch);
    if (!at_offset.starts_in_user_data()) {
        std::fprintf(out,
                     "Offset %08llX lies %llu bytes into sector %llu, past its %zu bytes "
                     "of user data -- refused\n",
                     static_cast<unsigned long long>(at_offset.offset),
                     static_cast<unsigned long long>(at_offset.remainder),
                     static_cast<unsigned long long>(at_offset.first), USER_DATA_SIZE);
        return error_exit(run);
    }
    struct stat bin_st {};
    if (!file_size(run, bin.get(), bin_st, "Failed to stat .bin file")) return error_exit(run);
    const auto image_size = static_cast<std::uint64_t>(bin_st.st_size);
    if (!s.file_orig) {
        // Patching an image with itself would read back its own rewritten sectors.
        if (same_file(bin_st, patch_st)) {
            std::fprintf(out, "Patch file '%s' is the .bin file itself -- refused\n",
                         s.file_patch->c_str());
            return error_exit(run);
        }
        if (!patch_fits(run, at_offset, image_size / SECTOR_SIZE)) return error_exit(run);
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
    if (s.file_orig) {
        const unique_fd orig = open_input(run, *s.file_orig, "Failed to open orig file");
        if (!orig.valid()) return STATUS_FAIL;
        struct stat orig_st {};
        if (!file_size(run, orig.get(), orig_st, "Failed to stat file?")) return error_exit(run);
        const auto size_orig = static_cast<std::uint64_t>(orig_st.st_size);
        print_size(run, "original", size_orig);
        return verify_run(run, bin.get(), orig.get(), patch_window::at(s.offset, size_orig));
    }
    return patch_run(run, bin, patch.get(), ppf, at_offset);
}

#include "corvaner_run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <string>
#include <vector>

#include "corvaner_compare.h"
#include "corvaner_dir.h"
#include "corvaner_ppf.h"

namespace {

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

// Signals that ask a run to stop. A patch run holds them back and looks for
// them between batches of sectors, so it never stops inside a sector and
// still removes its temporary PPF file; the signal then takes effect when
// the run lets it through, after its output has been flushed.
class held_signals {
public:
    explicit held_signals(std::FILE* out) : out_(out) {
        sigemptyset(&held_);
        for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&held_, sig);
        sigprocmask(SIG_BLOCK, &held_, &saved_);
    }
    held_signals(const held_signals&) = delete;
    held_signals& operator=(const held_signals&) = delete;
    ~held_signals() {
        std::fflush(out_);
        sigprocmask(SIG_SETMASK, &saved_, nullptr);
    }

    // True when a signal held back by this run has arrived.
    bool pending() const {
        sigset_t now;
        sigpending(&now);
        for (int sig = 1; sig < NSIG; ++sig)
            if (sigismember(&held_, sig) == 1 && sigismember(&now, sig) == 1 &&
                sigismember(&saved_, sig) == 0)
                return true;
        return false;
    }

private:
    std::FILE* out_;
    sigset_t held_{};
    sigset_t saved_{};
};

// Sectors read per system call when the window is checked, and rebuilt,
// written and traced together by the patch.
constexpr std::size_t CHECK_SECTORS = 128;
constexpr std::size_t BATCH_SECTORS = 64;

// What a patch run keeps from its one read of the window: every sector's
// first 24 bytes (the subheader carries through a patch; the rest of a fully
// patched sector is patch data or rebuilt), and the first and last sectors
// whole, as the patch may cover only part of their user data.
struct window_sectors {
    std::vector<std::uint8_t> heads;  // USER_DATA bytes per sector
    std::array<std::uint8_t, SECTOR_SIZE> first{};
    std::array<std::uint8_t, SECTOR_SIZE> last{};
};

// A sector the patch may not rewrite: it carries the sync pattern of a
// written sector but is not Mode 2 Form 1. Prints what it is.
bool foreign_sector(run_state& run, std::span<const std::uint8_t, SECTOR_SIZE> b,
                    std::uint64_t sector) {
    if (!std::equal(SYNC_PATTERN.begin(), SYNC_PATTERN.end(), b.begin())) return false;
    const auto index = static_cast<unsigned long long>(sector);
    if (b[MODE_BYTE] != 2) {
        std::fprintf(run.out, "Sector %llu is a Mode %u sector, not Mode 2 Form 1 -- refused\n",
                     index, static_cast<unsigned>(b[MODE_BYTE]));
        return true;
    }
    if ((b[SUBMODE_BYTE] & SUBMODE_FORM2) != 0) {
        std::fprintf(run.out,
                     "Sector %llu is a Mode 2 Form 2 sector (submode %02X), not Form 1 -- "
                     "refused\n",
                     index, static_cast<unsigned>(b[SUBMODE_BYTE]));
        return true;
    }
    return false;
}

// Reads every sector of the window, checks that a patch may rewrite it and
// keeps what the patch needs of it.
bool check_window(run_state& run, int fd, const patch_window& w, window_sectors& keep) {
    std::vector<std::uint8_t> chunk(std::min<std::uint64_t>(w.sectors(), CHECK_SECTORS) * SECTOR_SIZE);
    keep.heads.resize(w.sectors() * USER_DATA);
    for (std::uint64_t from = w.first; from < w.first + w.sectors(); from += CHECK_SECTORS) {
        const auto n = static_cast<std::size_t>(
            std::min<std::uint64_t>(CHECK_SECTORS, w.first + w.sectors() - from));
        const long long got = pread_full(fd, std::span(chunk).first(n * SECTOR_SIZE), from * SECTOR_SIZE);
        if (got < 0) report_errno(run, "\nFailed to read sector");
        if (got != static_cast<long long>(n * SECTOR_SIZE)) return false;
        for (std::size_t i = 0; i < n; ++i) {
            const std::span<const std::uint8_t, SECTOR_SIZE> sector(chunk.data() + i * SECTOR_SIZE,
                                                                    SECTOR_SIZE);
            if (foreign_sector(run, sector, from + i)) return false;
            std::copy_n(sector.begin(), USER_DATA,
                        keep.heads.begin() + static_cast<std::ptrdiff_t>((from + i - w.first) * USER_DATA));
            if (from + i == w.first) std::copy(sector.begin(), sector.end(), keep.first.begin());
            if (from + i == w.last) std::copy(sector.begin(), sector.end(), keep.last.begin());
        }
    }
    return true;
}

// Appends "%6d" of the sector's index.
void append_index(std::string& trace, std::uint64_t sector) {
    const auto index = static_cast<int>(sector);
    if (index < 0 || index > 999999) {
        char text[16];
        std::snprintf(text, sizeof text, "%6d", index);
        trace += text;
        return;
    }
    char text[6] = {' ', ' ', ' ', ' ', ' ', '0'};
    for (int v = index, at = 5; v != 0; v /= 10, --at) text[at] = static_cast<char>('0' + v % 10);
    trace.append(text, sizeof text);
}

// The trace line of one patched sector, `count` bytes of patch data in it.
void append_trace(std::string& trace, std::uint64_t sector, std::size_t count) {
    append_index(trace, sector);
    trace += " | READSECTOR(2352) | READPATCH(";
    const char digits[4] = {static_cast<char>('0' + count / 1000 % 10),
                            static_cast<char>('0' + count / 100 % 10),
                            static_cast<char>('0' + count / 10 % 10),
                            static_cast<char>('0' + count % 10)};
    trace.append(digits, 4);
    trace += ") | EDC_ECC | WRITESECTOR(2352)\n";
}

struct patch_files {
    unique_fd& bin;
    int patch;
    ppf_file* ppf;  // null without -p
};

// Lays the patch into the window's sectors, rebuilds them and writes them
// back, a batch at a time. The trace and the files end up as if each sector
// had been read, patched, rebuilt and written on its own: on a failure, every
// sector before the failing one is written and traced, the failing one's
// trace stops where it failed.
bool patch_sectors(run_state& run, patch_files& f, const patch_window& w,
                   const window_sectors& keep, const held_signals& signals) {
    std::vector<std::uint8_t> batch(BATCH_SECTORS * SECTOR_SIZE);
    auto at = [&](std::size_t i) { return sector_span(batch.data() + i * SECTOR_SIZE, SECTOR_SIZE); };
    std::string trace;
    std::vector<std::uint8_t> chunks(f.ppf ? BATCH_SECTORS * PPF2_SECTOR_SIZE : 0);
    std::array<struct iovec, BATCH_SECTORS> iov{};
    std::array<std::size_t, BATCH_SECTORS> asked{};
    // Room for patch data in a sector: the first starts at the remainder.
    auto room = [&](std::uint64_t sector) {
        return USER_DATA_SIZE - static_cast<std::size_t>(sector == w.first ? w.remainder : 0);
    };
    std::uint64_t remaining = w.size;
    for (std::uint64_t from = w.first; remaining != 0; from += BATCH_SECTORS) {
        if (signals.pending()) {
            std::fputs("\nInterrupted: the run stops after the sectors traced above\n",
                       run.out);
            return false;
        }
        const auto k = static_cast<std::size_t>(
            std::min<std::uint64_t>(BATCH_SECTORS, w.last + 1 - from));
        std::uint64_t want = remaining;
        for (std::size_t i = 0; i < k; ++i) {
            const std::uint64_t sector = from + i;
            if (sector == w.first || sector == w.last) {
                const auto& whole = sector == w.first ? keep.first : keep.last;
                std::copy(whole.begin(), whole.end(), at(i).begin());
            } else {
                std::copy_n(keep.heads.begin() + static_cast<std::ptrdiff_t>((sector - w.first) * USER_DATA),
                            USER_DATA, at(i).begin());
            }
            const std::size_t space = room(sector);
            asked[i] = static_cast<std::size_t>(std::min<std::uint64_t>(space, want));
            want -= asked[i];
            iov[i].iov_base = at(i).data() + USER_DATA_END - space;
            iov[i].iov_len = asked[i];
        }
        // Sectors whose patch data all arrived.
        std::size_t got = readv_full(f.patch, std::span(iov).first(k));
        std::size_t complete = 0;
        for (; complete < k && got >= asked[complete]; ++complete) got -= asked[complete];
        const std::size_t written = write_sectors(
            run, f.bin.get(), std::span(batch).first(complete * SECTOR_SIZE), from);
        const int write_errno = errno;
        trace.clear();
        for (std::size_t i = 0; i < written; ++i) {
            append_trace(trace, from + i, asked[i]);
            remaining -= asked[i];
            if (f.ppf)
                ppf2_chunks(std::span(chunks).subspan(i * PPF2_SECTOR_SIZE).first<PPF2_SECTOR_SIZE>(),
                            at(i), from + i);
        }
        std::fwrite(trace.data(), 1, trace.size(), run.out);
        if (f.ppf && written != 0 &&
            !ppf2_write(run, f.ppf->fd(),
                        std::span(chunks).first(written * PPF2_SECTOR_SIZE)))
            return false;
        if (written != complete) {
            trace.clear();
            append_trace(trace, from + written, asked[written]);
            trace.pop_back();  // the line stops where the write failed
            std::fwrite(trace.data(), 1, trace.size(), run.out);
            errno = write_errno;
            report_errno(run, "\nFailed to write sector");
            return false;
        }
        if (complete != k) {
            trace.clear();
            append_index(trace, from + complete);
            trace += " | READSECTOR(2352)";
            std::fwrite(trace.data(), 1, trace.size(), run.out);
            std::fprintf(run.out, "\nFailed to read %d bytes from patch file\n",
                         static_cast<int>(room(from + complete)));
            return false;
        }
    }
    return true;
}

int patch_run(run_state& run, patch_files& f, const patch_window& window,
              const window_sectors& keep, const held_signals& signals) {
    print_start(run, window);
    std::fputs("Patching .bin file\n", run.out);
    if (f.ppf && !ppf2_header(run, f.ppf->fd(), f.bin.get())) return error_exit(run);
    if (!patch_sectors(run, f, window, keep, signals)) return error_exit(run);

    // Success is reported only once everything written is on disk.
    if (!run.settings.mode_nowrite && !sync_file(f.bin.get())) {
        report_errno(run, "Failed to sync .bin file");
        return error_exit(run);
    }
    if (f.ppf && !f.ppf->commit(run)) return error_exit(run);
    if (!f.bin.close()) {
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

namespace {

// Data files must be plain files whose size says how much they hold: a pipe,
// a device or a /proc file (size 0, content on reading) would be taken as empty.
bool refuse_irregular(run_state& run, int fd, const struct stat& st, const char* what,
                      const std::string& path) {
    std::uint8_t probe = 0;
    if (S_ISREG(st.st_mode) && (st.st_size != 0 || ::pread(fd, &probe, 1, 0) == 0)) return false;
    std::fprintf(run.out, "%s '%s' is not a regular file -- refused\n", what, path.c_str());
    return true;
}

int run_tool(run_state& run, int argc, char** argv) {
    std::FILE* out = run.out;
    if (!asks_version(argc, argv)) print_banner(out);
    switch (arguments(run, argc, argv)) {
        case parse_result::ok: break;
        case parse_result::version: print_version(out); return STATUS_OK;
        case parse_result::usage: print_usage(out); return STATUS_OK;
        case parse_result::help: print_usage(out); print_long_options(out); return STATUS_OK;
        case parse_result::refused_usage: print_usage(out); return STATUS_FAIL;
        case parse_result::refused: return STATUS_FAIL;
    }
    run_settings& s = run.settings;
    std::fprintf(out, "Patch File : %s\n", s.file_patch->c_str());
    std::fprintf(out, "Patch .bin : %s\n", s.file_bin->c_str());
    if (s.file_orig) std::fprintf(out, "Original   : %s\n", s.file_orig->c_str());
    if (s.file_ppf) std::fprintf(out, "PPF20 File : %s\n", s.file_ppf->c_str());
    std::fputs("\n", out);

    // Only a patch run that is not a dry run writes the image; it holds the
    // image locked from before its first read to its last write.
    const bool writes_image =
        !s.mode_listdir && !s.mode_checkedc && !s.file_orig && !s.mode_nowrite;
    unique_fd bin = open_file(run, *s.file_bin, writes_image ? O_RDWR : O_RDONLY,
                              "Failed to open .bin file");
    if (!bin.valid()) return STATUS_FAIL;
    if (writes_image && ::flock(bin.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            report_errno(run, "Failed to lock .bin file");
            return STATUS_FAIL;
        }
        std::fprintf(out, "Image '%s' is being written by another run -- refused\n",
                     s.file_bin->c_str());
        return STATUS_FAIL;
    }
    if (s.mode_listdir) {
        (void)listdir(run, bin.get());
        std::fputs("\n", out);
        return STATUS_OK;
    }
    unique_fd patch = open_file(run, *s.file_patch, O_RDONLY, "Failed to open patch file");
    if (!patch.valid()) return STATUS_FAIL;
    if (s.mode_checkedc) {
        checkedc(run, bin.get(), patch.get());
        std::fputs("\n", out);
        return STATUS_OK;
    }

    struct stat patch_st {};
    if (!file_size(run, patch.get(), patch_st, "Failed to stat file?")) return error_exit(run);
    if (refuse_irregular(run, patch.get(), patch_st, "Patch file", *s.file_patch)) return error_exit(run);
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
    const patch_window window = patch_window::at(s.offset, size_patch);
    if (!window.starts_in_user_data()) {
        std::fprintf(out,
                     "Offset %08llX lies %llu bytes into sector %llu, past its %zu bytes "
                     "of user data -- refused\n",
                     static_cast<unsigned long long>(window.offset),
                     static_cast<unsigned long long>(window.remainder),
                     static_cast<unsigned long long>(window.first), USER_DATA_SIZE);
        return error_exit(run);
    }
    struct stat bin_st {};
    if (!file_size(run, bin.get(), bin_st, "Failed to stat .bin file")) return error_exit(run);
    const auto image_size = static_cast<std::uint64_t>(bin_st.st_size);

    if (s.file_orig) {
        const unique_fd orig = open_file(run, *s.file_orig, O_RDONLY, "Failed to open orig file");
        if (!orig.valid()) return STATUS_FAIL;
        struct stat orig_st {};
        if (!file_size(run, orig.get(), orig_st, "Failed to stat file?")) return error_exit(run);
        if (refuse_irregular(run, orig.get(), orig_st, "Original file", *s.file_orig)) return error_exit(run);
        const auto size_orig = static_cast<std::uint64_t>(orig_st.st_size);
        print_size(run, "original", size_orig);
        return verify_run(run, bin.get(), orig.get(), patch_window::at(s.offset, size_orig));
    }

    // Patching an image with itself would read back its own rewritten sectors.
    if (same_file(bin_st, patch_st)) {
        std::fprintf(out, "Patch file '%s' is the .bin file itself -- refused\n",
                     s.file_patch->c_str());
        return error_exit(run);
    }
    if (!patch_fits(run, window, image_size / SECTOR_SIZE)) return error_exit(run);
    if (s.file_ppf && image_size > UINT32_MAX) {
        std::fprintf(out,
                     "Image of %llu bytes is beyond the 4 GiB a PPF 2.0 file can "
                     "describe -- refused\n",
                     static_cast<unsigned long long>(image_size));
        return error_exit(run);
    }
    // A file-size limit would stop the writes part-way, inside a sector: the
    // run is refused before the first instead.
    rlimit limit{};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        std::uint64_t need = writes_image && window.size != 0 ? (window.last + 1) * SECTOR_SIZE : 0;
        if (s.file_ppf)
            need = std::max<std::uint64_t>(need, PPF2_HEADER_SIZE + PPF2_SECTOR_SIZE * window.sectors());
        if (need > limit.rlim_cur) {
            std::fprintf(out,
                         "The run writes files of up to %llu bytes, past this process's "
                         "file-size limit of %llu bytes -- refused\n",
                         static_cast<unsigned long long>(need),
                         static_cast<unsigned long long>(limit.rlim_cur));
            return error_exit(run);
        }
    }
    const held_signals signals(out);
    window_sectors keep;
    if (!check_window(run, bin.get(), window, keep)) return error_exit(run);
    ppf_file ppf;
    if (s.file_ppf && !ppf.open(run, *s.file_ppf, {bin_st, patch_st})) return STATUS_FAIL;
    patch_files files{bin, patch.get(), s.file_ppf ? &ppf : nullptr};
    return patch_run(run, files, window, keep, signals);
}

}  // namespace

void prepare_process() {
    // Standard input, output and error are made valid first, so that no file
    // the run opens can take their places and receive the tool's output.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
    // A reader that went away or a file-size limit makes the write fail and
    // the run report it, instead of ending the process part-way.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // The trace runs to a line per sector: into a file or pipe it goes in
    // large blocks. A terminal keeps its line-by-line output.
    if (::isatty(STDOUT_FILENO) == 0) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
}

int corvane_main(int argc, char** argv, std::FILE* out, std::FILE* err) {
    run_state run;
    run.out = out;
    run.err = err;
    const int status = run_tool(run, argc, argv);
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        std::fprintf(err,
                     "Standard output could not be written; the run itself ended with "
                     "status %d\n",
                     status);
        std::fflush(err);
        return STATUS_FAIL;
    }
    return status;
}

#include "corvaner_run.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "corvaner_cli.h"
#include "corvaner_compare.h"
#include "corvaner_dir.h"
#include "corvaner_ppf.h"
#include "corvaner_scan.h"

namespace {

// Exit statuses of a run.
constexpr int STATUS_OK = 0;
constexpr int STATUS_NAME = 1;    // -n name not found exactly once
constexpr int STATUS_FAIL = 255;  // every failure (exit(-1) as the shell sees it)

// Prints the common halt text and returns the failure status.
int error_exit(run_state& run) {
    std::fputs("\nAn error occured whilst processing -- halt.\n", run.out);
    return STATUS_FAIL;
}

// The line saying where the run starts.
void print_start(run_state& run, const patch_window& window) {
    std::fprintf(run.out, "Offset %08lX lies on sector %u (remainder %u)\n",
                 static_cast<unsigned long>(window.offset), static_cast<unsigned>(window.first),
                 static_cast<unsigned>(window.remainder));
}

void print_size(run_state& run, const char* what, std::uint64_t size) {
    std::fprintf(run.out, "Size of %s file is %lu which takes %lu sectors (roughly)\n", what,
                 static_cast<unsigned long>(size),
                 static_cast<unsigned long>(size / SECTOR_SIZE + 1));
}

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
        const std::size_t got = pread_full(fd, std::span(chunk).first(n * SECTOR_SIZE), from * SECTOR_SIZE);
        if (got != n * SECTOR_SIZE) {
            if (errno != 0) report_errno(run, "\nFailed to read sector");
            return false;
        }
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

// The files a writing run works on.
struct patch_files {
    unique_fd& bin;
    int patch;
    ppf_file* ppf;  // null without -p
    bool write;     // false in a dry run
};

// Rebuilds consecutive raw sectors, the first of them sector `first`, writes
// them back (unless the run is dry), appends them to the PPF file and traces
// each with the bytes of patch data it took. On a failed write, the sectors
// before the failing one are written, traced and in the PPF file, and the
// failing one's trace line stops where the write failed. False after a
// failure has been reported.
bool commit_sectors(run_state& run, patch_files& f, std::span<std::uint8_t> sectors,
                    std::uint64_t first, std::span<const std::size_t> patch_bytes) {
    const std::size_t count = sectors.size() / SECTOR_SIZE;
    const std::size_t written = write_sectors(f.bin.get(), sectors, first, f.write);
    const int write_errno = errno;
    std::string trace;
    for (std::size_t i = 0; i < written; ++i) {
        append_index(trace, first + i);
        append_read_sector(trace);
        append_read_patch(trace, patch_bytes[i]);
        append_rebuilt(trace);
    }
    print_trace(run, trace);
    if (f.ppf && written != 0) {
        std::vector<std::uint8_t> chunks(written * PPF2_SECTOR_SIZE);
        for (std::size_t i = 0; i < written; ++i)
            ppf2_chunks(std::span(chunks).subspan(i * PPF2_SECTOR_SIZE).first<PPF2_SECTOR_SIZE>(),
                        sector_span(sectors.data() + i * SECTOR_SIZE, SECTOR_SIZE), first + i);
        if (!ppf2_write(run, *f.ppf, chunks)) return false;
    }
    if (written == count) return true;
    trace.clear();
    append_index(trace, first + written);
    append_read_sector(trace);
    append_read_patch(trace, patch_bytes[written]);
    append_rebuilt(trace);
    trace.pop_back();  // the line stops where the write failed
    print_trace(run, trace);
    errno = write_errno;
    report_errno(run, "\nFailed to write sector");
    return false;
}

// Signals held for the length of a patch run; the run's output is flushed
// before they are let through.
struct signal_guard {
    explicit signal_guard(std::FILE* out) : out_(out) {}
    signal_guard(const signal_guard&) = delete;
    signal_guard& operator=(const signal_guard&) = delete;
    ~signal_guard() { std::fflush(out_); }

    platform::held_signals held;
    std::FILE* out_;
};

// Lays the patch into the window's sectors, rebuilds them and writes them
// back, a batch at a time. The trace and the files end up as if each sector
// had been read, patched, rebuilt and written on its own: on a failure, every
// sector before the failing one is written and traced, the failing one's
// trace stops where it failed.
bool patch_sectors(run_state& run, patch_files& f, const patch_window& w,
                   const window_sectors& keep, const signal_guard& signals) {
    std::vector<std::uint8_t> batch(BATCH_SECTORS * SECTOR_SIZE);
    std::vector<std::uint8_t> data(BATCH_SECTORS * USER_DATA_SIZE);
    auto at = [&](std::size_t i) { return sector_span(batch.data() + i * SECTOR_SIZE, SECTOR_SIZE); };
    std::array<std::size_t, BATCH_SECTORS> asked{};
    // Room for patch data in a sector: the first starts at the remainder.
    auto room = [&](std::uint64_t sector) {
        return USER_DATA_SIZE - static_cast<std::size_t>(sector == w.first ? w.remainder : 0);
    };
    std::uint64_t remaining = w.size;
    for (std::uint64_t from = w.first; remaining != 0; from += BATCH_SECTORS) {
        if (signals.held.pending()) {
            std::fputs("\nInterrupted: the run stops after the sectors traced above\n",
                       run.out);
            return false;
        }
        const auto k = static_cast<std::size_t>(
            std::min<std::uint64_t>(BATCH_SECTORS, w.last + 1 - from));
        std::uint64_t want = remaining;
        std::size_t total = 0;
        for (std::size_t i = 0; i < k; ++i) {
            asked[i] = static_cast<std::size_t>(std::min<std::uint64_t>(room(from + i), want));
            want -= asked[i];
            total += asked[i];
        }
        std::size_t got = read_full(f.patch, std::span(data).first(total));
        // Sectors whose patch data all arrived.
        std::size_t complete = 0;
        for (std::size_t used = 0; complete < k && got >= asked[complete]; ++complete) {
            const std::uint64_t sector = from + complete;
            if (sector == w.first || sector == w.last) {
                const auto& whole = sector == w.first ? keep.first : keep.last;
                std::copy(whole.begin(), whole.end(), at(complete).begin());
            } else {
                std::copy_n(keep.heads.begin() + static_cast<std::ptrdiff_t>((sector - w.first) * USER_DATA),
                            USER_DATA, at(complete).begin());
            }
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(used), asked[complete],
                        at(complete).begin() + static_cast<std::ptrdiff_t>(USER_DATA_END - room(sector)));
            used += asked[complete];
            got -= asked[complete];
            remaining -= asked[complete];
        }
        if (!commit_sectors(run, f, std::span(batch).first(complete * SECTOR_SIZE), from,
                            std::span(asked).first(complete)))
            return false;
        if (complete != k) {
            std::string trace;
            append_index(trace, from + complete);
            append_read_sector(trace);
            print_trace(run, trace);
            report_short_data(run, room(from + complete));
            return false;
        }
    }
    return true;
}

int patch_run(run_state& run, patch_files& f, const patch_window& window,
              std::uint64_t image_size, const window_sectors& keep, const signal_guard& signals) {
    print_start(run, window);
    std::fputs("Patching .bin file\n", run.out);
    if (f.ppf && !ppf2_header(run, *f.ppf, f.bin.get(), image_size, run.settings.str_desc))
        return error_exit(run);
    if (!patch_sectors(run, f, window, keep, signals)) return error_exit(run);

    // Success is reported only once everything written is on disk.
    if (f.write && !platform::sync_file(f.bin.get())) {
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

// A data file of the run (the patch, or the original of a verify run), open
// and measured.
struct data_file {
    unique_fd fd;
    platform::file_info info;
};

// Opens a data file. Data files must be plain files whose size says how much
// they hold: a pipe, a device or a /proc file (size 0, content on reading)
// would be taken as empty. Returns the exit status when the run stops here.
std::optional<int> open_data(run_state& run, const std::string& path, const char* what,
                             const char* open_failed, data_file& file) {
    file.fd = platform::open_read(path);
    if (!file.fd.valid()) {
        report_errno(run, open_failed);
        return STATUS_FAIL;
    }
    if (!platform::query(file.fd.get(), file.info)) {
        report_errno(run, "Failed to stat file?");
        return error_exit(run);
    }
    std::array<std::uint8_t, 1> probe{};
    if (file.info.regular &&
        (file.info.size != 0 || pread_full(file.fd.get(), probe, 0) == 0))
        return std::nullopt;
    std::fprintf(run.out, "%s '%s' is not a regular file -- refused\n", what, path.c_str());
    return error_exit(run);
}

// Opens the image: read-write and locked when the run writes it, else
// read-only. Reports why not and returns an invalid descriptor.
unique_fd open_image(run_state& run) {
    const run_settings& s = run.settings;
    const bool writes = writes_image(s);
    unique_fd bin = writes ? platform::open_read_write(*s.file_bin) : platform::open_read(*s.file_bin);
    if (!bin.valid()) {
        report_errno(run, "Failed to open .bin file");
        return bin;
    }
    if (!writes) return bin;
    switch (platform::lock_exclusive(bin.get())) {
        case platform::lock_result::taken: return bin;
        case platform::lock_result::failed: report_errno(run, "Failed to lock .bin file"); break;
        case platform::lock_result::busy:
            std::fprintf(run.out, "Image '%s' is being written by another run -- refused\n",
                         s.file_bin->c_str());
            break;
    }
    return unique_fd();
}

// Everything a patch run refuses before it reads a sector: a patch that is
// the image, a window past the image's whole sectors, an image too large for
// a PPF 2.0 file, and files a file-size limit would cut short. Prints why
// and returns false.
bool refuse_patch(run_state& run, const patch_window& w, const platform::file_info& image,
                  const platform::file_info& patch) {
    const run_settings& s = run.settings;
    // Patching an image with itself would read back its own rewritten sectors.
    if (platform::same_file(image, patch)) {
        std::fprintf(run.out, "Patch file '%s' is the .bin file itself -- refused\n",
                     s.file_patch->c_str());
        return false;
    }
    const std::uint64_t image_sectors = image.size / SECTOR_SIZE;
    if (w.size != 0 && w.last >= image_sectors) {
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
    if (s.file_ppf && image.size > UINT32_MAX) {
        std::fprintf(run.out,
                     "Image of %llu bytes is beyond the 4 GiB a PPF 2.0 file can "
                     "describe -- refused\n",
                     static_cast<unsigned long long>(image.size));
        return false;
    }
    // A file-size limit would stop the writes part-way, inside a sector: the
    // run is refused before the first instead.
    if (const auto limit = platform::file_size_limit()) {
        std::uint64_t need = writes_image(s) && w.size != 0 ? (w.last + 1) * SECTOR_SIZE : 0;
        if (s.file_ppf)
            need = std::max<std::uint64_t>(need, PPF2_HEADER_SIZE + PPF2_SECTOR_SIZE * w.sectors());
        if (need > *limit) {
            std::fprintf(run.out,
                         "The run writes files of up to %llu bytes, past this process's "
                         "file-size limit of %llu bytes -- refused\n",
                         static_cast<unsigned long long>(need),
                         static_cast<unsigned long long>(*limit));
            return false;
        }
    }
    return true;
}

int list_mode(run_state& run, int bin) {
    const run_settings& s = run.settings;
    (void)listdir(run, bin, s.file_name.value_or(""), s.mode_recurse != 0);
    std::fputs("\n", run.out);
    return STATUS_OK;
}

int verify_mode(run_state& run, int bin, std::uint64_t offset) {
    data_file orig;
    if (const auto stop = open_data(run, *run.settings.file_orig, "Original file",
                                    "Failed to open orig file", orig))
        return *stop;
    print_size(run, "original", orig.info.size);
    const patch_window window = patch_window::at(offset, orig.info.size);
    print_start(run, window);
    std::fputs("Verifying original against .bin file\n", run.out);
    if (!verify_run(run, bin, orig.fd.get(), window)) return error_exit(run);
    std::fputs("Compare successful\n", run.out);
    return STATUS_OK;
}

int patch_mode(run_state& run, unique_fd& bin, data_file& patch, const patch_window& window,
               const platform::file_info& image) {
    const run_settings& s = run.settings;
    if (!refuse_patch(run, window, image, patch.info)) return error_exit(run);
    const signal_guard signals(run.out);
    window_sectors keep;
    if (!check_window(run, bin.get(), window, keep)) return error_exit(run);
    ppf_file ppf;
    if (s.file_ppf && !ppf.create_temporary(run, *s.file_ppf, {image, patch.info})) return STATUS_FAIL;
    patch_files files{bin, patch.fd.get(), s.file_ppf ? &ppf : nullptr, writes_image(s)};
    return patch_run(run, files, window, image.size, keep, signals);
}

// The verify and patch runs: both lay a data file into the image from an
// offset, given or found by name.
int data_mode(run_state& run, unique_fd& bin) {
    run_settings& s = run.settings;
    data_file patch;
    if (const auto stop = open_data(run, *s.file_patch, "Patch file", "Failed to open patch file", patch))
        return *stop;
    print_size(run, "patch", patch.info.size);

    if (s.offset == 0 && s.file_name) {
        const dir_lookup found = listdir(run, bin.get(), *s.file_name, s.mode_recurse != 0);
        std::fputs("\n", run.out);
        if (found.hits != 1) {
            std::fprintf(run.out, "Name '%s' was found %d times -- halt\n",
                         printable_name(*s.file_name).c_str(), found.hits);
            return STATUS_NAME;
        }
        s.offset = found.offset;
        const bool sized = s.mode == run_mode::patch;
        if (!lookup_fits(run, found, sized ? std::optional(patch.info.size) : std::nullopt))
            return error_exit(run);
    }

    // Refuse what cannot be done before anything is written.
    const patch_window window = patch_window::at(s.offset, patch.info.size);
    if (!window.starts_in_user_data()) {
        std::fprintf(run.out,
                     "Offset %08llX lies %llu bytes into sector %llu, past its %zu bytes "
                     "of user data -- refused\n",
                     static_cast<unsigned long long>(window.offset),
                     static_cast<unsigned long long>(window.remainder),
                     static_cast<unsigned long long>(window.first), USER_DATA_SIZE);
        return error_exit(run);
    }
    platform::file_info image;
    if (!platform::query(bin.get(), image)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    if (s.mode == run_mode::verify) return verify_mode(run, bin.get(), s.offset);
    return patch_mode(run, bin, patch, window, image);
}

int run_tool(run_state& run, int argc, char** argv) {
    std::FILE* out = run.out;
    print_banner(out);
    switch (arguments(run, argc, argv)) {
        case parse_result::ok: break;
        case parse_result::usage: print_usage(out); return STATUS_OK;
        case parse_result::refused_usage: print_usage(out); return STATUS_FAIL;
        case parse_result::refused: return STATUS_FAIL;
    }
    const run_settings& s = run.settings;
    if (s.mode == run_mode::check) return scan_run(run);  // opens its own files
    std::fprintf(out, "Patch File : %s\n", s.file_patch->c_str());
    std::fprintf(out, "Patch .bin : %s\n", s.file_bin->c_str());
    if (s.file_orig) std::fprintf(out, "Original   : %s\n", s.file_orig->c_str());
    if (s.file_ppf) std::fprintf(out, "PPF20 File : %s\n", s.file_ppf->c_str());
    std::fputs("\n", out);

    // A patch run that is not a dry run holds the image locked from before
    // its first read to its last write.
    unique_fd bin = open_image(run);
    if (!bin.valid()) return STATUS_FAIL;
    switch (s.mode) {
        case run_mode::list: return list_mode(run, bin.get());
        case run_mode::compare: {
            const unique_fd second = platform::open_read(*s.file_patch);
            if (!second.valid()) {
                report_errno(run, "Failed to open patch file");
                return STATUS_FAIL;
            }
            checkedc(run, bin.get(), second.get());
            std::fputs("\n", out);
            return STATUS_OK;
        }
        case run_mode::verify:
        case run_mode::patch: return data_mode(run, bin);
        case run_mode::check: break;  // run above
    }
    return STATUS_FAIL;
}

}  // namespace

void prepare_process() {
    platform::prepare_process();
    // The trace runs to a line per sector: into a file or pipe it goes in
    // large blocks. A terminal keeps its line-by-line output.
    if (!platform::stdout_is_terminal()) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
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

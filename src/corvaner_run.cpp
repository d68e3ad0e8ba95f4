#include "corvaner_run.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "corvaner_apply.h"
#include "corvaner_cli.h"
#include "corvaner_compare.h"
#include "corvaner_dir.h"
#include "corvaner_patch.h"
#include "corvaner_ppf.h"
#include "corvaner_scan.h"

namespace {

void print_size(run_state& run, const char* what, std::uint64_t size) {
    std::fprintf(run.out, "Size of %s file is %llu which takes %llu sectors (roughly)\n", what,
                 static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(size / SECTOR_SIZE + 1));
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

// Opens the image: read-write and locked against every other run when the
// run writes it; else read-only, with a shared lock that keeps writers out
// while it reads. Reports why not and returns an invalid descriptor.
unique_fd open_image(run_state& run) {
    const run_settings& s = run.settings;
    const bool writes = writes_image(s);
    unique_fd bin = writes ? platform::open_read_write(*s.file_bin) : platform::open_read(*s.file_bin);
    if (!bin.valid()) {
        report_errno(run, "Failed to open .bin file");
        return bin;
    }
    switch (platform::lock_file(bin.get(), writes ? platform::lock_kind::exclusive
                                                   : platform::lock_kind::shared)) {
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
    // A PPF file of no record would be refused by patchers, or run away in them.
    if (ppf_target(s) && w.size == 0 && !s.mode_replace) {
        std::fprintf(run.out, "PPF file '%s' would hold no record: the patch is empty -- refused\n",
                     ppf_target(s)->c_str());
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
        // PPF 3.0: a record head for every 255 bytes, and the bytes twice with undo data.
        const std::uint64_t record_bytes = SECTOR_SIZE * (s.mode_undo ? 2 : 1) + 10 * PPF3_RECORD_HEAD;
        if (s.file_ppf3)
            need = std::max<std::uint64_t>(need, PPF2_HEADER_SIZE + MAX_DIZ + 36 + record_bytes * w.sectors());
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

// Compares the image with a second one, which must be a regular file.
int compare_mode(run_state& run, int bin) {
    data_file second;
    if (const auto stop = open_data(run, *run.settings.file_patch, "Second image",
                                    "Failed to open patch file", second))
        return *stop;
    checkedc(run, bin, second.fd.get());
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
               const platform::file_info& image, const replace_plan* replace) {
    if (!refuse_patch(run, window, image, patch.info)) return error_exit(run);
    // From the first read of the window on, a signal stops the run only
    // between batches of sectors.
    const signal_guard signals(run.out);
    patch_files files{bin, image, patch.fd.get(), patch.info, replace};
    return patch_run(run, files, window, signals);
}

// A patch by name that is not a replacement leaves the recorded size as it
// is: says so when the sizes differ.
void note_recorded_size(run_state& run, const dir_lookup& found, std::uint64_t patch_size) {
    if (found.record.data_length == patch_size) return;
    std::fflush(run.out);
    std::fprintf(run.err,
                 "Note: the patch has %llu bytes, '%s' records %llu; -s would update the "
                 "recorded size\n",
                 static_cast<unsigned long long>(patch_size), printable_name(found.record.name).c_str(),
                 static_cast<unsigned long long>(found.record.data_length));
    std::fflush(run.err);
}

// The verify and patch runs: both lay a data file into the image from an
// offset, given or found by name.
int data_mode(run_state& run, unique_fd& bin) {
    run_settings& s = run.settings;
    replace_plan replace;
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
        // A replacement may grow the file: plan_replacement checks its room.
        const bool sized = s.mode == run_mode::patch && !s.mode_replace;
        if (!lookup_fits(run, found, sized ? std::optional(patch.info.size) : std::nullopt))
            return error_exit(run);
        if (s.mode_replace && !plan_replacement(run, bin.get(), found, patch.info.size, replace))
            return error_exit(run);
        if (sized) note_recorded_size(run, found, patch.info.size);
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
    return patch_mode(run, bin, patch, window, image, s.mode_replace ? &replace : nullptr);
}

// Applies the PPF file given first to the image, after reading it whole and
// checking every record and the image it is for.
int apply_mode(run_state& run, unique_fd& bin) {
    const run_settings& s = run.settings;
    data_file ppf;
    if (const auto stop = open_data(run, *s.file_patch, "PPF file", "Failed to open patch file", ppf))
        return *stop;
    platform::file_info image;
    if (!platform::query(bin.get(), image)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    auto refuse = [&](const std::string& why) {
        std::fprintf(run.out, "PPF file '%s' %s -- refused\n", s.file_patch->c_str(), why.c_str());
        return error_exit(run);
    };
    if (platform::same_file(image, ppf.info)) return refuse("is the .bin file itself");
    const platform::bulk_buffer whole(static_cast<std::size_t>(ppf.info.size));
    if (!whole.valid()) return refuse("does not fit in memory");
    const std::span<const std::uint8_t> bytes = whole.bytes();
    ppf_patch patch;
    std::string why;
    if (!load_ppf(ppf.fd.get(), whole.bytes(), image.size, patch, why)) {
        report_errno(run, "Failed to read PPF file");
        return error_exit(run);
    }
    if (why.empty()) why = check_image(patch, bytes, bin.get(), image.size, s.mode_undo != 0);
    if (!why.empty()) return refuse(why);
    std::fprintf(run.out, "PPF %d.0 file \"%s\": %llu records, %llu bytes%s\n", patch.version,
                 patch.description.c_str(), static_cast<unsigned long long>(patch.records),
                 static_cast<unsigned long long>(patch.bytes),
                 s.mode_undo ? ", the image holds every one" : patch.block_check ? ", block check passed" : "");
    if (s.mode_nowrite) {
        std::fputs("Dry run: nothing written\nAll done.\n", run.out);
        return STATUS_OK;
    }
    const signal_guard signals(run.out);
    if (!apply_records(run, patch, bytes, bin.get(), s.mode_undo != 0, signals.held)) return error_exit(run);
    if (!platform::sync_file(bin.get())) {
        report_errno(run, "Failed to sync .bin file");
        return error_exit(run);
    }
    if (!bin.close()) {
        report_errno(run, "Failed to close .bin file");
        return error_exit(run);
    }
    std::fprintf(run.out, "%s %llu records (%llu bytes)\nAll done.\n",
                 s.mode_undo ? "Restored the old bytes of" : "Applied",
                 static_cast<unsigned long long>(patch.records),
                 static_cast<unsigned long long>(patch.bytes));
    return STATUS_OK;
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
    const run_settings& s = run.settings;
    if (s.mode == run_mode::check) return scan_run(run);  // opens its own files
    std::fprintf(out, "Patch File : %s\n", s.file_patch->c_str());
    std::fprintf(out, "Patch .bin : %s\n", s.file_bin->c_str());
    if (s.file_orig) std::fprintf(out, "Original   : %s\n", s.file_orig->c_str());
    if (s.file_ppf) std::fprintf(out, "PPF20 File : %s\n", s.file_ppf->c_str());
    if (s.file_ppf3) std::fprintf(out, "PPF30 File : %s\n", s.file_ppf3->c_str());
    std::fputs("\n", out);

    // A patch run that is not a dry run holds the image locked from before
    // its first read to its last write.
    unique_fd bin = open_image(run);
    if (!bin.valid()) return STATUS_FAIL;
    switch (s.mode) {
        case run_mode::list: return list_mode(run, bin.get());
        case run_mode::compare: return compare_mode(run, bin.get());
        case run_mode::verify:
        case run_mode::patch: return data_mode(run, bin);
        case run_mode::apply: return apply_mode(run, bin);
        case run_mode::check: break;  // run above
    }
    return STATUS_FAIL;
}

}  // namespace

bool prepare_process() {
    if (!platform::prepare_process()) return false;
    // The trace runs to a line per sector: into a file or pipe it goes in
    // large blocks. A terminal keeps its line-by-line output.
    if (!platform::stdout_is_terminal()) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    return true;
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

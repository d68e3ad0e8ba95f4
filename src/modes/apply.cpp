// The apply run (-a): a PPF file (1.0, 2.0 or 3.0) read and checked whole,
// against the image too, before its records are written.
#include <cerrno>

#include "modes/modes.h"
#include "ops/ppf_apply.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/settings.h"

int apply_mode(run_state& run, opened_image& opened) {
    unique_fd& bin = opened.fd;
    const run_settings& s = run.settings;
    data_file ppf;
    if (const auto stop = open_data(run, *s.file_patch, "PPF file", "Failed to open patch file", ppf)) return *stop;
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
    tprintf(trace_stream(run), "PPF %d.0 file \"%s\": %llu records, %llu bytes%s\n", patch.version,
                 patch.description.c_str(), static_cast<unsigned long long>(patch.records),
                 static_cast<unsigned long long>(patch.bytes),
                 s.mode_undo ? ", the image holds every one" : patch.block_check ? ", block check passed" : "");
    const std::uint64_t grows = patch.grown_size - image.size;
    if (grows != 0)
        std::fprintf(run.out, "The image %s by %llu bytes to %llu\n", s.mode_nowrite ? "would grow" : "grows",
                     static_cast<unsigned long long>(grows), static_cast<unsigned long long>(patch.grown_size));
    if (s.mode_nowrite) {
        std::fputs("Dry run: nothing written\nAll done.\n", run.out);
        return STATUS_OK;
    }
    if (!fits_size_limit(run, patch.grown_size)) return error_exit(run);
    // Room for the growth first: records that lengthen the image (appended
    // sectors, say) must not fail once those that point at them are written.
    if (grows != 0 && !platform::reserve(bin.get(), image.size, grows)) {
        std::fprintf(run.out, "No room on disk for the %llu bytes the image grows by: %s -- refused\n",
                     static_cast<unsigned long long>(grows), platform::error_text(errno));
        return error_exit(run);
    }
    const run_signals signals(run.out, true);
    if (!apply_records(run, patch, bytes, bin.get(), s.mode_undo != 0, *signals.held())) return error_exit(run);
    if (!finish_writes(run, {&bin}, true)) return error_exit(run);
    std::fprintf(run.out, "%s %llu records (%llu bytes)\nAll done.\n",
                 s.mode_undo ? "Restored the old bytes of" : "Applied",
                 static_cast<unsigned long long>(patch.records), static_cast<unsigned long long>(patch.bytes));
    return STATUS_OK;
}

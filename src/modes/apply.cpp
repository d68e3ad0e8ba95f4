// The apply run (-a): a PPF file (1.0, 2.0 or 3.0) read and checked whole,
// against the image too, before its records are written: into the image, or
// into a copy of it written anew when an output file follows the image.
#include <cerrno>

#include "io/new_file.h"
#include "io/progress.h"
#include "modes/modes.h"
#include "ops/ppf_apply.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/settings.h"

namespace {

using ull = unsigned long long;

// Copies the image whole into the new file's temporary. False after
// reporting a failure or a stop.
bool copy_image(run_output& run, int from, std::uint64_t size, int to, const run_signals& signals) {
    std::vector<std::uint8_t> buffer(1 << 20);
    progress_meter meter(run, size);
    for (std::uint64_t at = 0; at < size;) {
        if (signals.interrupted(run, "before the output file was written: the image is as it was")) return false;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
        if (pread_full(from, std::span(buffer).first(n), at) != n) {
            report_errno(run, "Failed to read image");
            return false;
        }
        if (pwrite_full(to, std::span(buffer).first(n), at) != n) {
            report_errno(run, "Failed to write output file");
            return false;
        }
        at += n;
        meter.update(at);
    }
    return true;
}

// The output file given after the image: never the image, the PPF file or
// another input, nor one that is there already unless --force.
bool admit_output_file(run_state& run, new_file& out, const opened_image& opened,
                       const platform::file_info& image, const platform::file_info& ppf) {
    const std::string& path = *run.settings.file_output;
    std::vector<kept_file> kept = {{image, "is the image"}, {ppf, "is the PPF file"}};
    for (const platform::file_info& in : opened.sheet_files) kept.push_back({in, "is an input of this run"});
    for (std::FILE* stream : {run.out, run.err})
        if (platform::file_info o; platform::query(stream, o)) kept.push_back({o, "is where this run's own output goes"});
    if (!out.admit(run, path, kept)) return false;
    if (out.replaces() && !run.settings.mode_force) {
        std::fprintf(run.out, "Output file '%s' is there already (--force replaces it) -- refused\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int apply_mode(run_state& run, opened_image& opened) {
    unique_fd& bin = opened.fd;
    const run_settings& s = run.settings;
    const bool undo = s.mode_undo != 0;
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
    ppf_state state;
    if (why.empty()) why = check_image(patch, bytes, bin.get(), image.size, undo, state);
    if (!why.empty()) return refuse(why);
    new_file out("Output file");
    if (s.file_output && !admit_output_file(run, out, opened, image, ppf.info)) return error_exit(run);
    const std::uint64_t total = patch.records;
    const bool resumed = undo ? state.applied != total : state.applied != 0;
    tprintf(trace_stream(run), "PPF %d.0 file \"%s\": %llu records, %llu bytes%s\n", patch.version,
            patch.description.c_str(), static_cast<ull>(total), static_cast<ull>(patch.bytes),
            undo ? (state.applied == total ? ", the image holds every one" : "")
                 : patch.block_check ? ", block check passed" : "");
    if (const std::string diz = ppf_diz_text(patch, bytes); !diz.empty())
        tprintf(trace_stream(run), "file_id.diz:\n%s", diz.c_str());
    // Where the image stands: every record in place, or some of them.
    const std::uint64_t cut_to = state.size_before.value_or(image.size);
    const bool done_already = undo ? state.applied == 0 : state.applied == total;
    if (done_already && total != 0 && cut_to == image.size) {
        std::fprintf(run.out, "%s: nothing written\nAll done.\n",
                     undo ? "Every record already holds its old bytes: the patch is undone already"
                          : "Every record already holds its new bytes: the patch is applied already");
        return STATUS_OK;
    }
    if (resumed && !done_already)
        std::fprintf(run.out, undo ? "Resuming: the old bytes of records %llu..%llu already restored\n"
                                   : "Resuming: records %llu..%llu already applied\n",
                     static_cast<ull>(undo ? state.applied + 1 : 1), static_cast<ull>(undo ? total : state.applied));
    if (state.size_unproven)
        std::fputs("The PPF file marks the image's length before it grew, but its records do not bear it out: the "
                   "image keeps its length\n",
                   run.out);
    const std::uint64_t grown = undo ? image.size : patch.grown_size;
    const std::uint64_t size_after = undo ? cut_to : grown;
    const char* const would = s.mode_nowrite ? "would " : "";
    if (size_after > image.size)
        std::fprintf(run.out, "The image %sgrow%s by %llu bytes to %llu\n", would, *would ? "" : "s",
                     static_cast<ull>(size_after - image.size), static_cast<ull>(size_after));
    if (size_after < image.size)
        std::fprintf(run.out, "The image %sshrink%s by %llu bytes back to %llu, its length before the patch\n",
                     would, *would ? "" : "s", static_cast<ull>(image.size - size_after), static_cast<ull>(size_after));
    if (s.mode_nowrite) {
        std::fputs("Dry run: nothing written\nAll done.\n", run.out);
        return STATUS_OK;
    }
    if (!fits_size_limit(run, std::max(grown, image.size))) return error_exit(run);
    if (run.dropped && !s.file_output)
        platform::wait_for_enter(run.out, "Press Enter to patch the image in place (close this window to leave it as it is).\n");
    const run_signals signals(run.out, true);
    int target = bin.get();
    if (s.file_output) {
        if (!out.create(run) || !copy_image(run, bin.get(), image.size, out.fd(), signals)) return error_exit(run);
        target = out.fd();
    }
    // Room for the growth first: records that lengthen the image (appended
    // sectors, say) must not fail once those that point at them are written.
    if (grown > image.size && !platform::reserve(target, image.size, grown - image.size)) {
        std::fprintf(run.out, "No room on disk for the %llu bytes the image grows by: %s -- refused\n",
                     static_cast<ull>(grown - image.size), platform::error_text(errno));
        return error_exit(run);
    }
    const std::uint64_t written = bytes_to_write(patch, bytes, undo, state);
    if (!apply_records(run, patch, bytes, target, undo, state, *signals.held())) return error_exit(run);
    if (size_after < image.size && !platform::truncate(target, size_after)) {
        report_errno(run, s.file_output ? "Failed to cut output file" : "Failed to cut .bin file");
        return error_exit(run);
    }
    if (s.file_output) {
        if (!out.commit(run) || !finish_writes(run, {&bin}, false)) return error_exit(run);
    } else if (!finish_writes(run, {&bin}, true)) {
        return error_exit(run);
    }
    const std::uint64_t count = undo ? state.applied : total - state.applied;
    if (count == 0) {
    } else if (!resumed)
        std::fprintf(run.out, "%s %llu records (%llu bytes)\n", undo ? "Restored the old bytes of" : "Applied",
                     static_cast<ull>(count), static_cast<ull>(written));
    else
        std::fprintf(run.out, "%s records %llu..%llu (%llu bytes)\n", undo ? "Restored the old bytes of" : "Applied",
                     static_cast<ull>(undo ? 1 : state.applied + 1), static_cast<ull>(undo ? state.applied : total),
                     static_cast<ull>(written));
    if (s.file_output)
        std::fprintf(run.out, "Wrote the %s image to '%s'\n", undo ? "restored" : "patched", s.file_output->c_str());
    std::fputs("All done.\n", run.out);
    return STATUS_OK;
}

// The apply run (-a): a PPF file (1.0, 2.0 or 3.0) read and checked whole,
// against the image too, before its records are written: into the image, or
// into a copy of it written anew when an output file follows the image.
#include <algorithm>
#include <array>
#include <cerrno>
#include <optional>

#include "io/new_file.h"
#include "format/vcdiff_reader.h"
#include "io/progress.h"
#include "modes/modes.h"
#include "ops/doctor.h"
#include "ops/ppf_apply.h"
#include "ops/vcdiff_apply.h"
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

// A VCDIFF (xdelta) file, told by its magic whatever its name (of any
// version: the reader refuses one it cannot read, as a VCDIFF file).
bool is_vcdiff(int fd) {
    std::array<std::uint8_t, 3> magic{};
    return pread_full(fd, magic, 0) == magic.size() && std::equal(magic.begin(), magic.end(), VCDIFF_MAGIC.begin());
}

// After a patch did not fit: what the image is, and (for --fix-dump) the
// mending that makes it the patch's dump, if one does.
std::optional<dump_mending> diagnose(run_state& run, const opened_image& opened, std::uint64_t size,
                                     const dump_expected& expected) {
    std::optional<dump_mending> fits;
    (void)diagnose_dump(run, opened.fd.get(), size, opened.path, expected, sheet_of_dump(opened), fits);
    return fits;
}

// The apply run of a VCDIFF file: the patched image is built into a new
// file (the output file, or a temporary that replaces the image), window by
// window, each checked before it is written; the image itself is only read.
int apply_vcdiff_file(run_state& run, opened_image& opened, const platform::file_info& image, data_file& patch) {
    const run_settings& s = run.settings;
    const std::string& name = *s.file_patch;
    auto refuse = [&](const std::string& why) {
        std::fprintf(run.out, "VCDIFF file '%s' %s -- refused\n", name.c_str(), why.c_str());
        return error_exit(run);
    };
    if (s.mode_undo) return refuse("holds no undo data: --undo takes a PPF 3.0 file");
    vcdiff_reader reader;
    if (const std::string why = reader.open(patch.fd.get(), patch.info.size); !why.empty()) {
        if (!reader.read_failed()) return refuse(why);
        report_errno(run, "Failed to read VCDIFF file");
        return error_exit(run);
    }
    tprintf(trace_stream(run), "VCDIFF file: %llu bytes\n", static_cast<ull>(patch.info.size));
    // The dump the file was made from, where it names it: checked whole
    // before anything is written.
    sector_mend mend;
    if (const auto source = source_named(reader.application_header())) {
        std::uint32_t crc = 0;
        if (source->size == image.size && !image_crc32(run, opened.fd.get(), image.size, nullptr, crc))
            return error_exit(run);
        if (source->size != image.size || crc != source->crc32) {
            std::fprintf(run.out,
                         "VCDIFF file '%s' is for an image of %llu bytes with CRC-32 %08X: this one is not it%s\n",
                         name.c_str(), static_cast<ull>(source->size), static_cast<unsigned>(source->crc32),
                         s.mode_fix_dump ? "" : " -- refused");
            const auto fits = diagnose(run, opened, image.size, {source->size, source->crc32});
            if (!s.mode_fix_dump || !fits) {
                if (s.mode_fix_dump) std::fputs("--fix-dump finds no way to make it the patch's dump -- refused\n", run.out);
                return error_exit(run);
            }
            std::fputs("Applying the patch to the image as the patch's dump had it (--fix-dump)\n", run.out);
            mend = mend_of(*fits);
        } else {
            tprintf(trace_stream(run), "The image is the one the patch was made from (%llu bytes, CRC-32 %08X)\n",
                    static_cast<ull>(image.size), static_cast<unsigned>(crc));
        }
    }
    new_file out(s.file_output ? "Output file" : ".bin file");
    if (s.file_output ? !admit_output_file(run, out, opened, image, patch.info)
                      : !out.admit(run, opened.path, {{patch.info, "is the VCDIFF file"}}))
        return error_exit(run);
    if (run.dropped && !s.file_output && !s.mode_nowrite)
        platform::wait_for_enter(run.out, "Press Enter to patch the image (close this window to leave it as it is).\n");
    const run_signals signals(run.out, true);
    if (!s.mode_nowrite && !out.create(run)) return error_exit(run);
    vcdiff_outcome result;
    if (!apply_vcdiff(run, reader, opened.fd.get(), image.size, s.mode_nowrite ? -1 : out.fd(), mend,
                      *signals.held(), result)) {
        if (result.why.empty()) return error_exit(run);
        std::fprintf(run.out, "VCDIFF file '%s' %s -- refused\n", name.c_str(), result.why.c_str());
        // A window whose target is not what the file says: the image is not
        // the patch's dump, or the file is damaged.
        if (result.why.find("checksum") != std::string::npos) (void)diagnose(run, opened, image.size, {});
        return error_exit(run);
    }
    std::fprintf(run.out, "Applied %llu windows (%llu bytes), %llu checked by their checksum\n",
                 static_cast<ull>(result.windows), static_cast<ull>(result.bytes), static_cast<ull>(result.checked));
    if (s.mode_nowrite) {
        std::fputs("Dry run: nothing written\nAll done.\n", run.out);
        return STATUS_OK;
    }
    if (!(s.file_output ? out.commit(run) : out.commit(run, opened.fd))) return error_exit(run);
    if (s.file_output) std::fprintf(run.out, "Wrote the patched image to '%s'\n", s.file_output->c_str());
    std::fputs("All done.\n", run.out);
    return STATUS_OK;
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
    if (is_vcdiff(ppf.fd.get())) return apply_vcdiff_file(run, opened, image, ppf);
    if (s.mode_fix_dump) return refuse("names no dump to mend the image to: --fix-dump takes an xdelta file made by corvane");
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
    if (!why.empty()) {
        std::fprintf(run.out, "PPF file '%s' %s -- refused\n", s.file_patch->c_str(), why.c_str());
        // An image the file was not made for: say what it is.
        if (why.starts_with("is for an image of") || why.starts_with("is for another image"))
            (void)diagnose(run, opened, image.size,
                           {patch.has_size ? std::optional<std::uint64_t>(patch.image_size) : std::nullopt, {}});
        return error_exit(run);
    }
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
    // In place there is nothing to write; an output file still gets the
    // image, which is what the patch makes.
    if (done_already && total != 0 && cut_to == image.size) {
        std::fprintf(run.out, "%s%s\n",
                     undo ? "Every record already holds its old bytes: the patch is already undone"
                          : "Every record already holds its new bytes: the patch is already applied",
                     s.file_output ? "" : ": nothing written\nAll done.");
        if (!s.file_output) return STATUS_OK;
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
    if (count != 0 && !resumed)
        std::fprintf(run.out, "%s %llu records (%llu bytes)\n", undo ? "Restored the old bytes of" : "Applied",
                     static_cast<ull>(count), static_cast<ull>(written));
    else if (count != 0)
        std::fprintf(run.out, "%s records %llu..%llu (%llu bytes)\n", undo ? "Restored the old bytes of" : "Applied",
                     static_cast<ull>(undo ? 1 : state.applied + 1), static_cast<ull>(undo ? state.applied : total),
                     static_cast<ull>(written));
    if (s.file_output)
        std::fprintf(run.out, "Wrote the %s image to '%s'\n", undo ? "restored" : "patched", s.file_output->c_str());
    std::fputs("All done.\n", run.out);
    return STATUS_OK;
}

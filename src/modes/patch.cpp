// The patch run: lays a patch file into the image's sectors from an offset
// (given, or a file's found by name; with -s the file is replaced, its
// records follow), rebuilds them and writes them back, with its PPF file
// made first. Into a Form 2 or interleaved file found by name, the input's
// RIFF-CDXA or 2336-byte sectors replace the file's one for one, each in the
// form its subheader gives; with -s their count may change and the file's
// records take a size of that many 2048-byte sectors. Both are sources of
// the one writer.
#include <algorithm>
#include <string>
#include <vector>

#include "modes/modes.h"
#include "run/image.h"
#include "run/form2_data.h"
#include "run/patch_session.h"
#include "run/writer.h"
#include "modes/sources.h"

namespace {


// The run into a Form 2 or interleaved file: as many sectors as the file
// takes (or, with -s, the file's records take the new count).
int patch_form2(run_state& run, opened_image& image, data_run& d, const xa_data& xa) {
    unique_fd& bin = image.fd;
    const run_settings& s = run.settings;
    // A move carries Form 1 sectors alone.
    if (s.mode_relocate) {
        std::fprintf(run.out, "Option --relocate moves files of Form 1 sectors alone; '%s' holds Form 2 sectors -- refused\n",
                     printable_name(d.found->record.name).c_str());
        return error_exit(run);
    }
    replace_plan plan;
    if (s.mode_replace && !plan_replacement(run, bin.get(), *d.found, xa.input.sectors * USER_DATA_SIZE, plan))
        return error_exit(run);
    if (!platform::query(bin.get(), d.image)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    if (!s.mode_replace && xa.input.sectors != xa.file.sectors) {
        std::fprintf(run.out, "Patch holds %llu sectors, '%s' takes %llu: give as many, or -s -- refused\n",
                     static_cast<unsigned long long>(xa.input.sectors), printable_name(d.found->record.name).c_str(),
                     static_cast<unsigned long long>(xa.file.sectors));
        return error_exit(run);
    }
    form2_sectors source(d, xa);
    const write_job job{bin, image.writes, d.image,
                        patch_window::at(d.offset, xa.input.sectors * USER_DATA_SIZE),
                        s.mode_replace ? &plan : nullptr, false, image.sheet_files};
    return write_image(run, job, source);
}

// A patch by name that is not a replacement leaves the recorded size as it
// is: says so when the sizes differ.
void note_recorded_size(run_output& run, const dir_lookup& found, std::uint64_t patch_size) {
    if (found.record.data_length == patch_size) return;
    std::fflush(run.out);
    std::fprintf(run.err,
                 "Note: the patch has %llu bytes, '%s' records %llu; -s would update the "
                 "recorded size\n",
                 static_cast<unsigned long long>(patch_size), printable_name(found.record.name).c_str(),
                 static_cast<unsigned long long>(found.record.data_length));
    std::fflush(run.err);
}

}  // namespace

int patch_mode(run_state& run, opened_image& image) {
    unique_fd& bin = image.fd;
    const run_settings& s = run.settings;
    data_run d;
    if (const auto stop = open_patch_data(run, bin.get(), d)) return *stop;
    std::optional<xa_data> xa;
    if (const auto stop = open_xa_data(run, bin.get(), d, d.patch, "Patch", xa)) return *stop;
    if (xa) return patch_form2(run, image, d, *xa);
    replace_plan replace;
    if (d.found) {
        // A replacement may grow the file: plan_replacement checks its room.
        const bool sized = !s.mode_replace;
        if (!lookup_fits(run, *d.found, sized ? std::optional(d.patch.info.size) : std::nullopt))
            return error_exit(run);
        if (s.mode_replace &&
            !plan_replacement(run, bin.get(), *d.found, d.patch.info.size, replace, s.mode_relocate != 0,
                             image.track_after))
            return error_exit(run);
        // A moved file is laid where it goes.
        if (replace.moved) d.offset = replace.moved->new_first * SECTOR_SIZE;
        if (sized) note_recorded_size(run, *d.found, d.patch.info.size);
    }
    if (const auto stop = place_window(run, bin.get(), d)) return *stop;
    const replace_plan* plan = s.mode_replace ? &replace : nullptr;
    form1_patch source(d, plan);
    const write_job job{bin, image.writes, d.image, d.window, plan, s.file_lba_list.has_value(), image.sheet_files};
    return write_image(run, job, source);
}

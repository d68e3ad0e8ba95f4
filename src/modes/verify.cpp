// The verify run (-v): does the image hold the original file where the
// patch would go? Writes nothing.
#include "modes/modes.h"
#include "ops/compare.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/form2_data.h"
#include "run/settings.h"

namespace {

// The original of a Form 2 or interleaved file, as RIFF-CDXA or 2336-byte
// sectors: as many as the file takes.
int verify_xa(run_state& run, int bin, const data_run& d, const data_file& orig, const xa_data& xa) {
    if (xa.input.sectors != xa.file.sectors) {
        std::fprintf(run.out, "Original holds %llu sectors, '%s' takes %llu -- refused\n",
                     static_cast<unsigned long long>(xa.input.sectors), printable_name(d.found->record.name).c_str(),
                     static_cast<unsigned long long>(xa.file.sectors));
        return error_exit(run);
    }
    print_start(run, patch_window::at(d.offset, xa.input.sectors * USER_DATA_SIZE));
    tprintf(trace_stream(run), "%s", "Verifying original against .bin file\n");
    if (!verify_xa_run(run, bin, orig.fd.get(), d.found->record.extent, xa.input, xa.file.zero_edc))
        return error_exit(run);
    std::fputs("Compare successful\n", run.out);
    return STATUS_OK;
}

}  // namespace

int verify_mode(run_state& run, opened_image& image) {
    const unique_fd& bin = image.fd;
    data_run d;
    if (const auto stop = open_patch_data(run, bin.get(), d)) return *stop;
    if (d.found && !lookup_fits(run, *d.found, std::nullopt)) return error_exit(run);
    if (const auto stop = place_window(run, bin.get(), d)) return *stop;
    data_file orig;
    if (const auto stop = open_data(run, *run.settings.file_orig, "Original file", "Failed to open orig file", orig))
        return *stop;
    print_size(run, "original", orig.info.size);
    std::optional<xa_data> xa;
    if (const auto stop = open_xa_data(run, bin.get(), d, orig, "Original", xa)) return *stop;
    if (xa) return verify_xa(run, bin.get(), d, orig, *xa);
    const patch_window window = patch_window::at(d.offset, orig.info.size);
    print_start(run, window);
    tprintf(trace_stream(run), "Verifying original against .bin file\n");
    if (!verify_run(run, bin.get(), orig.fd.get(), window)) return error_exit(run);
    std::fputs("Compare successful\n", run.out);
    return STATUS_OK;
}

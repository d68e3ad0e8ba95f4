// The verify run (-v): does the image hold the original file where the
// patch would go? Writes nothing.
#include "corvaner_compare.h"
#include "corvaner_kit.h"

int verify_mode(run_state& run, unique_fd& bin) {
    data_run d;
    if (const auto stop = open_patch_data(run, bin.get(), d)) return *stop;
    if (d.found && !lookup_fits(run, *d.found, std::nullopt)) return error_exit(run);
    if (const auto stop = place_window(run, bin.get(), d)) return *stop;
    data_file orig;
    if (const auto stop = open_data(run, *run.settings.file_orig, "Original file", "Failed to open orig file", orig))
        return *stop;
    print_size(run, "original", orig.info.size);
    const patch_window window = patch_window::at(d.offset, orig.info.size);
    print_start(run, window);
    tprintf(trace_stream(run), "Verifying original against .bin file\n");
    if (!verify_run(run, bin.get(), orig.fd.get(), window)) return error_exit(run);
    std::fputs("Compare successful\n", run.out);
    return STATUS_OK;
}

// The comparison of two images (-e), raw, sector by sector.
#include "ops/compare.h"
#include "run/kit.h"

int compare_mode(run_state& run, unique_fd& bin) {
    // The second image may be a cue sheet too.
    std::string path;
    if (const auto stop = image_of(run, *run.settings.file_patch, data_track::any, path)) return *stop;
    data_file second;
    if (const auto stop = open_data(run, path, "Second image", "Failed to open patch file", second)) return *stop;
    if (refuse_iso_image(run, second.fd.get(), path)) return STATUS_FAIL;
    checkedc(run, bin.get(), second.fd.get());
    std::fputs("\n", run.out);
    return STATUS_OK;
}

// The comparison of two images (-e), raw, sector by sector.
#include "modes/modes.h"
#include "ops/compare.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/settings.h"

int compare_mode(run_state& run, opened_image& image) {
    // The second image may be a cue sheet too.
    opened_image other;
    if (const auto stop = image_of(run, *run.settings.file_patch, data_track::any, other)) return *stop;
    data_file second;
    if (const auto stop = open_data(run, other.path, "Second image", "Failed to open patch file", second)) return *stop;
    if (refuse_iso_image(run, second.fd.get(), other.path)) return STATUS_FAIL;
    checkedc(run, image.fd.get(), second.fd.get());
    std::fputs("\n", run.out);
    return STATUS_OK;
}

// The listing (-l): the image's directory, with -r its whole tree.
#include "format/iso9660.h"
#include "io/output.h"
#include "modes/modes.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/settings.h"

int list_mode(run_state& run, opened_image& image) {
    const run_settings& s = run.settings;
    // The listing is what the mode is for: a quiet run prints its tables.
    const dir_lookup listed =
        listdir(run, image.fd.get(), s.file_name.value_or(""), s.mode_recurse != 0, listing_use::result);
    if (listed.no_volume) return STATUS_NO_VOLUME;
    tprintf(trace_stream(run), "%s", "\n");
    return STATUS_OK;
}

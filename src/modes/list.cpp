// The listing (-l): the image's directory, with -r its whole tree.
#include "format/iso9660.h"
#include "io/output.h"
#include "modes/modes.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/settings.h"

int list_mode(run_state& run, opened_image& image) {
    const run_settings& s = run.settings;
    // The listing is what the mode is for: a quiet run prints it too.
    run_output listing = run;
    listing.quiet = false;
    (void)listdir(listing, image.fd.get(), s.file_name.value_or(""), s.mode_recurse != 0);
    std::fputs("\n", run.out);
    return STATUS_OK;
}

// The listing (-l): the image's directory, with -r its whole tree.
#include "run/kit.h"

int list_mode(run_state& run, unique_fd& bin) {
    const run_settings& s = run.settings;
    // The listing is what the mode is for: a quiet run prints it too.
    run_output listing = run;
    listing.quiet = false;
    (void)listdir(listing, bin.get(), s.file_name.value_or(""), s.mode_recurse != 0);
    std::fputs("\n", run.out);
    return STATUS_OK;
}

// The listing (-l): the image's directory, with -r its whole tree.
#include "corvaner_kit.h"

int list_mode(run_state& run, unique_fd& bin) {
    const run_settings& s = run.settings;
    (void)listdir(run, bin.get(), s.file_name.value_or(""), s.mode_recurse != 0);
    std::fputs("\n", run.out);
    return STATUS_OK;
}

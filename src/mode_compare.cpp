// The comparison of two images (-e), raw, sector by sector.
#include "corvaner_compare.h"
#include "corvaner_kit.h"

int compare_mode(run_state& run, unique_fd& bin) {
    data_file second;
    if (const auto stop = open_data(run, *run.settings.file_patch, "Second image", "Failed to open patch file", second))
        return *stop;
    checkedc(run, bin.get(), second.fd.get());
    std::fputs("\n", run.out);
    return STATUS_OK;
}

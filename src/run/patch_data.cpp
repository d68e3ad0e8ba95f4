#include "run/patch_data.h"

#include "run/image.h"

void print_start(run_output& run, const patch_window& window) {
    tprintf(trace_stream(run), "Offset %08llX lies on sector %llu (remainder %llu)\n",
                 static_cast<unsigned long long>(window.offset),
                 static_cast<unsigned long long>(window.first),
                 static_cast<unsigned long long>(window.remainder));
}

void print_size(run_output& run, const char* what, std::uint64_t size) {
    tprintf(trace_stream(run), "Size of %s file is %llu which takes %llu sectors (roughly)\n", what,
                 static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(size / SECTOR_SIZE + 1));
}


std::optional<int> open_patch_data(run_state& run, int fd_bin, data_run& d) {
    const run_settings& s = run.settings;
    if (const auto stop = open_data(run, *s.file_patch, "Patch file", "Failed to open patch file", d.patch))
        return stop;
    print_size(run, "patch", d.patch.info.size);
    d.offset = s.offset;
    if (s.offset != 0 || !s.file_name) return std::nullopt;
    d.found = find_named(run, fd_bin, *s.file_name, s.mode_recurse != 0);
    if (!d.found) {
        hint_swapped_operands(run, *s.file_patch, *s.file_bin);
        return STATUS_NAME;
    }
    d.offset = d.found->offset;
    return std::nullopt;
}

std::optional<int> place_window(run_output& run, int fd_bin, data_run& d) {
    // Refuse what cannot be done before anything is written.
    d.window = patch_window::at(d.offset, d.patch.info.size);
    if (!d.window.starts_in_user_data()) {
        std::fprintf(run.out,
                     "Offset %08llX lies %llu bytes into sector %llu, past its %zu bytes "
                     "of user data -- refused\n",
                     static_cast<unsigned long long>(d.window.offset),
                     static_cast<unsigned long long>(d.window.remainder),
                     static_cast<unsigned long long>(d.window.first), USER_DATA_SIZE);
        return error_exit(run);
    }
    if (!platform::query(fd_bin, d.image)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    return std::nullopt;
}

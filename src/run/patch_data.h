// The data a verify or patch run lays into the image, and where: the patch
// (or original) opened and measured, the -n file found, its window, and a
// Form 2 or interleaved file's input.
#pragma once

#include <cstdint>
#include <optional>

#include "format/iso9660.h"
#include "io/sector_io.h"
#include "run/kit.h"
#include "run/settings.h"

// The line saying where a verify or patch run starts.
void print_start(run_output& run, const patch_window& window);

// "Size of patch file is N which takes M sectors (roughly)".
void print_size(run_output& run, const char* what, std::uint64_t size);

// The data a verify or patch run lays into the image, and where.
struct data_run {
    data_file patch;                  // the patch file (the first operand)
    std::optional<dir_lookup> found;  // the -n file, when the place is a name
    std::uint64_t offset = 0;         // the -o offset, or the -n file's
    patch_window window;
    platform::file_info image;        // the image as the run found it
};

// Opens the patch file, says its size and, with -n, finds the file by name
// (which then gives the offset). Returns the exit status when the run stops.
std::optional<int> open_patch_data(run_state& run, int fd_bin, data_run& d);

// Works out the window of the patch at the offset, refusing one that starts
// past a sector's user data, and measures the image. Returns the exit
// status when the run stops.
std::optional<int> place_window(run_output& run, int fd_bin, data_run& d);

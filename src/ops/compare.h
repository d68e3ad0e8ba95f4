// Sector and image comparison: two sectors zone by zone, the verify loop of
// a patch window (-v) and the raw comparison of two images (-e).
#pragma once

#include <cstdint>
#include <span>

#include "io/output.h"

// Compares two raw sectors zone by zone (sync/header/subheader, user data,
// EDC/ECC) and prints the report of the first zone that differs, in a
// quiet run after the index of sector `sector`, which no trace names there.
// Returns 0 when equal, -1 otherwise.
int compare_sector(run_output& run, std::uint64_t sector, std::span<const std::uint8_t, SECTOR_SIZE> buffer,
                   std::span<const std::uint8_t, SECTOR_SIZE> verify);

// Compares two images raw, sector by sector from sector 0, for at most
// 33000 sectors; stops at the first difference or the end of either image,
// and says so when it stops at the limit while both images go on.
void checkedc(run_output& run, int fd_bin, int fd_patch);

// Checks that the image holds the original file (open on fd_orig) in the
// window, sector by sector as a patch run would write it. Writes nothing.
// True when every sector matches.
bool verify_run(run_output& run, int fd_bin, int fd_orig, const patch_window& window);

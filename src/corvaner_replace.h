// Replacing a file found by name: the directory records that take its new
// size, the subheaders its sectors get, and the room it may grow into.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "corvaner_dir.h"

// A file whose records change with it.
struct replace_plan {
    std::uint64_t new_size = 0;
    std::array<std::uint8_t, 4> last_subheader{};  // of its new last sector; the others lack EOR and EOF
    std::vector<placed_record> records;             // every record of the file (hard links too)
};

// Plans the replacement of the file a lookup found by `new_size` bytes:
// finds all its records in a walk of every tree (the one found, and with a
// size, every record of its extent and size: hard links and the same file
// in a Joliet tree), reads its subheader convention, checks that it holds
// no Form 2 sector, and that every sector it grows into is claimed by nothing
// on the disc and holds no data. Prints why not and returns false.
bool plan_replacement(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size,
                      replace_plan& plan);

// The subheader of a file's sector, encoded as Form 1: the last one's with
// the data bit set and the form, audio and video bits cleared; every other
// one's with the end-of-record and end-of-file bits cleared as well.
std::array<std::uint8_t, 4> subheader_for(const replace_plan& plan, bool last);

// The mode table: one row per run mode, read by the parser (which options
// and operands a mode takes) and by the dispatch (what is prepared before
// the mode's run function is called). A new mode is a row here, its run
// function in a file of its own, and its options in the option table.
#pragma once

#include <cstdint>
#include <span>

#include "run/settings.h"

// Ids of the options with a long form only: past every letter.
namespace option_id {
inline constexpr int VERSION = 256;
inline constexpr int UNDO = 257;
inline constexpr int DIZ = 258;
inline constexpr int RAW2336 = 259;
inline constexpr int RELOCATE = 260;
inline constexpr int LBA_LIST = 261;
}  // namespace option_id

// A set of options, one bit per option id: letters and long-only ids.
using option_set = std::uint64_t;

constexpr option_set option_bit(int id) {
    if (id >= 'a' && id <= 'z') return option_set{1} << (id - 'a');
    if (id >= 'A' && id <= 'Z') return option_set{1} << (26 + id - 'A');
    if (id >= option_id::VERSION && id < option_id::VERSION + 12)
        return option_set{1} << (52 + id - option_id::VERSION);
    return 0;
}

// The options named by the letters of `letters`, plus the long-only ids.
constexpr option_set options(const char* letters, std::initializer_list<int> long_only = {}) {
    option_set set = 0;
    for (const char* c = letters; *c != '\0'; ++c) set |= option_bit(*c);
    for (const int id : long_only) set |= option_bit(id);
    return set;
}

// How a mode uses the image before its run begins.
enum class image_access {
    own,    // the mode opens its own files
    read,   // open read-only with a shared lock
    write,  // open read-write and locked (read-only for a dry run)
};

// What a mode takes for its image besides a raw image of 2352-byte sectors.
enum class image_kind {
    raw_mode2,  // a cue sheet whose first data track is MODE2/2352; no ISO image
    raw_any,    // a cue sheet whose first data track is MODE1/2352 or MODE2/2352; no ISO image
    any_file,   // a cue sheet as raw_any; any file otherwise
};

// A mode's run function: the image, open and locked when the row asks for
// it (else invalid). Returns the exit status.
using run_function = int (*)(run_state& run, unique_fd& bin);

struct mode_row {
    run_mode mode;
    int selector;          // the option that chooses the mode; 0 for the default
    image_access access;
    image_kind image;      // what it takes for its image (a mode with access own sees to its own)
    bool file_block;       // prints the "Patch File : ..." block before opening the image
    run_function run;
    option_set accepts;    // the options it takes (and ignores where they do nothing)
    const char* refusal;   // said for any other option (none: the option's own rule says it)
    // Further refusals of the settings (none: none); nullptr when they fit.
    const char* (*refuse)(const run_settings& s);
    bool needs_place;      // needs -n or -o
    int operands;          // 1: the image; 2: a data file (or PPF file, second image), then the image
};

// Every mode, in the order in which their selecting options win.
std::span<const mode_row> mode_table();

// The row of the mode the given options choose.
const mode_row& mode_chosen(option_set given);

// The row of a mode.
const mode_row& row_of(run_mode mode);

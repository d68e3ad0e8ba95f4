// The mode table: one row per run mode and one per option, read by the
// parser (which options there are, what each sets, which options and
// operands a mode takes) and by the dispatch (what is prepared before the
// mode's run function is called). A new mode is its run function in a file
// of its own in src/modes/ (declared in modes/modes.h), its row here and the
// rows of any options it brings.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>

#include "run/settings.h"

struct opened_image;

// Ids of the options with a long form only: past every letter.
namespace option_id {
inline constexpr int FIRST_LONG = 256;
inline constexpr int VERSION = FIRST_LONG;
inline constexpr int UNDO = FIRST_LONG + 1;
inline constexpr int DIZ = FIRST_LONG + 2;
inline constexpr int RAW2336 = FIRST_LONG + 3;
inline constexpr int RELOCATE = FIRST_LONG + 4;
inline constexpr int LBA_LIST = FIRST_LONG + 5;
inline constexpr int FORCE = FIRST_LONG + 6;
inline constexpr int NO_PROGRESS = FIRST_LONG + 7;
inline constexpr int XDELTA = FIRST_LONG + 8;
inline constexpr int FIX_DUMP = FIRST_LONG + 9;
inline constexpr int TREE = FIRST_LONG + 10;
inline constexpr int SKIP_NEW = FIRST_LONG + 11;
inline constexpr int FILE_LIST = FIRST_LONG + 12;
}  // namespace option_id

// A set of options, one bit per option id: letters and long-only ids.
class option_set {
public:
    static constexpr int LONG_IDS = 64;  // room for this many long-only ids

    constexpr option_set() = default;
    // The set of the one option `id`; empty for an id that is no option.
    static constexpr option_set of(int id) {
        option_set set;
        if (id >= 'a' && id <= 'z') set.set_bit(id - 'a');
        if (id >= 'A' && id <= 'Z') set.set_bit(26 + id - 'A');
        if (id >= option_id::FIRST_LONG && id < option_id::FIRST_LONG + LONG_IDS)
            set.set_bit(52 + id - option_id::FIRST_LONG);
        return set;
    }

    constexpr bool any() const { return words_[0] != 0 || words_[1] != 0; }
    constexpr option_set operator|(option_set o) const { return {words_[0] | o.words_[0], words_[1] | o.words_[1]}; }
    constexpr option_set operator&(option_set o) const { return {words_[0] & o.words_[0], words_[1] & o.words_[1]}; }
    constexpr option_set operator~() const { return {~words_[0], ~words_[1]}; }
    constexpr option_set& operator|=(option_set o) { return *this = *this | o; }
    constexpr option_set& operator&=(option_set o) { return *this = *this & o; }

private:
    constexpr option_set(std::uint64_t low, std::uint64_t high) : words_{low, high} {}
    constexpr void set_bit(int n) { words_[n / 64] |= std::uint64_t{1} << (n % 64); }
    std::uint64_t words_[2] = {0, 0};
};

constexpr option_set option_bit(int id) { return option_set::of(id); }

// The options named by the letters of `letters`, plus the long-only ids.
constexpr option_set options(const char* letters, std::initializer_list<int> long_only = {}) {
    option_set set;
    for (const char* c = letters; *c != '\0'; ++c) set |= option_bit(*c);
    for (const int id : long_only) set |= option_bit(id);
    return set;
}

// An option that ends the parse where it is read.
enum class option_end {
    none,
    help,     // -h: the usage text (--help: with the long options)
    version,  // --version: the version line alone
};

struct option_row {
    int id;             // the short option's letter, or an id from option_id::FIRST_LONG on
    const char* name;   // the long form, without its "--"
    const char* value;  // name of the value it takes, or nullptr for none
    const char* help;   // its line in the long-option block of --help
    // Stores the option (and its value) in the settings; returns the line
    // that refuses the value, empty when it is taken. None for an option
    // that only chooses a mode or ends the parse.
    std::string (*set)(run_settings& s, const char* value) = nullptr;
    option_end ends = option_end::none;
};

// Every option of the tool, in the order of --help.
std::span<const option_row> option_table();

// How a mode uses the image before its run begins.
enum class image_access {
    own,   // the mode opens its own files
    open,  // opened and locked: read-write when the run writes it, else read-only with a shared lock
};

// What a mode takes for its image besides a raw image of 2352-byte sectors.
enum class image_kind {
    raw_mode2,  // a cue sheet whose first data track is MODE2/2352; no ISO image
    raw_any,    // a cue sheet whose first data track is MODE1/2352 or MODE2/2352; no ISO image
    any_file,   // a cue sheet as raw_any; any file otherwise
};

// Whether a mode writes its image. A dry run (-x) writes nothing.
enum class writing {
    nothing,
    image,        // always
    with_repair,  // with -w
};

// A mode's run function: the run and its image. Returns the exit status.
using run_function = int (*)(run_state& run, opened_image& image);

struct mode_row {
    int selector = 0;  // the option that chooses the mode; 0 for the default
    image_access access = image_access::open;
    image_kind image = image_kind::raw_any;  // (a mode with access own sees to its own)
    writing writes = writing::nothing;
    bool file_block = false;  // prints the "Patch File : ..." block before opening the image
    run_function run = nullptr;
    option_set accepts;             // the options it takes (and ignores where they do nothing)
    const char* refusal = nullptr;  // said for any other option (none: the option's own rule says it)
    // Further refusals of the settings (none: none); nullptr when they fit.
    const char* (*refuse)(const run_settings& s) = nullptr;
    bool needs_place = false;  // needs -n or -o
    int operands = 2;          // 1: the image; 2: a data file (or PPF file, second image), then the image
    bool output_operand = false;  // may take one more operand: the output file, written anew
    bool image_alone = false;  // takes the image alone too, in place of both operands
    // The usage refusal for other operands, "-l takes the image", said with
    // `example` after it; `example` and `what` are its line in --help.
    const char* takes = nullptr;
    const char* example = nullptr;
    const char* what = nullptr;
};

// Every mode, in the order in which their selecting options win.
std::span<const mode_row> mode_table();

// The row of the mode the given options choose.
const mode_row& mode_chosen(option_set given);

// A run of the mode `row` with the settings `s` writes its image.
bool run_writes(const mode_row& row, const run_settings& s);

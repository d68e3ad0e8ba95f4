#include "app/mode_table.h"

#include <array>

// The run function of each mode, each in its own file.
int list_mode(run_state& run, unique_fd& bin);
int compare_mode(run_state& run, unique_fd& bin);
int verify_mode(run_state& run, unique_fd& bin);
int patch_mode(run_state& run, unique_fd& bin);
int apply_mode(run_state& run, unique_fd& bin);
int check_mode(run_state& run, unique_fd& bin);
int extract_mode(run_state& run, unique_fd& bin);

namespace {

using option_id::DIZ;
using option_id::RAW2336;
using option_id::UNDO;

// What the modes that lay data into the image, or read it, take: every
// option but those of the check and the replacement.
constexpr option_set DATA_OPTIONS = options("hvonelrpdxPq", {UNDO, DIZ});

const char* check_refusal(const run_settings& s) {
    if (s.offset % SECTOR_SIZE != 0) return "-o with -c is the byte offset of a sector: a multiple of 2352";
    if (ppf_target(s) && !s.mode_repair) return "-p and -P with -c write the repairs: give -w too";
    return nullptr;
}

constexpr std::array ROWS = {
    mode_row{run_mode::extract, 'g', image_access::read, image_kind::raw_any, false, extract_mode, options("ghnrq", {RAW2336}),
             "-g extracts files from the image and takes only -n, -r and --raw2336", nullptr, false, 2},
    mode_row{run_mode::apply, 'a', image_access::write, image_kind::any_file, true, apply_mode, options("ahrdxq", {UNDO, DIZ}),
             "Option -a applies the PPF file given first: it takes no -o, -n, -l, -e, -v, -s, -c, -p or -P",
             nullptr, false, 2},
    mode_row{run_mode::check, 'c', image_access::own, image_kind::raw_any, false, check_mode, options("cwkhoprdxPq", {UNDO, DIZ}),
             "-c checks the whole image and takes none of -l, -e, -v, -n, -s and -a", check_refusal, false, 1},
    mode_row{run_mode::list, 'l', image_access::read, image_kind::raw_any, true, list_mode, DATA_OPTIONS, nullptr, nullptr, false, 2},
    mode_row{run_mode::compare, 'e', image_access::read, image_kind::raw_any, true, compare_mode, DATA_OPTIONS, nullptr, nullptr, false, 2},
    mode_row{run_mode::verify, 'v', image_access::read, image_kind::raw_mode2, true, verify_mode,
             DATA_OPTIONS | options("", {RAW2336}), nullptr, nullptr, true, 2},
    mode_row{run_mode::patch, 0, image_access::write, image_kind::raw_mode2, true, patch_mode,
             DATA_OPTIONS | options("s", {RAW2336, option_id::RELOCATE, option_id::LBA_LIST}), nullptr, nullptr, true, 2},
};

}  // namespace

std::span<const mode_row> mode_table() { return ROWS; }

const mode_row& mode_chosen(option_set given) {
    for (const mode_row& row : ROWS)
        if (row.selector == 0 || (given & option_bit(row.selector)) != 0) return row;
    return ROWS.back();
}

const mode_row& row_of(run_mode mode) {
    for (const mode_row& row : ROWS)
        if (row.mode == mode) return row;
    return ROWS.back();
}

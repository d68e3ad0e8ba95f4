#include "app/mode_table.h"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "modes/modes.h"

namespace {

using option_id::DIZ;
using option_id::FORCE;
using option_id::LBA_LIST;
using option_id::NO_PROGRESS;
using option_id::RAW2336;
using option_id::RELOCATE;
using option_id::UNDO;
using option_id::XDELTA;
using option_id::FIX_DUMP;
using option_id::SKIP_NEW;
using option_id::TREE;
using option_id::FILE_LIST;

// -o and -k take a whole number up to 64 bits: decimal, hex with "0x" or
// octal with a leading "0", and nothing else (no sign, no spaces, no
// trailing characters). Returns false for anything else.
bool parse_number(const char* text, std::uint64_t& number) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0') return false;
    number = v;
    return true;
}

// The setters of options that set a flag, or keep their value as it is.
template <int run_settings::*flag>
std::string set_flag(run_settings& s, const char*) {
    s.*flag = 1;
    return {};
}

template <std::optional<std::string> run_settings::*field>
std::string set_text(run_settings& s, const char* value) {
    s.*field = value;
    return {};
}

std::string set_offset(run_settings& s, const char* value) {
    if (!parse_number(value, s.offset))
        return std::string("Offset '") + value + "' is not a whole number from 0 to 0xFFFFFFFFFFFFFFFF -- refused\n";
    // A leading 0 made it octal. Past the zeros, one digit reads the same in
    // hexadecimal, as -l prints offsets; two or more read as another number.
    const std::string_view text(value);
    const std::size_t digits = text.find_first_not_of('0');
    const bool octal = text[0] == '0' && text.size() > 1 && text[1] != 'x' && text[1] != 'X';
    s.octal_offset = octal && digits != std::string_view::npos && text.size() - digits > 1 ? value : "";
    return {};
}

std::string set_count(run_settings& s, const char* value) {
    if (parse_number(value, s.count) && s.count != 0) return {};
    return std::string("Count '") + value +
           "' is not a whole number of sectors from 1 to 0xFFFFFFFFFFFFFFFF -- refused\n";
}

constexpr option_row OPTIONS[] = {
    {'h', "help", nullptr, "This help list, with these long options", nullptr, option_end::help},
    {'v', "verify", "file", "Verify the image holds this original file; patch nothing",
     set_text<&run_settings::file_orig>},
    {'o', "offset", "offset", "Start offset into the .bin file", set_offset},
    {'n', "name", "name", "Take the offset from this name in the .bin file", set_text<&run_settings::file_name>},
    {'e', "compare", nullptr, "Compare two bin files (patch file is 2nd bin)", set_flag<&run_settings::mode_checkedc>},
    {'l', "list", nullptr, "List the directory and stop", set_flag<&run_settings::mode_listdir>},
    {'r', "recursive", nullptr, "Recurse into subdirectories when listing or searching",
     set_flag<&run_settings::mode_recurse>},
    {'p', "ppf", "file", "Produce a PPF 2.0 patch file", set_text<&run_settings::file_ppf>},
    {'d', "description", "desc", "Set the description field of the PPF patch", set_text<&run_settings::str_desc>},
    {'x', "dry-run", nullptr, "Do not write the image; with -p, only make the PPF file",
     set_flag<&run_settings::mode_nowrite>},
    {'s', "replace", nullptr, "Replace the -n file: any size, its recorded size and subheaders follow",
     set_flag<&run_settings::mode_replace>},
    {'P', "ppf3", "file", "Produce a PPF 3.0 patch file of the bytes the run changes",
     set_text<&run_settings::file_ppf3>},
    {UNDO, "undo", nullptr, "With -P: add undo data; with -a: restore the undo data",
     set_flag<&run_settings::mode_undo>},
    {DIZ, "diz", "file", "With -P: add this file_id.diz text (at most 3072 bytes)",
     set_text<&run_settings::file_diz>},
    {RELOCATE, "relocate", nullptr, "With -s: a file that cannot grow in place moves whole",
     set_flag<&run_settings::mode_relocate>},
    {LBA_LIST, "lba-list", "file", "With --relocate: write every file's old and new sector to this file",
     set_text<&run_settings::file_lba_list>},
    {TREE, "tree", nullptr, "With -s: put back every file of the folder given first that differs from the disc's",
     set_flag<&run_settings::mode_tree>},
    {SKIP_NEW, "skip-new", nullptr, "With --tree: leave out host files that name nothing on the disc",
     set_flag<&run_settings::mode_skip_new>},
    {FILE_LIST, "file-list", "file", "With -s: put back the host files this list names, a disc path and a tab before each",
     set_text<&run_settings::file_list>},
    {'a', "apply", nullptr, "Apply the PPF file (1.0, 2.0 or 3.0) or xdelta (VCDIFF) file given first to the image"},
    {'c', "check", nullptr, "Check every sector of the image (or a cue sheet's tracks); one operand"},
    {'w', "repair", nullptr, "With -c: repair the EDC/ECC of bad sectors", set_flag<&run_settings::mode_repair>},
    {'k', "count", "count", "With -c: check this many sectors from the -o offset", set_count},
    {'g', "extract", nullptr, "Extract the -n file into the file given first, or every file into that folder"},
    {RAW2336, "raw2336", nullptr, "Form 2 files as 2336-byte sectors, not RIFF-CDXA: -g writes, -n reads them",
     set_flag<&run_settings::mode_raw2336>},
    {FORCE, "force", nullptr, "Replace an output file that is there (-g -n, -a); -p/-P: a PPF file that holds this run's records",
     set_flag<&run_settings::mode_force>},
    {'m', "make", nullptr, "Make a patch (-P, -p, --xdelta) that turns the image given first into the second"},
    {XDELTA, "xdelta", "file", "Produce an xdelta (VCDIFF) patch of the image before and after the run (-m: the patch)",
     set_text<&run_settings::file_xdelta>},
    {FIX_DUMP, "fix-dump", nullptr, "With -a of an xdelta file: apply it to the image as the patch's dump had its EDCs",
     set_flag<&run_settings::mode_fix_dump>},
    {'q', "quiet", nullptr, "Quiet: no banner, trace or progress; refusals, results and closing lines stay",
     set_flag<&run_settings::mode_quiet>},
    {NO_PROGRESS, "no-progress", nullptr, "No progress line on a terminal, even with -q",
     set_flag<&run_settings::mode_no_progress>},
    {option_id::VERSION, "version", nullptr, "Print the version line alone and stop", nullptr, option_end::version},
};

// What the modes that lay data into the image, or read it, take: every
// option but those of the check and the replacement.
constexpr option_set DATA_OPTIONS = options("hvonelrpdxPq", {UNDO, DIZ, NO_PROGRESS});

const char* check_refusal(const run_settings& s) {
    if (s.offset % SECTOR_SIZE != 0) return "-o with -c is the byte offset of a sector: a multiple of 2352";
    if (ppf_target(s) && !s.mode_repair) return "-p and -P with -c write the repairs: give -w too";
    if (s.file_xdelta && !s.mode_repair) return "--xdelta with -c writes the repairs: give -w too";
    return nullptr;
}

// What a run that puts files back (--tree, --file-list) takes, whichever
// of the two chose it.
constexpr option_set PUT_BACK_OPTIONS = options("shpPdxq", {TREE, FILE_LIST, SKIP_NEW, RELOCATE, LBA_LIST, RAW2336, UNDO, DIZ, XDELTA, NO_PROGRESS, FORCE});

const char* tree_refusal(const run_settings& s) {
    if (!s.mode_replace) return s.mode_tree ? "--tree puts files back as -s does: give -s" : "--file-list puts files back as -s does: give -s";
    if (s.mode_skip_new && !s.mode_tree) return "--skip-new belongs to --tree";
    return nullptr;
}

const char* make_refusal(const run_settings& s) {
    if (!ppf_target(s) && !s.file_xdelta) return "-m writes a patch: give -P, -p or --xdelta to name it";
    if (ppf_target(s) && s.file_xdelta) return "-m writes one patch: give one of -P, -p and --xdelta";
    return nullptr;
}

constexpr std::array ROWS = {
    mode_row{.selector = 'm',
             .image = image_kind::any_file,
             .run = make_mode,
             .accepts = options("mhpPdxq", {UNDO, DIZ, XDELTA, NO_PROGRESS}),
             .refusal = "-m makes a patch from two images and takes only -P, -p, --xdelta, -d, --undo, --diz, -x and -q",
             .refuse = make_refusal,
             .takes = "-m takes the original image and the modified one",
             .example = "corvane -m -P fix.ppf orig.bin game.bin",
             .what = "Make one patch (-P, -p or --xdelta) from the original to the modified image"},
    mode_row{.selector = TREE,
             .image = image_kind::raw_mode2,
             .writes = writing::image,
             .run = tree_mode,
             .accepts = PUT_BACK_OPTIONS,
             .refusal = "--tree puts a folder back and takes only -s, --file-list, --relocate, --lba-list, --skip-new, --raw2336, -p, -P, --xdelta, -d, -x and -q",
             .refuse = tree_refusal,
             .takes = "--tree takes the folder, then the image",
             .example = "corvane -s --tree tree game.bin",
             .what = "Put back every changed file of a folder -g wrote (-s --tree)"},
    mode_row{.selector = FILE_LIST,
             .image = image_kind::raw_mode2,
             .writes = writing::image,
             .run = tree_mode,
             .accepts = PUT_BACK_OPTIONS,
             .refusal = "--file-list puts files back and takes only -s, --tree, --relocate, --lba-list, --skip-new, --raw2336, -p, -P, --xdelta, -d, -x and -q",
             .refuse = tree_refusal,
             .operands = 1,
             .takes = "--file-list takes the image (with --tree: the folder, then the image)",
             .example = "corvane -s --file-list files.txt game.bin",
             .what = "Put back every changed file a list names (-s --file-list)"},
    mode_row{.selector = 'g',
             .run = extract_mode,
             .accepts = options("ghnrq", {RAW2336, FORCE, NO_PROGRESS}),
             .refusal = "-g extracts files from the image and takes only -n, -r, --raw2336 and --force",
             .takes = "-g takes an output folder, or -n NAME and an output file, then the image",
             .example = "corvane -g out game.bin",
             .what = "Extract every file into a new folder (-n NAME: one file)"},
    mode_row{.selector = 'a',
             .image = image_kind::any_file,
             .writes = writing::image,
             .file_block = true,
             .run = apply_mode,
             .accepts = options("ahrdxq", {UNDO, DIZ, NO_PROGRESS, FORCE, FIX_DUMP}),
             .refusal = "Option -a applies the PPF or xdelta file given first: it takes no -o, -n, -l, -e, -v, -s, -c, -p or -P",
             .output_operand = true,
             .takes = "-a takes a patch file and an image, then an output file if the image is to stay as it is",
             .example = "corvane -a fix.ppf game.bin",
             .what = "Apply a PPF 1.0, 2.0 or 3.0 file (--undo: take it back) or an xdelta file"},
    mode_row{.selector = 'c',
             .access = image_access::own,
             .writes = writing::with_repair,
             .run = check_mode,
             .accepts = options("cwkhoprdxPq", {UNDO, DIZ, FORCE, NO_PROGRESS, XDELTA}),
             .refusal = "-c checks the whole image and takes none of -l, -e, -v, -n, -s and -a",
             .refuse = check_refusal,
             .operands = 1,
             .takes = "-c takes the image",
             .example = "corvane -c game.bin",
             .what = "Check every sector's EDC/ECC (-w: repair them)"},
    mode_row{.selector = 'l',
             .file_block = true,
             .run = list_mode,
             .accepts = DATA_OPTIONS,
             .image_alone = true,
             .takes = "-l takes the image",
             .example = "corvane -l game.bin",
             .what = "List the root directory (-r: every directory)"},
    mode_row{.selector = 'e',
             .file_block = true,
             .run = compare_mode,
             .accepts = DATA_OPTIONS,
             .takes = "-e takes a second image and the image",
             .example = "corvane -e other.bin game.bin",
             .what = "Compare two images sector by sector"},
    mode_row{.selector = 'v',
             .image = image_kind::raw_mode2,
             .file_block = true,
             .run = verify_mode,
             .accepts = DATA_OPTIONS | options("", {RAW2336}),
             .needs_place = true,
             .takes = "-v takes a patch file and the image",
             .example = "corvane -v old.txt -n NAME new.txt game.bin",
             .what = "Verify the image holds the original file there"},
    mode_row{.image = image_kind::raw_mode2,
             .writes = writing::image,
             .file_block = true,
             .run = patch_mode,
             .accepts = DATA_OPTIONS | options("s", {RAW2336, RELOCATE, LBA_LIST, FORCE, XDELTA}),
             .needs_place = true,
             .takes = "A patch run takes a patch file and the image",
             .example = "corvane -s -n NAME new.txt game.bin",
             .what = "Write the file at -n NAME or -o OFFSET (-s: replace it, any size)"},
};

}  // namespace

std::span<const option_row> option_table() { return OPTIONS; }

std::span<const mode_row> mode_table() { return ROWS; }

const mode_row& mode_chosen(option_set given) {
    for (const mode_row& row : ROWS)
        if (row.selector == 0 || (given & option_bit(row.selector)).any()) return row;
    return ROWS.back();
}

bool run_writes(const mode_row& row, const run_settings& s) {
    // An output file given after the image takes the writes: the image is only read.
    const bool writes = (row.writes == writing::image && !(row.output_operand && s.file_output)) ||
                        (row.writes == writing::with_repair && s.mode_repair);
    return writes && !s.mode_nowrite;
}

// What a run was asked to do: the settings the command line gives, the mode
// they choose, and the output streams every run prints to. Every mode reads
// these; none knows how they were parsed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/output.h"

// What a run does, told from its settings once, after parsing.
enum class run_mode {
    list,     // -l: list the directory
    compare,  // -e: compare two images
    verify,   // -v: check that the image holds the original
    patch,    // lay the patch into the image (with -x: only as far as the trace and PPF file)
    apply,    // -a: apply a PPF file to the image
    check,    // -c: check every sector of the image (with -w: repair EDC and parity)
    extract,  // -g: take a file (-n) or the whole tree out of the image
};

struct run_settings {
    std::optional<std::string> file_patch;  // first operand: patch file (or 2nd image with -e)
    std::optional<std::string> file_bin;    // second operand: the image
    std::optional<std::string> file_orig;   // -v: original file to verify
    std::optional<std::string> file_name;   // -n: name to look up in the image
    std::optional<std::string> file_ppf;    // -p: PPF file to write
    std::optional<std::string> str_desc;    // -d: PPF description
    std::optional<std::string> file_ppf3;   // -P: PPF 3.0 file to write
    std::optional<std::string> file_diz;    // --diz: file_id.diz text of the PPF 3.0 file
    int mode_undo = 0;      // --undo: PPF 3.0 with undo data; applied, the undo data restored
    int mode_apply = 0;     // -a: apply the PPF file (first operand) to the image
    int mode_check = 0;     // -c
    int mode_repair = 0;    // -w
    std::uint64_t count = 0;  // -k: sectors -c checks; 0 means "not given" (to the image's end)
    // Byte offset into the image; 0 means "not given".
    std::uint64_t offset = 0;
    int mode_listdir = 0;   // -l
    int mode_recurse = 0;   // -r
    int mode_checkedc = 0;  // -e
    int mode_nowrite = 0;   // -x
    int mode_replace = 0;   // -s: the -n file is replaced, its recorded size with it
    int mode_quiet = 0;     // -q: no banner, file block, trace or progress
    int mode_extract = 0;   // -g: the first operand is the file (with -n) or folder taken out
    int mode_raw2336 = 0;   // --raw2336: Form 2 files as 2336-byte sectors (-g writes, -n reads them)
    int mode_relocate = 0;  // --relocate: with -s, a file that cannot grow in place moves
    std::optional<std::string> file_lba_list;  // --lba-list: the table of sectors a relocation leaves
    run_mode mode = run_mode::patch;  // set by the parser from the flags above
};

// A patch, apply or repairing check run that is not a dry run: the runs
// that write the image.
inline bool writes_image(const run_settings& s) {
    return (s.mode == run_mode::patch || s.mode == run_mode::apply ||
            (s.mode == run_mode::check && s.mode_repair)) &&
           !s.mode_nowrite;
}

// The PPF file the run writes (-p or -P), if any.
inline const std::optional<std::string>& ppf_target(const run_settings& s) {
    return s.file_ppf3 ? s.file_ppf3 : s.file_ppf;
}

// Everything one run of the tool reads and writes besides its files.
struct run_state : run_output {
    run_settings settings;
    // Where the image came from a cue sheet whose data track another track
    // follows in the same file: that track, in a few words (the image file
    // cannot grow without moving it). Empty otherwise.
    std::string track_after_image;
};

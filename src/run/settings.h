// What a run was asked to do: the settings the command line gives, and the
// output streams every run prints to. Every mode reads these; none knows how
// they were parsed. Which mode they choose is the mode table's to say.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "io/output.h"

struct run_settings {
    std::optional<std::string> file_patch;  // first operand: patch file (or 2nd image with -e)
    std::optional<std::string> file_bin;    // second operand: the image
    std::optional<std::string> file_orig;   // -v: original file to verify
    std::optional<std::string> file_name;   // -n: name to look up in the image
    std::optional<std::string> file_ppf;    // -p: PPF file to write
    std::optional<std::string> str_desc;    // -d: PPF description
    std::optional<std::string> file_ppf3;   // -P: PPF 3.0 file to write
    std::optional<std::string> file_diz;    // --diz: file_id.diz text of the PPF 3.0 file
    std::optional<std::string> file_output; // -a: third operand, the patched image written anew
    std::optional<std::string> file_xdelta; // --xdelta: VCDIFF patch a make run (-m) writes
    int mode_undo = 0;      // --undo: PPF 3.0 with undo data; applied, the undo data restored
    int mode_repair = 0;    // -w
    std::uint64_t count = 0;  // -k: sectors -c checks; 0 means "not given" (to the image's end)
    // Byte offset into the image; 0 means "not given".
    std::uint64_t offset = 0;
    // The offset as typed when a leading 0 made it octal where a hexadecimal
    // reading (as -l prints offsets) gives another number; else empty.
    std::string octal_offset;
    int mode_listdir = 0;   // -l
    int mode_recurse = 0;   // -r
    int mode_checkedc = 0;  // -e
    int mode_nowrite = 0;   // -x
    int mode_replace = 0;   // -s: the -n file is replaced, its recorded size with it
    int mode_fix_dump = 0;     // --fix-dump: -a of a VCDIFF file on the image as the patch's dump had it
    int mode_no_progress = 0;  // --no-progress: no progress line, even on a terminal
    int mode_quiet = 0;     // -q: no banner, file block, trace or progress
    int mode_raw2336 = 0;   // --raw2336: Form 2 files as 2336-byte sectors (-g writes, -n reads them)
    int mode_force = 0;     // --force: -g -n and -a replace an output file that is there
    int mode_relocate = 0;  // --relocate: with -s, a file that cannot grow in place moves
    int mode_tree = 0;      // --tree: with -s, every changed file of the folder given first is put back
    int mode_skip_new = 0;  // --skip-new: with --tree, host files that name nothing on the disc are left out
    std::optional<std::string> file_list;  // --file-list: with -s, lines of a disc path, a tab, a host file to put there
    std::optional<std::string> file_lba_list;  // --lba-list: the table of sectors a relocation leaves
};

// The PPF file the run writes (-p or -P), if any.
inline const std::optional<std::string>& ppf_target(const run_settings& s) {
    return s.file_ppf3 ? s.file_ppf3 : s.file_ppf;
}

// Everything one run of the tool reads and writes besides its files.
struct run_state : run_output {
    run_settings settings;
    // Files dropped on the program: a run that writes waits for Enter once
    // it has shown what it is about to do.
    bool dropped = false;
};

// Command line: the run settings, the parser and the texts printed before
// any work starts.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "corvaner_trace.h"

// What a run does, told from its settings once, after parsing.
enum class run_mode {
    list,     // -l: list the directory
    compare,  // -e: compare two images
    verify,   // -v: check that the image holds the original
    patch,    // lay the patch into the image (with -x: only as far as the trace and PPF file)
    check,    // -c: check every sector of the image (with -w: repair EDC and parity)
};

struct run_settings {
    std::optional<std::string> file_patch;  // first operand: patch file (or 2nd image with -e)
    std::optional<std::string> file_bin;    // second operand: the image
    std::optional<std::string> file_orig;   // -v: original file to verify
    std::optional<std::string> file_name;   // -n: name to look up in the image
    std::optional<std::string> file_ppf;    // -p: PPF file to write
    std::optional<std::string> str_desc;    // -d: PPF description
    // Byte offset into the image; 0 means "not given".
    std::uint64_t offset = 0;
    int mode_listdir = 0;   // -l
    int mode_recurse = 0;   // -r
    int mode_checkedc = 0;  // -e
    int mode_nowrite = 0;   // -x
    int mode_check = 0;     // -c
    int mode_repair = 0;    // -w
    std::uint64_t count = 0;  // -k: sectors -c checks; 0 means "not given" (to the image's end)
    run_mode mode = run_mode::patch;  // set by the parser from the flags above
};

// The mode the flags choose: -c, else -l before -e before -v before a patch run.
run_mode mode_of(const run_settings& s);

// A patch run or a repairing check that is not a dry run: the runs that
// write the image.
inline bool writes_image(const run_settings& s) {
    return (s.mode == run_mode::patch || (s.mode == run_mode::check && s.mode_repair)) &&
           !s.mode_nowrite;
}

// Everything one run of the tool reads and writes besides its files.
struct run_state : run_output {
    run_settings settings;
};

enum class parse_result {
    ok,             // the settings are complete
    usage,          // show the usage text, status 0
    refused_usage,  // an unknown option or one missing its argument: usage text, status 255
    refused,        // a bad option value, already reported: status 255
};

// Fills run.settings from argv.
parse_result arguments(run_state& run, int argc, char** argv);

// Banner, version line and the warning line, printed first on every run.
void print_banner(std::FILE* out);
void print_usage(std::FILE* out);

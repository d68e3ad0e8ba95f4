// Command line: the parser, which fills the run settings and checks them
// against the mode table, and the texts printed before any work starts.
#pragma once

#include <cstdio>

#include "run/settings.h"

struct mode_row;

enum class parse_result {
    ok,             // the settings are complete
    usage,          // show the usage text, status 0
    help,           // --help: the usage text, the modes and the long options, status 0
    version,        // --version: the version line alone, status 0
    refused_usage,  // nothing to do, an unknown option or one missing its argument, operands the
                    // mode does not take (said first): usage text, status 255
    refused,        // a bad option value, already reported: status 255
};

// Fills run.settings from argv and, when the result is ok, sets `row` to
// the row of the mode they choose. Complaints about options go to run.err,
// the tool's own messages to run.out.
parse_result arguments(run_state& run, int argc, char** argv, const mode_row*& row);

// False when the command line asks for --version, which arguments() answers
// having printed nothing, or for a quiet run (-q): read silently, so the
// banner can be left out before the real parse.
bool wants_banner(int argc, char** argv);

// Banner, version line and the warning line, printed first on every run
// but --version, which prints the version line alone.
void print_banner(std::FILE* out);
void print_version(std::FILE* out);
void print_usage(std::FILE* out);
// The line after the usage text that points at --help.
void print_help_pointer(std::FILE* out);
// The blocks --help adds after the usage text: one line per mode, from the
// mode table, then one per long option.
void print_modes(std::FILE* out);
void print_long_options(std::FILE* out);

// Files dropped on the program, told apart by their first bytes and turned
// into the command line they stand for.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "io/output.h"
#include "run/settings.h"

// The run of files dropped on the program, as a command line ("corvane -c
// IMAGE", "corvane -a PPF IMAGE"), or nothing when they are not one image or
// a PPF file and an image. With nothing dropped (a program started from a
// file manager), or one file that is no image, or two of which one is no
// image, it says what to drop (with its reason) and sets `stop` to the exit
// status.
std::vector<std::string> dropped(run_output& run, int argc, char** argv, std::optional<int>& stop);

// After a drop's run: a PPF file applied names the image it patched in
// place, the last line the window shows.
void say_drop_result(const run_state& run, const std::vector<std::string>& drop, int status);

// Files dropped on the program, told apart by their first bytes and turned
// into the command line they stand for.
#pragma once

#include <string>
#include <vector>

#include "io/output.h"
#include "run/settings.h"

// The run of files dropped on the program, as a command line ("corvane -c
// IMAGE", "corvane -a PPF IMAGE"), or nothing when they are not one image or
// a PPF file and an image. Only a drop of two files of which one is no image
// is refused here, with its reason.
std::vector<std::string> dropped(run_output& run, int argc, char** argv, bool& refused);

// After a drop's run: a PPF file applied names the image it patched in
// place, the last line the window shows.
void say_drop_result(const run_state& run, const std::vector<std::string>& drop, int status);

// Run control: the tool's entry point. It parses the command line, opens the
// run's files, refuses what cannot be done safely and drives the chosen mode.
#pragma once

#include <cstdio>

// The whole tool: prints to `out` (and failed system calls to `err`) and
// returns the exit status.
// With `own_console` (the process was started with a console of its own, as
// from a file manager or by dropping files on it), files given without any
// option are run as a drop: one image (or cue sheet) is checked (-c), a PPF
// file and an image, in either order, applied (-a); nothing at all, or files
// that are neither, show what to drop; and the run ends by
// waiting for Enter, so that its window stays readable.
int corvane_main(int argc, char** argv, std::FILE* out, std::FILE* err = stderr, bool own_console = false);

// Readies the process for a run: standard input, output and error open
// (on /dev/null where closed), broken pipes and file-size limits reported
// as failed writes, and the trace buffered in large blocks when it does not
// go to a terminal. False when the standard descriptors cannot be made
// valid: the tool must then open no file.
bool prepare_process();

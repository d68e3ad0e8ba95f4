// The check run (-c): reads every sector of an image, or of the data tracks
// of a cue sheet, judges it and reports the bad ones; with -w rebuilds the
// EDC and parity of those that may be repaired, in place and (with -p) into
// a PPF file.
#pragma once

#include "corvaner_cli.h"

// Runs the check the parsed settings describe and returns the exit status:
// 0 when every data sector is good (with -w: once repaired), 1 when bad
// sectors remain, 255 on a refusal or a failure.
int scan_run(run_state& run);

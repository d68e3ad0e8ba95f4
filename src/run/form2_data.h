// The input of a verify or patch run into a Form 2 or interleaved file: its
// RIFF-CDXA or 2336-byte sectors, told from the named file's forms.
#pragma once

#include <optional>

#include "ops/form2_file.h"
#include "run/patch_data.h"

// A Form 2 or interleaved file found by name, and the RIFF-CDXA or 2336-byte
// input whose sectors replace its own (or, verified, match them).
struct xa_data {
    xa_file_facts file;
    xa_input input;
};

// With -n: tells whether the named file is Form 2 or interleaved and, when
// it is, what `input` (the patch, or the original of a verify run) holds.
// Refuses --raw2336 with a Form 1 file, plain data for a Form 2 or
// interleaved one, and input that is not whole sectors. Sets `xa` when the
// run takes the file's sectors from the input; returns the exit status when
// the run stops. `form1_plain`: a Form 1 file under --raw2336 is taken as a
// plain file (the tree's files), not refused.
std::optional<int> open_xa_data(run_state& run, int fd_bin, const data_run& d, const data_file& input,
                                const char* what, std::optional<xa_data>& xa, bool form1_plain = false);

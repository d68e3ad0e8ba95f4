// The patch run: lays a patch file into the image's sectors from an offset,
// rebuilds them and writes them back, with its PPF file made first.
#pragma once

#include <cstdint>

#include "corvaner_cli.h"
#include "corvaner_io.h"
#include "corvaner_replace.h"

// Exit statuses of a run.
inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_NAME = 1;    // -n name not found exactly once
inline constexpr int STATUS_FAIL = 255;  // every failure (exit(-1) as the shell sees it)

// Prints the common halt text and returns the failure status.
int error_exit(run_state& run);

// The line saying where a verify or patch run starts.
void print_start(run_state& run, const patch_window& window);

// The files a patch run works on: the image (open read-write and locked
// unless the run is dry) and the patch, both as they were measured when the
// run started.
struct patch_files {
    unique_fd& bin;
    platform::file_info image;
    int patch;
    platform::file_info patch_info;
    const replace_plan* replace = nullptr;  // with -s: the file's records and subheaders
};

// Signals held for the length of a run that writes; the run's output is
// flushed before they are let through.
struct signal_guard {
    explicit signal_guard(std::FILE* out) : out_(out) {}
    signal_guard(const signal_guard&) = delete;
    signal_guard& operator=(const signal_guard&) = delete;
    ~signal_guard() { std::fflush(out_); }

    platform::held_signals held;
    std::FILE* out_;
};

// Runs the patch: reads the patch (whole, when it fits in memory), reads and
// checks every sector of the window (and, replacing a file, of the
// directories that record its size), reserves its room on disk, writes the
// PPF file and puts it in place, and only then rewrites the image, a batch
// at a time, checking for held signals between batches. Returns the exit
// status.
int patch_run(run_state& run, patch_files& f, const patch_window& window,
              const signal_guard& signals);

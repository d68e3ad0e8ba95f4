// The run's output streams and the pieces of the per-sector trace that every
// mode prints the same way: the sector index, the read and write steps and
// the texts of a failed read.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "io/sector_io.h"

class progress_meter;

// Where a run prints: the trace and messages, and failed system calls.
struct run_output {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    // A quiet run (-q) leaves out its banner, the names of its files, the
    // per-sector trace and progress lines; every refusal, warning and error,
    // the result its mode exists for and its closing lines stay.
    bool quiet = false;
    // A long run may show a progress line on `err` (see io/progress.h): err
    // is a terminal, the trace is not on the same one, no --no-progress.
    bool progress = false;
    progress_meter* meter = nullptr;  // the line shown now, if any
};

// Clears the progress line, if one is shown, before a message.
void clear_progress(const run_output& run);

// Where what a quiet run leaves out goes: `out`, or nowhere (null).
inline std::FILE* trace_stream(const run_output& run) { return run.quiet ? nullptr : run.out; }

// fprintf to `to`, unless it is null.
void tprintf(std::FILE* to, const char* format, ...);

// Reports a failed system call like perror, on err, after flushing out so
// the two streams stay in order on a terminal.
void report_errno(run_output& run, const char* message);

// Trace steps, appended to a line being built.
void append_index(std::string& trace, std::uint64_t sector);          // "%6llu"
void append_read_sector(std::string& trace);                          // " | READSECTOR(2352)"
void append_read_patch(std::string& trace, std::size_t count);        // " | READPATCH(%04d)"
void append_directory(std::string& trace);                            // " | DIRECTORY"
void append_rebuilt(std::string& trace);  // " | EDC_ECC | WRITESECTOR(2352)\n"
void print_trace(run_output& run, const std::string& trace);  // nothing in a quiet run

// Prints the sector's index, as a trace line starts.
void print_index(run_output& run, std::uint64_t sector);

// Prints the read step and reads raw sector `sector` of fd. Returns 2352, or
// -1 after reporting a failed read or seek (a read that ends early is not
// reported).
[[nodiscard]] long read_sector_traced(run_output& run, int fd, sector_span buffer, std::uint64_t sector);

// Reads the next span of a data file into `buffer`, asking for at most
// `remaining` bytes. Accepts a read of the full span or of all that remains,
// subtracts the count from `remaining`, prints the step and returns the count;
// else prints that the patch file fell short and returns -1.
[[nodiscard]] long read_data(run_output& run, data_reader& source, std::span<std::uint8_t> buffer,
                             std::uint64_t& remaining);

// A name from a disc or file as it is printed: every byte outside
// 0x20..0x7E becomes '?', so it can neither move the terminal's cursor nor
// the columns.
std::string printable_name(std::string_view name);

// A text the user wrote (a name asked for, a PPF description) as it is
// printed: its letters in UTF-8 as they are, every other byte outside
// 0x20..0x7E (a control, a byte of no whole UTF-8 letter) as '?'.
std::string printable_text(std::string_view text);

// "Failed to read N bytes from patch file", N the span that was asked for.
void report_short_data(run_output& run, std::size_t asked);

// The progress line of a long run: one line on standard error that rewrites
// itself (percent done, MB/s, time left) and is cleared at the end. It shows
// only where run_output::progress allows it (standard error a terminal, and
// the trace not on the same screen) and only once the run has taken a
// second, so short runs and every file or pipe stay as they were.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>

#include "io/output.h"

class progress_meter {
public:
    using clock = std::chrono::steady_clock;

    // A meter of `total` bytes (or records: any unit that grows evenly).
    // `now` is the clock (a test gives its own).
    // It is the run's meter (run.meter) while it lives, so that a message
    // of the run clears its line first.
    progress_meter(run_output& run, std::uint64_t total,
                   std::function<clock::time_point()> now = clock::now);
    progress_meter(const progress_meter&) = delete;
    progress_meter& operator=(const progress_meter&) = delete;
    ~progress_meter();

    // `done` of the total are done. Redraws at most five times a second.
    void update(std::uint64_t done);

    // Clears the line, if one is shown; a later update draws it again.
    void clear();

    static constexpr auto QUIET_START = std::chrono::seconds(1);    // shown after
    static constexpr auto REDRAW = std::chrono::milliseconds(200);  // at most once per

private:
    run_output& run_;
    std::FILE* to_;  // null: never shown
    std::uint64_t total_;
    std::function<clock::time_point()> now_;
    clock::time_point start_, drawn_;
    std::size_t shown_ = 0;  // characters of the line on screen
};

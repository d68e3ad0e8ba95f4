// The progress line: silent for the first second and where the run says
// so, then percent, rate and time left, redrawn at most five times a
// second, and cleared without a trace.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "io/progress.h"

namespace {

using namespace std::chrono_literals;

struct screen {
    std::FILE* file = std::tmpfile();
    ~screen() { std::fclose(file); }
    std::string text() const {
        std::fflush(file);
        std::string s(static_cast<std::size_t>(std::ftell(file)), '\0');
        std::rewind(file);
        s.resize(std::fread(s.data(), 1, s.size(), file));
        std::fseek(file, 0, SEEK_END);  // a write after a read must seek first
        return s;
    }
};

TEST(Progress, ShowsAfterASecondRedrawsSparinglyAndClears) {
    screen err;
    run_output run{.out = stdout, .err = err.file, .quiet = true, .progress = true};
    progress_meter::clock::time_point t{};
    {
        progress_meter meter(run, 100'000'000, [&] { return t; });
        EXPECT_EQ(run.meter, &meter);
        t += 900ms;
        meter.update(10'000'000);  // under a second: nothing yet
        EXPECT_EQ(err.text(), "");
        t += 1100ms;
        meter.update(50'000'000);  // 2 s, 25 MB/s, 50 MB to go
        EXPECT_EQ(err.text(), "\r 50%    25.0 MB/s 0:02 left");
        t += 100ms;
        meter.update(60'000'000);  // too soon to redraw
        EXPECT_EQ(err.text(), "\r 50%    25.0 MB/s 0:02 left");
        t += 100ms;
        meter.update(110'000'000);  // past the total: 100%, none left
        EXPECT_EQ(err.text(), "\r 50%    25.0 MB/s 0:02 left\r100%    45.5 MB/s 0:00 left");
        clear_progress(run);
    }
    EXPECT_EQ(run.meter, nullptr);
    const std::string after = err.text();
    EXPECT_EQ(after.substr(after.size() - 29), "\r" + std::string(27, ' ') + "\r");
}

TEST(Progress, NeverShownWhereTheRunSaysNo) {
    screen err;
    run_output run{.out = stdout, .err = err.file, .progress = false};
    progress_meter::clock::time_point t{};
    progress_meter meter(run, 1000, [&] { return t; });
    t += 10s;
    meter.update(500);
    EXPECT_EQ(run.meter, nullptr);
    EXPECT_EQ(err.text(), "");
}

}  // namespace

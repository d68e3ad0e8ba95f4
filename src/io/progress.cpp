#include "io/progress.h"

#include <algorithm>
#include <string>

progress_meter::progress_meter(run_output& run, std::uint64_t total, std::function<clock::time_point()> now)
    : run_(run), to_(run.progress ? run.err : nullptr), total_(total), now_(std::move(now)) {
    if (to_ == nullptr) return;
    start_ = drawn_ = now_();
    run_.meter = this;
}

progress_meter::~progress_meter() {
    clear();
    if (run_.meter == this) run_.meter = nullptr;
}

void clear_progress(const run_output& run) {
    if (run.meter != nullptr) run.meter->clear();
}

void progress_meter::update(std::uint64_t done) {
    if (to_ == nullptr || total_ == 0) return;
    const clock::time_point t = now_();
    if (t - start_ < QUIET_START || (shown_ != 0 && t - drawn_ < REDRAW)) return;
    drawn_ = t;
    done = std::min(done, total_);
    const double seconds = std::chrono::duration<double>(t - start_).count();
    const double rate = static_cast<double>(done) / seconds;  // per second
    char line[80];
    int n = std::snprintf(line, sizeof line, "%3u%% %7.1f MB/s", static_cast<unsigned>(done * 100 / total_),
                          rate / 1e6);
    if (rate > 0) {
        const auto left = static_cast<unsigned long long>(static_cast<double>(total_ - done) / rate + 0.5);
        n += std::snprintf(line + n, sizeof line - static_cast<std::size_t>(n), " %llu:%02llu left", left / 60,
                           left % 60);
    }
    const auto width = static_cast<std::size_t>(n);
    // Spaces over what is left of a longer line before.
    std::fprintf(to_, "\r%s%*s", line, static_cast<int>(shown_ > width ? shown_ - width : 0), "");
    std::fflush(to_);
    shown_ = width;
}

void progress_meter::clear() {
    if (to_ == nullptr || shown_ == 0) return;
    std::fprintf(to_, "\r%*s\r", static_cast<int>(shown_), "");
    std::fflush(to_);
    shown_ = 0;
}

#include "run/kit.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "io/new_file.h"

int error_exit(run_output& run) {
    std::fputs("\nAn error occured whilst processing -- halt.\n", run.out);
    return STATUS_FAIL;
}

open_result open_locked(const std::string& path, file_access access, unique_fd& fd) {
    const bool writes = access == file_access::write;
    fd = writes ? platform::open_read_write(path) : platform::open_read(path);
    if (!fd.valid()) return open_result::open_failed;
    switch (platform::lock_file(fd.get(), writes ? platform::lock_kind::exclusive : platform::lock_kind::shared)) {
        case platform::lock_result::taken: return open_result::ok;
        case platform::lock_result::busy: fd = unique_fd(); return open_result::busy;
        case platform::lock_result::failed: break;
    }
    const int saved = errno;
    fd = unique_fd();
    errno = saved;
    return open_result::lock_failed;
}

std::optional<int> open_data(run_output& run, const std::string& path, const char* what,
                             const char* open_failed, data_file& file) {
    file.fd = platform::open_read(path);
    if (!file.fd.valid()) {
        report_errno(run, open_failed);
        return STATUS_FAIL;
    }
    if (!platform::query(file.fd.get(), file.info)) {
        report_errno(run, "Failed to stat file?");
        return error_exit(run);
    }
    std::array<std::uint8_t, 1> probe{};
    if (file.info.regular && (file.info.size != 0 || pread_full(file.fd.get(), probe, 0) == 0))
        return std::nullopt;
    std::fprintf(run.out, "%s '%s' is not a regular file -- refused\n", what, path.c_str());
    return error_exit(run);
}

run_signals::run_signals(std::FILE* out, bool hold) : out_(out) {
    if (hold) held_ = std::make_unique<platform::held_signals>();
}

run_signals::~run_signals() { std::fflush(out_); }

bool run_signals::pending() const { return held_ && held_->pending(); }

bool run_signals::interrupted(run_output& run, const char* when) const {
    if (!pending()) return false;
    clear_progress(run);
    std::fprintf(run.out, "\nInterrupted: the run stops %s\n", when);
    return true;
}

bool fits_size_limit(run_output& run, std::uint64_t need) {
    const auto limit = platform::file_size_limit();
    if (!limit || need <= *limit) return true;
    std::fprintf(run.out,
                 "The run writes files of up to %llu bytes, past this process's file-size limit of "
                 "%llu bytes -- refused\n",
                 static_cast<unsigned long long>(need), static_cast<unsigned long long>(*limit));
    return false;
}

bool admit_output(run_output& run, new_file& file, const std::string& path,
                  const std::vector<platform::file_info>& inputs) {
    std::vector<kept_file> kept;
    for (const platform::file_info& in : inputs) kept.push_back({in, "is an input of this run"});
    for (std::FILE* stream : {run.out, run.err})
        if (platform::file_info o; platform::query(stream, o)) kept.push_back({o, "is where this run's own output goes"});
    return file.admit(run, path, kept);
}

bool finish_writes(run_output& run, const std::vector<unique_fd*>& files, bool wrote) {
    for (unique_fd* f : files)
        if (wrote && !platform::sync_file(f->get())) {
            report_errno(run, "Failed to sync .bin file");
            return false;
        }
    for (unique_fd* f : files)
        if (!f->close()) {
            report_errno(run, "Failed to close .bin file");
            return false;
        }
    return true;
}

#include "corvaner_kit.h"

#include <array>
#include <cerrno>

int error_exit(run_output& run) {
    std::fputs("\nAn error occured whilst processing -- halt.\n", run.out);
    return STATUS_FAIL;
}

void print_start(run_output& run, const patch_window& window) {
    std::fprintf(run.out, "Offset %08llX lies on sector %llu (remainder %llu)\n",
                 static_cast<unsigned long long>(window.offset),
                 static_cast<unsigned long long>(window.first),
                 static_cast<unsigned long long>(window.remainder));
}

void print_size(run_output& run, const char* what, std::uint64_t size) {
    std::fprintf(run.out, "Size of %s file is %llu which takes %llu sectors (roughly)\n", what,
                 static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(size / SECTOR_SIZE + 1));
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

unique_fd open_image(run_output& run, const std::string& path, file_access access) {
    unique_fd bin;
    switch (open_locked(path, access, bin)) {
        case open_result::ok: break;
        case open_result::open_failed: report_errno(run, "Failed to open .bin file"); break;
        case open_result::lock_failed: report_errno(run, "Failed to lock .bin file"); break;
        case open_result::busy:
            std::fprintf(run.out, "Image '%s' is being written by another run -- refused\n", path.c_str());
            break;
    }
    return bin;
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

std::optional<dir_lookup> find_named(run_output& run, int fd_bin, const std::string& name, bool recurse) {
    dir_lookup found = listdir(run, fd_bin, name, recurse);
    std::fputs("\n", run.out);
    if (found.hits == 1) return found;
    std::fprintf(run.out, "Name '%s' was found %d times -- halt\n", printable_text(name).c_str(), found.hits);
    if (found.hits == 0)
        if (const std::string hint = near_miss(fd_bin, name, recurse); !hint.empty()) {
            std::fflush(run.out);
            std::fprintf(run.err, "%s\n", hint.c_str());
            std::fflush(run.err);
        }
    return std::nullopt;
}

run_signals::run_signals(std::FILE* out, bool hold) : out_(out) {
    if (hold) held_ = std::make_unique<platform::held_signals>();
}

run_signals::~run_signals() { std::fflush(out_); }

bool run_signals::pending() const { return held_ && held_->pending(); }

bool run_signals::interrupted(run_output& run, const char* when) const {
    if (!pending()) return false;
    std::fprintf(run.out, "\nInterrupted: the run stops %s\n", when);
    return true;
}

bool fits_ppf2(run_output& run, const run_settings& s, std::uint64_t image_size) {
    if (!s.file_ppf || image_size <= UINT32_MAX) return true;
    std::fprintf(run.out, "Image of %llu bytes is beyond the 4 GiB a PPF 2.0 file can describe -- refused\n",
                 static_cast<unsigned long long>(image_size));
    return false;
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

bool ppf_session::start(run_output& run, const run_settings& s,
                        const std::vector<platform::file_info>& inputs, std::vector<std::uint8_t> diz) {
    const auto& target = ppf_target(s);
    if (!target) return true;
    target_ = *target;
    // The run's own output must not land in the PPF file either.
    std::vector<platform::file_info> outputs;
    for (std::FILE* stream : {run.out, run.err})
        if (platform::file_info o; platform::query(stream, o)) outputs.push_back(o);
    if (!ppf_.create_temporary(run, target_, inputs, outputs)) return false;
    records_ = s.file_ppf3 ? ppf3_records(s.mode_undo != 0, std::move(diz)) : ppf2_records();
    return true;
}

bool ppf_session::begin(run_output& run, int fd_bin, std::uint64_t image_size,
                        const std::optional<std::string>& description) {
    return records_->begin(run, ppf_, fd_bin, image_size, description);
}

bool ppf_session::sectors(run_output& run, std::span<const std::uint8_t> old_bytes,
                          std::span<const std::uint8_t> new_bytes, std::uint64_t first) {
    return records_->sectors(run, ppf_, old_bytes, new_bytes, first);
}

bool ppf_session::finish(run_output& run) {
    if (!records_->end(run, ppf_)) return false;
    if (records_->records() == 0) {
        std::fprintf(run.out, "PPF file '%s' would hold no record: the run changes no byte -- refused\n",
                     target_.c_str());
        return false;
    }
    return ppf_.commit(run);
}

bool write_text_file(run_output& run, const std::string& path, const std::string& text, const char* what,
                     const std::vector<platform::file_info>& inputs) {
    auto fail = [&](const char* step) {
        const std::string message = std::string("Failed to ") + step + " " + what + " '" + path + "'";
        report_errno(run, message.c_str());
        return false;
    };
    std::string target;
    if (!platform::resolve_links(path, target)) return fail("follow");
    platform::file_info info;
    const bool existed = platform::query(target, info);
    for (const platform::file_info& in : inputs)
        if (existed && platform::same_file(in, info)) {
            std::fprintf(run.out, "%s '%s' is an input of this run -- refused\n", what, path.c_str());
            return false;
        }
    const std::string temp = platform::unique_name(platform::folder_of(target), ".corvane-");
    unique_fd fd = platform::create_exclusive(temp, 0644);
    if (!fd.valid()) return fail("create");
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    bool renamed = false;
    unique_fd none;
    if (write_full(fd.get(), bytes) != bytes.size() || !platform::sync_file(fd.get()) || !fd.close() ||
        !platform::replace_file(temp, target, false, renamed, none)) {
        const int saved = errno;
        if (!renamed) (void)platform::remove_file(temp);
        errno = saved;
        return fail("write");
    }
    return true;
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

std::optional<int> open_patch_data(run_state& run, int fd_bin, data_run& d) {
    const run_settings& s = run.settings;
    if (const auto stop = open_data(run, *s.file_patch, "Patch file", "Failed to open patch file", d.patch))
        return stop;
    print_size(run, "patch", d.patch.info.size);
    d.offset = s.offset;
    if (s.offset != 0 || !s.file_name) return std::nullopt;
    d.found = find_named(run, fd_bin, *s.file_name, s.mode_recurse != 0);
    if (!d.found) return STATUS_NAME;
    d.offset = d.found->offset;
    return std::nullopt;
}

std::optional<int> place_window(run_output& run, int fd_bin, data_run& d) {
    // Refuse what cannot be done before anything is written.
    d.window = patch_window::at(d.offset, d.patch.info.size);
    if (!d.window.starts_in_user_data()) {
        std::fprintf(run.out,
                     "Offset %08llX lies %llu bytes into sector %llu, past its %zu bytes "
                     "of user data -- refused\n",
                     static_cast<unsigned long long>(d.window.offset),
                     static_cast<unsigned long long>(d.window.remainder),
                     static_cast<unsigned long long>(d.window.first), USER_DATA_SIZE);
        return error_exit(run);
    }
    if (!platform::query(fd_bin, d.image)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    return std::nullopt;
}

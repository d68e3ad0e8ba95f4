#include "run/kit.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "format/ppf_layout.h"
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

namespace {

bool begins_with_sync(std::span<const std::uint8_t> head) {
    return head.size() >= SYNC_PATTERN.size() && std::equal(SYNC_PATTERN.begin(), SYNC_PATTERN.end(), head.begin());
}

// The first bytes of a regular file, at most CUE_SHEET_LIMIT; nothing for
// another kind of file or one that cannot be read.
std::vector<std::uint8_t> head_of(const std::string& path, bool& opened) {
    std::vector<std::uint8_t> head;
    const unique_fd fd = platform::open_read(path);
    platform::file_info info;
    opened = fd.valid();
    if (!opened || !platform::query(fd.get(), info) || !info.regular) return head;
    head.resize(static_cast<std::size_t>(std::min(info.size, CUE_SHEET_LIMIT)));
    head.resize(pread_full(fd.get(), head, 0));
    return head;
}

std::string_view text_of(const std::vector<std::uint8_t>& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace

bool is_cue_file(const std::string& path) {
    bool opened = false;
    const std::vector<std::uint8_t> head = head_of(path, opened);
    if (looks_like_cue_sheet(text_of(head))) return true;
    return is_cue_sheet(path) && (!opened || !begins_with_sync(head));
}

bool looks_like_image(const std::string& path) {
    if (is_cue_file(path)) return true;
    const unique_fd fd = platform::open_read(path);
    std::array<std::uint8_t, SYNC_SIZE> sync{};
    for (const std::uint64_t sector : {0U, 16U})
        if (fd.valid() && pread_full(fd.get(), sync, sector * SECTOR_SIZE) == sync.size() && begins_with_sync(sync))
            return true;
    return false;
}

bool looks_like_ppf(const std::string& path) {
    const unique_fd fd = platform::open_read(path);
    std::array<std::uint8_t, 5> magic{};
    if (!fd.valid() || pread_full(fd.get(), magic, 0) != magic.size()) return false;
    const std::string_view text(reinterpret_cast<const char*>(magic.data()), magic.size());
    return std::find(PPF_MAGIC.begin(), PPF_MAGIC.end(), text) != PPF_MAGIC.end();
}

std::optional<int> read_cue_sheet(run_output& run, const std::string& path, cue_sheet& sheet) {
    data_file sheet_file;
    if (open_locked(path, file_access::read, sheet_file.fd) != open_result::ok ||
        !platform::query(sheet_file.fd.get(), sheet_file.info)) {
        report_errno(run, "Failed to open cue sheet");
        return STATUS_FAIL;
    }
    if (sheet_file.info.size > CUE_SHEET_LIMIT) {
        std::fprintf(run.out, "Cue sheet '%s' is longer than 64 KiB: not a cue sheet -- refused\n", path.c_str());
        return STATUS_FAIL;
    }
    std::vector<std::uint8_t> text(static_cast<std::size_t>(sheet_file.info.size));
    if (pread_full(sheet_file.fd.get(), text, 0) != text.size()) {
        report_errno(run, "Failed to read cue sheet");
        return STATUS_FAIL;
    }
    cue_error error;
    if (!read_cue(text_of(text), sheet, error)) return refuse_cue_line(run, path, error.line, error.what);
    return std::nullopt;
}

int refuse_cue_line(run_output& run, const std::string& path, std::size_t line, const std::string& what) {
    std::fprintf(run.out, "Cue sheet '%s' line %zu: %s -- refused\n", path.c_str(), line, what.c_str());
    return STATUS_FAIL;
}

std::string cue_file_path(const std::string& path, const cue_file& file) {
    return platform::is_absolute(file.name) ? file.name : platform::folder_of(path) + file.name;
}

std::optional<int> image_of(run_output& run, const std::string& given, data_track tracks, std::string& image,
                            std::string* track_after) {
    image = given;
    if (!is_cue_file(given)) return std::nullopt;
    const auto refuse_line = [&](std::size_t line, const std::string& what) {
        return refuse_cue_line(run, given, line, what);
    };
    cue_sheet sheet;
    if (const auto stop = read_cue_sheet(run, given, sheet)) return stop;
    const auto data = std::find_if(sheet.tracks.begin(), sheet.tracks.end(),
                                   [](const cue_track& t) { return t.mode != track_mode::audio; });
    if (data == sheet.tracks.end()) {
        std::fprintf(run.out, "Cue sheet '%s' holds no data track -- refused\n", given.c_str());
        return STATUS_FAIL;
    }
    const cue_file& file = sheet.files[data->file];
    const std::string number = std::to_string(data->number);
    if (tracks == data_track::mode2 && data->mode != track_mode::mode2)
        return refuse_line(data->line, "track " + number + " is " + track_mode_name(data->mode) +
                                      ", and this run writes Mode 2 Form 1 sectors: it takes MODE2/2352");
    if (!data->started) return refuse_line(data->line, "track " + number + " has no INDEX 01: where it starts is not known");
    const bool first_in_file = data == sheet.tracks.begin() || std::prev(data)->file != data->file;
    if (!first_in_file || data->start != 0)
        return refuse_line(data->line, "track " + number + " begins " +
                                      (first_in_file ? "at sector " + std::to_string(data->start) + " of '" + file.name + "'"
                                                     : "after another track of '" + file.name + "'") +
                                      ", not at its start: the image is read from its first sector");
    image = cue_file_path(given, file);
    const auto next = std::next(data);
    if (track_after != nullptr && next != sheet.tracks.end() && next->file == data->file)
        *track_after = "track " + std::to_string(next->number) + " of the cue sheet '" + given + "' (line " +
                       std::to_string(next->line) + ")";
    if (const unique_fd probe = platform::open_read(image); !probe.valid())
        return refuse_line(file.line, "cannot open '" + image + "': " + platform::error_text(errno));
    return std::nullopt;
}

bool refuse_iso_image(run_output& run, int fd, const std::string& path) {
    constexpr std::uint64_t ISO_DESCRIPTOR_ID = VOLUME_DESCRIPTOR_SECTOR * USER_DATA_SIZE + descriptor_field::ID;
    std::array<std::uint8_t, STANDARD_ID.size()> id{};
    std::array<std::uint8_t, 12> sync{};
    if (pread_full(fd, id, ISO_DESCRIPTOR_ID) != id.size() || !std::equal(id.begin(), id.end(), STANDARD_ID.begin()))
        return false;
    if (pread_full(fd, sync, VOLUME_DESCRIPTOR_SECTOR * SECTOR_SIZE) == sync.size() && begins_with_sync(sync)) return false;
    std::fprintf(run.out, "'%s' holds 2048-byte sectors (an ISO image), not raw 2352-byte sectors\n", path.c_str());
    return true;
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
    tprintf(trace_stream(run), "\n");
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

bool fits_size_limit(run_output& run, std::uint64_t need) {
    const auto limit = platform::file_size_limit();
    if (!limit || need <= *limit) return true;
    std::fprintf(run.out,
                 "The run writes files of up to %llu bytes, past this process's file-size limit of "
                 "%llu bytes -- refused\n",
                 static_cast<unsigned long long>(need), static_cast<unsigned long long>(*limit));
    return false;
}

bool write_text_file(run_output& run, const std::string& path, const std::string& text, const char* what,
                     const std::vector<platform::file_info>& inputs) {
    new_file file(what);
    std::vector<kept_file> kept;
    for (const platform::file_info& in : inputs) kept.push_back({in, "is an input of this run"});
    if (!file.admit(run, path, kept) || !file.create(run)) return false;
    const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (write_full(file.fd(), bytes) != bytes.size()) {
        const std::string message = std::string("Failed to write ") + what + " '" + path + "'";
        report_errno(run, message.c_str());
        return false;
    }
    return file.commit(run);
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

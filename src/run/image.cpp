#include "run/image.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <vector>

#include "format/cue.h"
#include "format/iso9660.h"
#include "run/kit.h"

namespace {

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
    return is_cue_sheet(path) && (!opened || !has_sync(head));
}

bool looks_like_image(const std::string& path) {
    if (is_cue_file(path)) return true;
    const unique_fd fd = platform::open_read(path);
    std::array<std::uint8_t, SYNC_SIZE> sync{};
    for (const std::uint64_t sector : {0U, 16U})
        if (fd.valid() && pread_full(fd.get(), sync, sector * SECTOR_SIZE) == sync.size() && has_sync(sync))
            return true;
    return false;
}

void hint_swapped_operands(run_output& run, const std::string& data, const std::string& image) {
    if (looks_like_image(image) || !looks_like_image(data)) return;
    std::fflush(run.out);
    std::fprintf(run.err, "The operands look swapped: '%s' is no disc image and '%s' is one; the image comes last\n",
                 image.c_str(), data.c_str());
    std::fflush(run.err);
}

std::optional<int> read_cue_sheet(run_output& run, const std::string& path, cue_sheet& sheet) {
    unique_fd fd;
    platform::file_info info;
    if (open_locked(path, file_access::read, fd) != open_result::ok || !platform::query(fd.get(), info)) {
        report_errno(run, "Failed to open cue sheet");
        return STATUS_FAIL;
    }
    if (info.size > CUE_SHEET_LIMIT) {
        std::fprintf(run.out, "Cue sheet '%s' is longer than 64 KiB: not a cue sheet -- refused\n", path.c_str());
        return STATUS_FAIL;
    }
    std::vector<std::uint8_t> text(static_cast<std::size_t>(info.size));
    if (pread_full(fd.get(), text, 0) != text.size()) {
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

namespace {

// The file the sheet names, as written.
std::string cue_file_as_written(const std::string& path, const cue_file& file) {
    return platform::is_absolute(file.name) ? file.name : platform::folder_of(path) + file.name;
}

bool same_but_case(std::string_view a, std::string_view b) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return fold(x) == fold(y); });
}

// The files of the folder of `wanted` whose names match its own but for
// case, when nothing is found by its name as written.
std::vector<std::string> case_blind_matches(const std::string& wanted) {
    std::vector<std::string> matches;
    if (platform::file_info info; platform::query(wanted, info)) return matches;
    const std::string folder = platform::folder_of(wanted);
    const std::string_view name = std::string_view(wanted).substr(folder.size());
    std::vector<std::string> names;
    if (!platform::folder_names(folder, names)) return matches;
    std::sort(names.begin(), names.end());
    for (const std::string& n : names)
        if (same_but_case(n, name)) matches.push_back(folder + n);
    return matches;
}

}  // namespace

std::string cue_file_path(const std::string& path, const cue_file& file) {
    const std::string wanted = cue_file_as_written(path, file);
    const std::vector<std::string> matches = case_blind_matches(wanted);
    return matches.size() == 1 ? matches[0] : wanted;
}

std::string cue_file_unopened(const std::string& path, const cue_file& file, int error) {
    const std::string wanted = cue_file_as_written(path, file);
    const std::vector<std::string> matches = case_blind_matches(wanted);
    if (matches.size() < 2)
        return "cannot open '" + (matches.empty() ? wanted : matches[0]) + "': " + platform::error_text(error);
    std::string names;
    for (const std::string& m : matches) names += (names.empty() ? "'" : ", '") + m + "'";
    return "'" + wanted + "' is not there, and " + std::to_string(matches.size()) +
           " files match it but for case: " + names + "; write the one meant as it is named";
}

std::optional<int> image_of(run_output& run, const std::string& given, data_track tracks, opened_image& image) {
    image.path = given;
    image.sheet.reset();
    image.track_after.clear();
    image.sheet_files.clear();
    if (!is_cue_file(given)) return std::nullopt;
    image.sheet = given;
    const auto refuse_line = [&](std::size_t line, const std::string& what) {
        return refuse_cue_line(run, given, line, what);
    };
    cue_sheet sheet;
    if (const auto stop = read_cue_sheet(run, given, sheet)) return stop;
    const auto keep = [&](const std::string& path) {
        if (platform::file_info info; platform::query(path, info)) image.sheet_files.push_back(info);
    };
    keep(given);
    for (const cue_file& f : sheet.files) keep(cue_file_path(given, f));
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
    image.path = cue_file_path(given, file);
    const auto next = std::next(data);
    if (next != sheet.tracks.end() && next->file == data->file)
        image.track_after = "track " + std::to_string(next->number) + " of the cue sheet '" + given + "' (line " +
                       std::to_string(next->line) + ")";
    if (const unique_fd probe = platform::open_read(image.path); !probe.valid())
        return refuse_line(file.line, cue_file_unopened(given, file, errno));
    return std::nullopt;
}

bool open_image(run_output& run, opened_image& image) {
    switch (open_locked(image.path, image.writes ? file_access::write : file_access::read, image.fd)) {
        case open_result::ok: return true;
        case open_result::open_failed: report_errno(run, "Failed to open .bin file"); break;
        case open_result::lock_failed: report_errno(run, "Failed to lock .bin file"); break;
        case open_result::busy:
            std::fprintf(run.out, "Image '%s' is being written by another run -- refused\n", image.path.c_str());
            break;
    }
    return false;
}

bool is_iso_image(int fd) {
    constexpr std::uint64_t ISO_DESCRIPTOR_ID = VOLUME_DESCRIPTOR_SECTOR * USER_DATA_SIZE + descriptor_field::ID;
    std::array<std::uint8_t, STANDARD_ID.size()> id{};
    std::array<std::uint8_t, 12> sync{};
    if (pread_full(fd, id, ISO_DESCRIPTOR_ID) != id.size() || !std::equal(id.begin(), id.end(), STANDARD_ID.begin()))
        return false;
    return pread_full(fd, sync, VOLUME_DESCRIPTOR_SECTOR * SECTOR_SIZE) != sync.size() || !has_sync(sync);
}

bool refuse_iso_image(run_output& run, int fd, const std::string& path) {
    if (!is_iso_image(fd)) return false;
    std::fprintf(run.out, "'%s' holds 2048-byte sectors (an ISO image), not raw 2352-byte sectors\n", path.c_str());
    return true;
}

std::optional<sheet_beside> sheet_of_dump(const opened_image& image) {
    // The sheet given, else one named as the image but ".cue" beside it.
    std::string path = image.sheet.value_or("");
    if (path.empty()) {
        const std::size_t dot = image.path.find_last_of('.');
        const std::size_t folder = platform::folder_of(image.path).size();
        path = (dot == std::string::npos || dot < folder ? image.path : image.path.substr(0, dot)) + ".cue";
    }
    bool opened = false;
    const std::vector<std::uint8_t> text = head_of(path, opened);
    cue_sheet sheet;
    cue_error error;
    if (!opened || !looks_like_cue_sheet(text_of(text)) || !read_cue(text_of(text), sheet, error)) return std::nullopt;
    sheet_beside found{path, {}, {}};
    for (const cue_file& f : sheet.files) {
        const unique_fd fd = platform::open_read(cue_file_path(path, f));
        platform::file_info info;
        if (!fd.valid() || !platform::query(fd.get(), info)) return std::nullopt;
        found.file_sizes.push_back(info.size);
    }
    // One file of several tracks: the first track alone, up to the second's
    // first index or up to its INDEX 01, as splitting tools cut it.
    if (sheet.files.size() == 1 && sheet.tracks.size() > 1)
        for (const std::uint64_t at : {sheet.tracks[1].index, sheet.tracks[1].start})
            found.data_track_sizes.push_back(at * SECTOR_SIZE);
    return found;
}

#include "format/cue.h"

#include <algorithm>
#include <string>

namespace {

constexpr std::string_view BYTE_ORDER_MARK = "\xEF\xBB\xBF";  // UTF-8

// The words of a line; a word in double quotes may hold spaces (an
// unclosed quote runs to the end of the line).
std::vector<std::string> words_of(std::string_view line) {
    std::vector<std::string> words;
    std::size_t at = 0;
    for (;;) {
        at = line.find_first_not_of(" \t", at);
        if (at == std::string_view::npos) return words;
        const bool quoted = line[at] == '"';
        const std::size_t from = at + (quoted ? 1 : 0);
        const std::size_t end =
            std::min(quoted ? line.find('"', from) : line.find_first_of(" \t", from), line.size());
        words.emplace_back(line.substr(from, end - from));
        at = end + 1;  // past the closing quote or the blank
    }
}

// One to three decimal digits, at most `max`.
bool read_number(std::string_view word, unsigned max, unsigned& value) {
    if (word.empty() || word.size() > 3 ||
        !std::all_of(word.begin(), word.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    value = 0;
    for (const char c : word) value = value * 10 + static_cast<unsigned>(c - '0');
    return value <= max;
}

// A position or a length, minutes:seconds:frames, in sectors.
bool read_msf(std::string_view word, std::uint64_t& sectors) {
    const auto first = word.find(':');
    const auto second = word.find(':', first + 1);
    unsigned m = 0, s = 0, f = 0;
    if (second == std::string_view::npos || !read_number(word.substr(0, first), 999, m) ||
        !read_number(word.substr(first + 1, second - first - 1), 59, s) ||
        !read_number(word.substr(second + 1), 74, f))
        return false;
    sectors = (std::uint64_t{m} * 60 + s) * 75 + f;
    return true;
}

bool passed_over(const std::string& key) {
    static const char* const keys[] = {"REM",       "CATALOG",    "CDTEXTFILE", "TITLE",
                                       "PERFORMER", "SONGWRITER", "ISRC",       "FLAGS"};
    return std::any_of(std::begin(keys), std::end(keys), [&](const char* k) { return key == k; });
}

}  // namespace

bool is_cue_sheet(std::string_view path) {
    constexpr std::string_view ending = ".cue";
    return path.size() >= ending.size() &&
           std::equal(ending.begin(), ending.end(), path.end() - ending.size(),
                      [](char a, char b) { return a == (b >= 'A' && b <= 'Z' ? b - 'A' + 'a' : b); });
}

const char* track_mode_name(track_mode mode) {
    switch (mode) {
        case track_mode::mode1: return "MODE1/2352";
        case track_mode::mode2: return "MODE2/2352";
        case track_mode::audio: break;
    }
    return "AUDIO";
}

bool looks_like_cue_sheet(std::string_view head) {
    static const char* const keys[] = {"FILE",       "TRACK",     "INDEX",      "PREGAP",
                                       "POSTGAP",    "CATALOG",   "CDTEXTFILE", "TITLE",
                                       "PERFORMER",  "SONGWRITER", "ISRC",      "FLAGS"};
    if (head.starts_with(BYTE_ORDER_MARK)) head.remove_prefix(BYTE_ORDER_MARK.size());
    for (std::size_t at = 0; at < head.size();) {
        const std::size_t end = std::min(head.find('\n', at), head.size());
        const std::string_view line = head.substr(at, end - at);
        at = end + 1;
        const std::size_t from = line.find_first_not_of(" \t\r");
        if (from == std::string_view::npos) continue;
        const std::string_view word = line.substr(from, line.find_first_of(" \t\r", from) - from);
        if (word == "REM") continue;
        return std::any_of(std::begin(keys), std::end(keys), [&](const char* k) { return word == k; });
    }
    return false;
}

bool read_cue(std::string_view text, cue_sheet& sheet, cue_error& error) {
    std::size_t line_number = 0;
    const auto fail = [&](std::string what) {
        error = {line_number, std::move(what)};
        return false;
    };
    if (text.starts_with(BYTE_ORDER_MARK)) text.remove_prefix(BYTE_ORDER_MARK.size());
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::vector<std::string> w = words_of(line);
        if (w.empty() || passed_over(w[0])) continue;
        const std::string& key = w[0];
        // The track that INDEX, PREGAP and POSTGAP lines belong to: the last
        // one, when it is in the last file.
        cue_track* track = sheet.tracks.empty() || sheet.tracks.back().file + 1 != sheet.files.size()
                               ? nullptr
                               : &sheet.tracks.back();
        if (key == "FILE") {
            if (w.size() != 3 || w[2] != "BINARY")
                return fail("FILE takes a name and the type BINARY (raw sectors)");
            sheet.files.push_back({w[1], line_number});
        } else if (key == "TRACK") {
            cue_track t;
            if (sheet.files.empty() || w.size() != 3 || !read_number(w[1], 99, t.number) ||
                t.number == 0)
                return fail("TRACK takes a number from 1 to 99 and a mode, after a FILE line");
            if (w[2] == "MODE1/2352") t.mode = track_mode::mode1;
            else if (w[2] == "MODE2/2352") t.mode = track_mode::mode2;
            else if (w[2] == "AUDIO") t.mode = track_mode::audio;
            else return fail("unknown track mode " + w[2] + " (MODE1/2352, MODE2/2352 or AUDIO)");
            t.file = sheet.files.size() - 1;
            t.line = line_number;
            sheet.tracks.push_back(t);
        } else if (key == "INDEX" || key == "PREGAP" || key == "POSTGAP") {
            const bool index = key == "INDEX";
            unsigned number = 0;
            std::uint64_t sectors = 0;
            if (track == nullptr || w.size() != (index ? 3U : 2U) ||
                (index && !read_number(w[1], 99, number)) || !read_msf(w.back(), sectors))
                return fail(key + (index ? " takes a number and MM:SS:FF" : " takes MM:SS:FF") +
                            ", after a TRACK line of its FILE");
            if (index && !track->indexed) track->index = sectors;
            track->indexed = track->indexed || index;
            if (index && number == 1 && !track->started) track->start = sectors;
            track->started = track->started || (index && number == 1);
            if (key == "PREGAP") track->pregap = sectors;
            if (key == "POSTGAP") track->postgap = sectors;
        } else {
            return fail("unknown keyword " + key);
        }
    }
    return true;
}

bool lay_out_cue(cue_sheet& sheet, const std::vector<std::uint64_t>& sectors, cue_error& error) {
    auto& tracks = sheet.tracks;
    const auto same_file = [&](std::size_t a, std::size_t b) {
        return tracks[a].file == tracks[b].file;
    };
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        cue_track& t = tracks[i];
        if (!t.started) {
            error = {t.line, "track " + std::to_string(t.number) + " has no INDEX 01: where it starts is not known"};
            return false;
        }
        if (i == 0 || !same_file(i - 1, i)) continue;  // the file's first track starts with it
        t.first = t.index;
        if (t.first < tracks[i - 1].first || t.first > sectors[t.file]) {
            error = {t.line, "track " + std::to_string(t.number) +
                                 " starts before the track before it or past the end of its file"};
            return false;
        }
    }
    std::uint64_t disc = 0;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        cue_track& t = tracks[i];
        const bool last_in_file = i + 1 == tracks.size() || !same_file(i, i + 1);
        t.count = (last_in_file ? sectors[t.file] : tracks[i + 1].first) - t.first;
        disc += t.pregap;
        t.disc_first = disc;
        disc += t.count + t.postgap;
    }
    return true;
}

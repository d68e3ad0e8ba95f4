// Cue sheets: the files of a disc and the tracks in them, read from the
// sheet's text, then laid out on the disc once the files' lengths are known.
// Opens nothing and prints nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// True when `path` names a cue sheet: it ends in ".cue", in any case.
bool is_cue_sheet(std::string_view path);

// True when `head`, the first bytes of a file, is the start of a cue sheet:
// after an optional UTF-8 byte-order mark and any blank and REM lines, its
// first word is a keyword of a cue sheet.
bool looks_like_cue_sheet(std::string_view head);

enum class track_mode { mode1, mode2, audio };  // MODE1/2352, MODE2/2352, AUDIO

// A cue sheet is at most a page of text: a longer file is something else.
inline constexpr std::uint64_t CUE_SHEET_LIMIT = 64 * 1024;

// How the sheet names a track's mode.
const char* track_mode_name(track_mode mode);

struct cue_track {
    unsigned number = 0;
    track_mode mode = track_mode::mode1;
    std::size_t file = 0;       // index into cue_sheet::files
    std::size_t line = 0;       // the TRACK line, counted from 1
    std::uint64_t index = 0;    // sector in its file of its first INDEX
    bool indexed = false;       // an INDEX line was read
    bool started = false;       // an INDEX 01 line was read
    std::uint64_t start = 0;    // sector in its file of its INDEX 01
    std::uint64_t pregap = 0;   // sectors before it that are in no file (PREGAP)
    std::uint64_t postgap = 0;  // sectors after it that are in no file (POSTGAP)
    // Set by lay_out_cue: its sectors in its file, and the disc's number of
    // its first one.
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::uint64_t disc_first = 0;
};

struct cue_file {
    std::string name;  // as the sheet gives it
    std::size_t line = 0;
};

struct cue_sheet {
    std::vector<cue_file> files;
    std::vector<cue_track> tracks;
};

// Why a sheet cannot be read: the line (from 1) and what is wrong with it.
struct cue_error {
    std::size_t line = 0;
    std::string what;
};

// Reads the text of a cue sheet, after an optional UTF-8 byte-order mark.
// FILE (type BINARY), TRACK (MODE1/2352, MODE2/2352 or AUDIO), INDEX,
// PREGAP and POSTGAP lines are read; REM, CATALOG, CDTEXTFILE, TITLE,
// PERFORMER, SONGWRITER, ISRC and FLAGS lines are passed over. False, with
// `error` set, for anything else.
bool read_cue(std::string_view text, cue_sheet& sheet, cue_error& error);

// Gives every track its sectors, from `sectors` (the whole sectors of each
// file): a track runs from its first INDEX (the first track of a file from
// the file's start) to the next track of its file, or the file's end. The
// files' sectors follow one another on the disc, with each track's PREGAP
// and POSTGAP sectors between. False, with `error` set, for a track with no
// INDEX 01 or one that starts before the track before it or past its
// file's end.
bool lay_out_cue(cue_sheet& sheet, const std::vector<std::uint64_t>& sectors, cue_error& error);

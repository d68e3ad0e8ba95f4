// The image a run works on: the file it was given, or the data track's file
// of the cue sheet it was given, found, checked and opened before the mode's
// run function is called, and handed to it as one value.
//
// Before an image is open, what is wrong with it ends the run with its
// reason alone (no halt line): a cue sheet that cannot be read or names no
// fitting data track (image_of), an image that cannot be opened or locked
// (open_image), an ISO image (refuse_iso_image).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/output.h"
#include "ops/doctor.h"
#include "platform/platform.h"

struct cue_file;
struct cue_sheet;

// The image of a run, as the dispatch prepares it.
struct opened_image {
    std::string path;                  // the file the run works on
    std::optional<std::string> sheet;  // the cue sheet given for it, if one was
    // The track that follows the data track in the same file, in a few words
    // ("track 2 of the cue sheet 'x.cue' (line 4)"): the file cannot grow
    // without moving it. Empty when none does.
    std::string track_after;
    // The cue sheet and every file it names that exists: inputs of the run,
    // which no output may replace.
    std::vector<platform::file_info> sheet_files;
    bool writes = false;  // the run writes it: open read-write and locked
    unique_fd fd;         // open and locked when the mode's row asks for it; else invalid
};

// The tracks a run takes for its image when it is given a cue sheet.
enum class data_track {
    mode2,  // MODE2/2352: the run writes (or checks) Mode 2 Form 1 sectors
    any,    // MODE1/2352 or MODE2/2352
};

// Finds the file a run works on for the image `given`: the file itself, or,
// for a cue sheet, the FILE of the sheet's first data track, which must be
// of the kind `tracks` says and begin at the file's first sector. The
// sheet's other files are not opened. Sets path, sheet and track_after of
// `image` (and sheet_files); returns the exit status when refused (after saying why, naming
// the sheet's line).
std::optional<int> image_of(run_output& run, const std::string& given, data_track tracks, opened_image& image);

// Opens image.path, read-write when image.writes, and takes its lock. False
// after saying why not: "Failed to open .bin file" (or to lock it), or that
// another run is writing it.
bool open_image(run_output& run, opened_image& image);

// An image of 2048-byte sectors (an ISO image): sector 16 has no sync, and
// bytes 32769..32773 are "CD001".
bool is_iso_image(int fd);

// An ISO image given where raw 2352-byte sectors are read. Says so and
// returns true.
bool refuse_iso_image(run_output& run, int fd, const std::string& path);

// A cue sheet, told by its first bytes: its first keyword (after an
// optional byte-order mark, blank lines and REM lines) is one of a cue
// sheet. A file named ".cue" that is no raw image (it does not begin with
// a sector's sync) is taken for a damaged cue sheet too, and so is a missing
// one, so that what is wrong with it is said as of a cue sheet.
bool is_cue_file(const std::string& path);

// A file that holds a disc image: a cue sheet, or raw sectors (a sector
// sync at the start of the file or of sector 16).
bool looks_like_image(const std::string& path);

// Says on err that the operands look swapped when `image`, the operand
// taken for the image, is none and `data`, the one before it, is one.
void hint_swapped_operands(run_output& run, const std::string& data, const std::string& image);

// Reads and parses the cue sheet `path` (opened with a shared lock). Returns
// the exit status when it cannot: a failed open or read, a file longer than
// any cue sheet, a line it cannot read (said as refuse_cue_line says it).
std::optional<int> read_cue_sheet(run_output& run, const std::string& path, cue_sheet& sheet);

// "Cue sheet 'PATH' line N: WHAT -- refused"; returns the failure status.
int refuse_cue_line(run_output& run, const std::string& path, std::size_t line, const std::string& what);

// The cue sheet of a dump, for telling what the dump is: the sheet the run
// was given, or one named as the image with ".cue" beside it; with the sizes
// of the files it names. Nothing when there is none that reads whole.
std::optional<sheet_beside> sheet_of_dump(const opened_image& image);

// Where a file the sheet `path` names lies: a relative name is taken from
// the sheet's folder. A name that names nothing as written stands for the
// one file of its folder named so but for the case of its letters A to Z
// (sheets are often made on Windows, where case does not count).
std::string cue_file_path(const std::string& path, const cue_file& file);

// Why a file the sheet `path` names cannot be opened (the open failed with
// `error`): several files of its folder match its name but for case (named),
// or the system's reason.
std::string cue_file_unopened(const std::string& path, const cue_file& file, int error);

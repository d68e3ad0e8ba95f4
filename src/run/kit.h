// The run kit: what every run mode shares, below all of them. Exit statuses
// and the halt line, the image (or the cue sheet standing for it) opened and
// locked, data files, finding a file by name, held signals, and finishing
// writes.
//
// When the halt line prints. A run that fails prints its reason, then
// "An error occured whilst processing -- halt." (error_exit), once its work
// has begun: from the moment its image is open (and, for the modes that
// take one, its data file too), whatever fails ends with the halt line.
// These failures print their reason alone and return STATUS_FAIL (or
// STATUS_NAME) straight away, leaving every file as it was:
//   - refusals of the command line, and of a drop of files;
//   - what stands for the image before it is open: its cue sheet
//     (image_of), the image or a data file that cannot be opened or locked
//     (open_image, open_locked, open_data), an ISO image (refuse_iso_image);
//   - a name found other than once (find_named: STATUS_NAME);
//   - the set-up of a check run (its files, cue sheet and ranges), and the
//     creation of a PPF file's temporary (ppf_session::start).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "format/cue.h"
#include "format/iso9660.h"
#include "run/settings.h"

// Exit statuses of a run.
inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_NAME = 1;    // -n name not found exactly once
inline constexpr int STATUS_BAD = 1;     // -c: bad sectors remain
inline constexpr int STATUS_FAIL = 255;  // every failure (exit(-1) as the shell sees it)

// Prints the halt line and returns the failure status.
int error_exit(run_output& run);

// How a run uses a file it opens.
enum class file_access {
    read,   // read-only, with a shared lock that keeps writers out while it reads
    write,  // read-write, locked against every other run
};

enum class open_result {
    ok,
    busy,         // another run holds the lock
    open_failed,  // errno says why
    lock_failed,  // errno says why
};

// Opens `path` for `access` and takes its lock. `fd` is left invalid unless
// the result is ok.
open_result open_locked(const std::string& path, file_access access, unique_fd& fd);

// Opens the run's image as open_locked does and reports why not: "Failed to
// open .bin file" (or to lock it), or that another run is writing it.
// Returns an invalid descriptor after reporting.
unique_fd open_image(run_output& run, const std::string& path, file_access access);

// A cue sheet, told by its first bytes: its first keyword (after an
// optional byte-order mark, blank lines and REM lines) is one of a cue
// sheet. A file named ".cue" that is no raw image (it does not begin with
// a sector's sync) is taken for a damaged cue sheet too, and so is a missing
// one, so that what is wrong with it is said as of a cue sheet.
bool is_cue_file(const std::string& path);

// A file that holds a disc image: a cue sheet, or raw sectors (a sector
// sync at the start of the file or of sector 16).
bool looks_like_image(const std::string& path);

// A PPF file (1.0, 2.0 or 3.0), told by its magic.
bool looks_like_ppf(const std::string& path);

// Reads and parses the cue sheet `path` (opened with a shared lock). Returns
// the exit status when it cannot: a failed open or read, a file longer than
// any cue sheet, a line it cannot read (said as refuse_cue_line says it).
std::optional<int> read_cue_sheet(run_output& run, const std::string& path, cue_sheet& sheet);

// "Cue sheet 'PATH' line N: WHAT -- refused"; returns STATUS_FAIL.
int refuse_cue_line(run_output& run, const std::string& path, std::size_t line, const std::string& what);

// Where a file the sheet `path` names lies: a relative name is taken from
// the sheet's folder.
std::string cue_file_path(const std::string& path, const cue_file& file);

// The tracks a run takes for its image when it is given a cue sheet.
enum class data_track {
    mode2,  // MODE2/2352: the run writes (or checks) Mode 2 Form 1 sectors
    any,    // MODE1/2352 or MODE2/2352
};

// The file a run works on for the image it was given: the file itself, or,
// for a cue sheet, the FILE of the sheet's first data track, which must be
// of the kind `tracks` says and begin at the file's first sector. The
// sheet's other files are not opened. Returns the exit status when refused
// (after saying why, naming the sheet's line).
// `track_after`, where given, is set to the track that follows the data
// track in its file ("track 2 of the cue sheet 'x.cue' (line 4)"), or left
// empty.
std::optional<int> image_of(run_output& run, const std::string& given, data_track tracks, std::string& image,
                            std::string* track_after = nullptr);

// An image of 2048-byte sectors (an ISO image) given where raw 2352-byte
// sectors are read: sector 16 has no sync, and bytes 32769..32773 are
// "CD001". Says so and returns true.
bool refuse_iso_image(run_output& run, int fd, const std::string& path);

// A data file of the run (the patch, the original of a verify run, a PPF
// file to apply, a second image), open and measured.
struct data_file {
    unique_fd fd;
    platform::file_info info;
};

// Opens a data file. Data files must be plain files whose size says how much
// they hold: a pipe, a device or a /proc file (size 0, content on reading)
// would be taken as empty. `what` names it in the refusal, `open_failed` is
// the failed open's report. Returns the exit status when the run stops here.
std::optional<int> open_data(run_output& run, const std::string& path, const char* what,
                             const char* open_failed, data_file& file);

// Looks `name` up in the image's directory (printing the listing as it goes)
// and returns the one record found, or nothing after printing that it was
// found another number of times (the run then ends with STATUS_NAME).
std::optional<dir_lookup> find_named(run_output& run, int fd_bin, const std::string& name, bool recurse);

// Signals held while a run writes: from before its first write (or the PPF
// file's creation) to after its last. The run's output is flushed before
// they are let through. `hold` false holds nothing (a run that only reads).
class run_signals {
public:
    run_signals(std::FILE* out, bool hold);
    run_signals(const run_signals&) = delete;
    run_signals& operator=(const run_signals&) = delete;
    ~run_signals();

    // A signal arrived since the run began holding them.
    bool pending() const;
    // The held signals themselves, for loops below the run kit.
    const platform::held_signals* held() const { return held_.get(); }

    // When one is pending, prints "\nInterrupted: the run stops WHEN" and
    // returns true.
    bool interrupted(run_output& run, const char* when) const;

private:
    std::FILE* out_;
    std::unique_ptr<platform::held_signals> held_;
};

// Refuses, before a run's first write, files of `need` bytes past the
// process's file-size limit (0: nothing). Prints why and returns false.
bool fits_size_limit(run_output& run, std::uint64_t need);

// Writes `text` to the file `path` the user named (not one of `inputs`) as
// a new_file: under a temporary name beside it, put in its place once whole
// and on disk. `what` names it in the reports. False after saying why not.
bool write_text_file(run_output& run, const std::string& path, const std::string& text, const char* what,
                     const std::vector<platform::file_info>& inputs);

// Ends the writes of a run: every descriptor of `files` synced (when the
// run wrote them) and closed. False after reporting the first failure
// ("Failed to sync .bin file", "Failed to close .bin file").
bool finish_writes(run_output& run, const std::vector<unique_fd*>& files, bool wrote);



// The run kit: what every run mode shares, below all of them. Exit statuses
// and the halt line, files opened and locked, data files, held signals, the
// size limit, and finishing writes. The image a run works on is run/image.h.
//
// When the halt line prints. A run that fails prints its reason, then
// "An error occured whilst processing -- halt." (error_exit), once its work
// has begun: from the moment its image is open (and, for the modes that
// take one, its data file too), whatever fails ends with the halt line.
// These failures print their reason alone and return STATUS_FAIL (or
// STATUS_NAME) straight away, leaving every file as it was:
//   - refusals of the command line, and of a drop of files;
//   - what stands for the image before it is open: its cue sheet, the
//     image that cannot be opened or locked, an ISO image (run/image.h); a
//     data file that cannot be opened or locked (open_locked, open_data);
//   - a name found other than once (format/iso9660.h find_named: STATUS_NAME);
//   - the set-up of a check run (its files, cue sheet and ranges), and the
//     creation of a PPF file's temporary (ppf_session::start).
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "io/output.h"
#include "platform/platform.h"

class new_file;

// Exit statuses of a run.
inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_NAME = 1;    // -n name not found exactly once
inline constexpr int STATUS_BAD = 1;     // -c: bad sectors remain
inline constexpr int STATUS_NO_VOLUME = 1;  // -l: the image holds no ISO 9660 volume
inline constexpr int STATUS_IDENTICAL = 1;  // -m: the images are identical
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

// Admits `path` for `file` as a file the run writes anew (io/new_file.h):
// refused as well when it names one of `inputs` or where the run's own
// output goes. False after saying why not.
bool admit_output(run_output& run, new_file& file, const std::string& path,
                  const std::vector<platform::file_info>& inputs);

// Ends the writes of a run: every descriptor of `files` synced (when the
// run wrote them) and closed. False after reporting the first failure
// ("Failed to sync .bin file", "Failed to close .bin file").
bool finish_writes(run_output& run, const std::vector<unique_fd*>& files, bool wrote);



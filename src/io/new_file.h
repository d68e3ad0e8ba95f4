// A file the user named, written anew: under a temporary name beside it,
// created exclusively (so never through a link or onto another file), then
// flushed to disk and renamed into place. The name holds its old file or the
// whole new one, never a part; a run that fails or is interrupted leaves no
// temporary behind.
//
// Every file a run writes this way (a PPF file, a sector list, an extracted
// file) takes the same rules: a symbolic link at the name is refused, and so
// is anything there that is not a regular file; a new file takes the
// permission bits 0666 less the umask; a file that replaces another keeps
// that one's bits. Every failed create, sync, close and rename is reported.
#pragma once

#include <string>
#include <vector>

#include "io/output.h"

// A file the new one must not replace, and why ("is the image itself").
struct kept_file {
    platform::file_info info;
    const char* why;
};

class new_file {
public:
    // `noun` names the file in reports: "PPF file", "Output file".
    explicit new_file(std::string noun) : noun_(std::move(noun)) {}
    new_file(const new_file&) = delete;
    new_file& operator=(const new_file&) = delete;
    ~new_file();  // removes the temporary unless it was put in place

    // Judges what stands at `path` now (shown as `shown`, when given): a
    // symbolic link, one of `kept` or anything but a regular file is
    // refused ("NOUN 'PATH' is a symbolic link -- refused"). False after
    // saying why.
    [[nodiscard]] bool admit(run_output& run, const std::string& path, const std::vector<kept_file>& kept,
                             const std::string& shown = {});

    // True when admit() found a file at the path.
    bool replaces() const { return existed_; }

    // Creates the temporary beside the admitted path, for reading and
    // writing. False after reporting the failure.
    [[nodiscard]] bool create(run_output& run);

    int fd() const { return fd_.get(); }

    // Flushes the temporary to disk, closes it and renames it to the path
    // (which must still hold what admit() found there, or nothing if it
    // found nothing). `held` is the caller's descriptor of the file it
    // replaces, if it holds one (its lock): see platform::replace_file.
    // False after reporting the failure; the path then holds what it held.
    [[nodiscard]] bool commit(run_output& run, unique_fd& held);
    [[nodiscard]] bool commit(run_output& run) {
        unique_fd none;
        return commit(run, none);
    }

private:
    bool failed(run_output& run, const char* step, const char* after = "");

    std::string noun_;
    std::string path_, shown_;
    std::string temp_;  // empty once renamed, or before create()
    unique_fd fd_;
    bool existed_ = false;
    platform::file_info existing_;
};

// PPF 2.0 patch writer: a 1084-byte header, then every rebuilt sector as ten
// chunks (offset, count, data) covering all 2352 bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "io/new_file.h"
#include "io/output.h"
#include "format/ppf_layout.h"

inline constexpr std::size_t PPF2_SECTOR_SIZE = 2402;  // ten 5-byte chunk heads + 2352 bytes

// The PPF file a run writes. A regular file (or one not there yet) is
// written as a new_file and put in its place only by commit(): a run that
// fails or is interrupted leaves the target as it was. The target is locked
// against other runs from creation to commit. A symbolic link is followed
// first: the file it names is replaced, the link stays. A target that is no
// regular file (/dev/null) is written directly.
class ppf_file {
public:
    ppf_file() = default;
    ppf_file(const ppf_file&) = delete;
    ppf_file& operator=(const ppf_file&) = delete;
    // The temporary file is removed unless committed.

    // Checks that the target `path` can be written and replaced as a shell
    // redirection could, that it is none of `inputs` nor the run's own
    // output (`outputs`), and that no other run holds it; then creates the
    // temporary file. Prints why not and returns false.
    [[nodiscard]] bool create_temporary(run_output& run, const std::string& path,
                                        const std::vector<platform::file_info>& inputs,
                                        const std::vector<platform::file_info>& outputs);

    // Appends `data` whole or not at all: a write that fails part-way is
    // taken back where the file allows it, so the file never ends inside the
    // header or inside a sector's chunks. False, after reporting the failure
    // with `message`, when the write failed.
    [[nodiscard]] bool append(run_output& run, std::span<const std::uint8_t> data,
                              const char* message);

    // Flushes the file to disk and puts it in place of the target. Returns
    // false after reporting a failure; the target is then left as it was.
    [[nodiscard]] bool commit(run_output& run);

    // Bytes appended so far.
    std::uint64_t size() const { return written_; }

    // The file written so far, open for reading (-1 once committed), and the
    // regular file it is to replace (empty when there is none).
    int written_fd() const { return fd(); }
    std::string replaced() const { return direct_.valid() || !file_.replaces() ? std::string() : target_; }

    // A file that is only measured (a dry run's): nothing is created, and
    // append() counts the bytes alone.
    void measure() { measured_ = true; }

private:
    bool refuse(run_output& run, const char* why);

    int fd() const { return direct_.valid() ? direct_.get() : file_.fd(); }

    new_file file_{"PPF file"};  // unless written directly
    unique_fd direct_;           // a target that is no regular file, written directly
    unique_fd target_lock_;      // the existing target, locked
    std::string shown_;          // the target as the user named it
    std::string target_;         // the file replaced: the target, its links followed
    std::uint64_t written_ = 0;  // bytes appended whole
    bool measured_ = false;
};

// What a run puts in its PPF file, whichever the version: a header, the
// sectors the run rebuilds, and what ends the file.
class ppf_records {
public:
    virtual ~ppf_records() = default;
    // Builds the header from the description and the image as it is now
    // and writes it. False after reporting a failed write.
    [[nodiscard]] virtual bool begin(run_output& run, ppf_file& ppf, int fd_bin, std::uint64_t image_size,
                                     const std::optional<std::string>& description) = 0;
    // Consecutive raw sectors from sector `first` on, as the image holds them
    // and as the run makes them.
    [[nodiscard]] virtual bool sectors(run_output& run, ppf_file& ppf, std::span<const std::uint8_t> old_bytes,
                                       std::span<const std::uint8_t> new_bytes, std::uint64_t first) = 0;
    [[nodiscard]] virtual bool end(run_output& run, ppf_file& ppf) = 0;
    // Records written (sectors for PPF 2.0).
    virtual std::uint64_t records() const = 0;
};

// PPF 2.0: every rebuilt sector whole, as ten chunks.
std::unique_ptr<ppf_records> ppf2_records();

inline constexpr std::size_t MAX_DIZ = PPF_DIZ_MAX;  // file_id.diz text

// PPF 3.0: exactly the bytes the run changes (and every byte it appends past
// the image's end), in records of up to 255 bytes (with `undo`, followed by
// the bytes they replace), the block check on where the image can hold the
// block, and a file_id.diz text when `diz` holds one. With `undo`, a run that
// grows the image puts a record of no bytes at its old end, before the
// records past it: an applier writes nothing for it, an undo cuts the image
// back there.
std::unique_ptr<ppf_records> ppf3_records(bool undo, std::vector<std::uint8_t> diz);

// Builds the header from the description and the image as it is now (its
// length and 1024 bytes of sector 16) and writes it. Returns false after
// reporting a failed write.
[[nodiscard]] bool ppf2_header(run_output& run, ppf_file& ppf, int fd_bin,
                               std::uint64_t image_size,
                               const std::optional<std::string>& description);

// The ten chunks of one rebuilt sector.
void ppf2_chunks(std::span<std::uint8_t, PPF2_SECTOR_SIZE> out,
                 std::span<const std::uint8_t, SECTOR_SIZE> sector_bytes, std::uint64_t sector);

// Appends the chunks of whole sectors. Returns false after reporting a
// failed write (the file then ends after the last sector appended whole).
[[nodiscard]] bool ppf2_write(run_output& run, ppf_file& ppf, std::span<const std::uint8_t> chunks);

// PPF 2.0 patch writer: a 1084-byte header, then every rebuilt sector as ten
// chunks (offset, count, data) covering all 2352 bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "corvaner_trace.h"

inline constexpr std::size_t PPF2_HEADER_SIZE = 1084;
inline constexpr std::size_t PPF2_SECTOR_SIZE = 2402;  // ten 5-byte chunk heads + 2352 bytes

// The PPF file a patch run writes. A regular file (or one not there yet) is
// written under a temporary name beside it, locked against a second run, and
// put in its place only by commit(): a run that fails or is interrupted
// leaves the target as it was. Anything else (/dev/null, a pipe) is written
// directly.
class ppf_file {
public:
    ppf_file() = default;
    ppf_file(const ppf_file&) = delete;
    ppf_file& operator=(const ppf_file&) = delete;
    ~ppf_file();  // removes the temporary file unless committed

    // Creates and locks the temporary file beside the target `path` (or
    // opens a target that is not a regular file), after checking that
    // neither the target nor the temporary file is one of `inputs`. Prints
    // why not and returns false.
    [[nodiscard]] bool create_temporary(run_output& run, const std::string& path,
                                        const std::vector<platform::file_info>& inputs);

    // Appends `data` whole or not at all: a write that fails part-way is
    // taken back where the file allows it, so the file never ends inside the
    // header or inside a sector's chunks. False, after reporting the failure
    // with `message`, when the write failed.
    [[nodiscard]] bool append(run_output& run, std::span<const std::uint8_t> data,
                              const char* message);

    // Flushes the file to disk and puts it in place of the target. Returns
    // false after reporting a failure; the target is then left as it was.
    [[nodiscard]] bool commit(run_output& run);

private:
    unique_fd fd_;
    std::string target_;
    std::string temp_;           // empty when written directly
    std::uint64_t written_ = 0;  // bytes appended whole
};

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

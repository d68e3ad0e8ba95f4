// PPF 2.0 patch writer: a 1084-byte header, then every rebuilt sector as ten
// chunks (offset, count, data) covering all 2352 bytes.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "corvaner_io.h"

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

    // Opens the file for the run, after checking that neither the target nor
    // the temporary file is one of `inputs`. Prints why not and returns false.
    [[nodiscard]] bool open(run_state& run, const std::string& path,
                            const std::vector<struct stat>& inputs);
    int fd() const { return fd_.get(); }
    bool is_open() const { return fd_.valid(); }

    // Flushes the file to disk and puts it in place of the target. Returns
    // false after reporting a failure; the target is then left as it was.
    [[nodiscard]] bool commit(run_state& run);

private:
    unique_fd fd_;
    std::string target_;
    std::string temp_;  // empty when written directly
};

// Builds the header from the description and the image as it is now (its
// length and 1024 bytes of sector 16) and writes it. Returns false after
// reporting a failed write.
[[nodiscard]] bool ppf2_header(run_state& run, int fd_ppf, int fd_bin);

// The ten chunks of one rebuilt sector.
void ppf2_chunks(std::span<std::uint8_t, PPF2_SECTOR_SIZE> out,
                 std::span<const std::uint8_t, SECTOR_SIZE> sector_bytes, std::uint64_t sector);

// Appends the chunks of whole sectors. Returns false after reporting a
// failed write (the file then ends after the last sector appended whole).
[[nodiscard]] bool ppf2_write(run_state& run, int fd_ppf, std::span<const std::uint8_t> chunks);

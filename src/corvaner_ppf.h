// PPF 2.0 patch writer: a 1084-byte header, then every rebuilt sector as ten
// chunks (offset, count, data) covering all 2352 bytes.
#pragma once

#include <cstdint>
#include <span>

#include "corvaner_io.h"

inline constexpr std::size_t PPF2_HEADER_SIZE = 1084;
inline constexpr std::size_t PPF2_SECTOR_SIZE = 2402;  // ten 5-byte chunk heads + 2352 bytes

// Builds the header from the description and the image as it is now (its
// length and 1024 bytes of sector 16) and writes it. Returns false after
// reporting a failed write.
[[nodiscard]] bool ppf2_header(run_state& run, int fd_ppf, int fd_bin);

// Appends one rebuilt sector as its ten chunks. Returns false after
// reporting a failed write.
[[nodiscard]] bool ppf2_write(run_state& run, int fd_ppf,
                              std::span<const std::uint8_t, SECTOR_SIZE> buffer,
                              std::uint64_t sector);

// The two checksums of the xdelta files: the CRC-32 of zip and PNG (the
// reflected polynomial 0xEDB88320) that corvane writes of a patch's source,
// and the Adler-32 of each window's target. Where the processor has carry-
// less multiplication (CRC-32) or SSSE3 (Adler-32) they take it; otherwise
// tables and plain sums. Both give the same values on every machine.
#pragma once

#include <cstdint>
#include <span>

// CRC-32 of `bytes`, continued from `crc` (0 to start).
std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes);
// CRC-32 of two runs of bytes one after the other, from the CRC-32 of each
// and the length of the second: the halves of an image checked apart.
std::uint32_t crc32_combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_length);
// Adler-32 of `bytes`, continued from `adler` (1 to start).
std::uint32_t adler32(std::span<const std::uint8_t> bytes, std::uint32_t adler = 1);

// The plain versions alone, which the fast ones must equal.
std::uint32_t crc32_plain(std::uint32_t crc, std::span<const std::uint8_t> bytes);
std::uint32_t adler32_plain(std::span<const std::uint8_t> bytes, std::uint32_t adler);

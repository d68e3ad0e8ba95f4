// Layer-2 coding of raw 2352-byte CD-ROM sectors: sync pattern, header,
// EDC and the P/Q Reed-Solomon product code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sector_layout.h"

// Sector types understood by do_encode_L2.
inline constexpr int MODE_0 = 0;
inline constexpr int MODE_1 = 1;
inline constexpr int MODE_2 = 2;
inline constexpr int MODE_2_FORM_1 = 3;
inline constexpr int MODE_2_FORM_2 = 4;

// Rebuilds in place the parts of a raw sector that its type defines
// (sync, header with the given absolute frame address, EDC, P and Q parity).
// Returns 0, or -1 for a type outside MODE_0..MODE_2_FORM_2 (then only the
// sync pattern has been written).
int do_encode_L2(std::span<std::uint8_t, SECTOR_SIZE> inout, int sectortype,
                 unsigned address);

// EDC (CRC-32 of the CD-ROM EDC polynomial, no final inversion) over the
// bytes at positions from..upto, both included. Positions outside the span
// are never read: the range is cut to the span. Returns 0 for an empty range.
std::uint32_t build_edc(std::span<const std::uint8_t> inout, int from,
                        int upto);

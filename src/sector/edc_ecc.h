// Layer-2 coding of raw 2352-byte CD-ROM sectors: sync pattern, header,
// EDC and the P/Q Reed-Solomon product code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "sector/layout.h"

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

// What the Q parity covers when encode_L2_PQ computes P and Q together.
enum class q_covers {
    new_p,     // the P just computed: the parity a rebuilt sector carries
    stored_p,  // the P the sector holds: the parity its stored bytes call for,
               // so that a fault in P shows in Q as well
};

// P (bytes 2076..2247) over bytes 12..2075 and Q (2248..2351) over bytes
// 12..2247, computed over the sector as it stands and written in place. The
// header (12..15) takes part as stored (Mode 1) or, with `zero_header`, as
// zero (Mode 2 Form 1); it is left as it is, and so is everything before P.
void encode_L2_PQ(std::span<std::uint8_t, SECTOR_SIZE> inout, bool zero_header, q_covers q);

// EDC (CRC-32 of the CD-ROM EDC polynomial, no final inversion) over the
// bytes at positions from..upto, both included. Positions outside the span
// are never read: the range is cut to the span. Returns 0 for an empty range.
std::uint32_t build_edc(std::span<const std::uint8_t> inout, int from,
                        int upto);

// A plain model of the sector coder for the tests, written from the
// definitions: GF(2^8) by log and antilog tables built at run time, each
// codeword's parity solved from its two checks, a bitwise EDC. The yardstick
// for the coder, and the checker of the sectors other tests write.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sector/edc_ecc.h"

namespace reference {

// Same contracts as do_encode_L2 and build_edc.
int encode_L2(std::span<std::uint8_t, SECTOR_SIZE> sector, int type, unsigned address);
inline void encode_mode2_form1(std::span<std::uint8_t, SECTOR_SIZE> sector, unsigned address) {
    encode_L2(sector, MODE_2_FORM_1, address);
}
// P and Q over the sector as it stands, the header counted as zero with
// `zero_header`; Q over the stored P with `q_first`, else over the new one.
void encode_L2_PQ(std::span<std::uint8_t, SECTOR_SIZE> sector, bool zero_header, bool q_first);
std::uint32_t build_edc(std::span<const std::uint8_t> bytes, int from, int upto);

// "" for a valid Mode 2 Form 1 sector (sync, header, EDC, both checks of every
// codeword), else "sync or header", "EDC", "P parity" or "Q parity".
std::string check_mode2_form1(std::span<const std::uint8_t, SECTOR_SIZE> sector, unsigned address);

// Where the EDC of a sector of the kind its bytes give sits: Mode 1 (mode
// byte 1), else Mode 2 Form 1 or, by its submode, Form 2.
std::size_t edc_place(std::span<const std::uint8_t, SECTOR_SIZE> sector);
// The same checks for a sector of that kind (Form 2: no parity), its
// header's address checked only when one is given.
std::string check_sector(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                         std::optional<unsigned> address);

}  // namespace reference

// A plain model of the sector coder for the tests, written straight from the
// definitions: GF(2^8) through log/antilog tables built at run time, parity
// coefficients derived from the code's definition, a byte-wise EDC table.
// No tuning: it is the yardstick the tool's coder must match byte for byte.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "edc_ecc.h"

namespace reference {

std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b);

// Same contract as the tool's coder: the five sector types, -1 for others
// (after writing the sync pattern only).
int encode_L2(std::span<std::uint8_t, SECTOR_SIZE> sector, int type, unsigned address);
inline void encode_mode2_form1(std::span<std::uint8_t, SECTOR_SIZE> sector, unsigned address) {
    encode_L2(sector, MODE_2_FORM_1, address);
}

// Same contract as build_edc: positions from..upto, cut to the span.
std::uint32_t build_edc(std::span<const std::uint8_t> bytes, int from, int upto);

// Checks one raw Mode 2 Form 1 sector: sync, header address and mode, EDC,
// and both checks (XOR and alpha-weighted sum) of every P and Q codeword.
// Returns "" when valid, else what is wrong.
std::string check_mode2_form1(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                              unsigned address);

// Checks every sector of a raw image; returns "" or the first problem.
std::string check_image(std::span<const std::uint8_t> image);

}  // namespace reference

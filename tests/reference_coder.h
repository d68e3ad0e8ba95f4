// An independent, deliberately plain model of the sector coder for the tests:
// GF(2^8) products by shift-and-add, coefficients derived from the code's
// definition at run time, the EDC bit by bit. Slow and obvious.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "edc_ecc.h"

namespace reference {

std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b);
std::uint32_t edc(std::span<const std::uint8_t> bytes);

// Encodes a Mode 2 Form 1 sector (type 3) at `address`.
void encode_mode2_form1(std::span<std::uint8_t, SECTOR_SIZE> sector, unsigned address);
// Encodes a Mode 1 sector (type 1) at `address`.
void encode_mode1(std::span<std::uint8_t, SECTOR_SIZE> sector, unsigned address);

// Checks one raw Mode 2 Form 1 sector: sync, header address and mode, EDC,
// and every P and Q codeword. Returns "" when valid, else what is wrong.
std::string check_mode2_form1(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                              unsigned address);

// Checks every sector of a raw image; returns "" or the first problem.
std::string check_image(std::span<const std::uint8_t> image);

}  // namespace reference

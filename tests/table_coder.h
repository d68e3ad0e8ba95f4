// The straightforward table-driven sector coder (log/antilog tables, byte-wise
// EDC table), the yardstick the fast coder must match byte for byte.
#pragma once

#include <cstdint>
#include <span>

#include "edc_ecc.h"

namespace table_coder {

// Same contract as do_encode_L2.
int table_encode_L2(std::span<std::uint8_t, SECTOR_SIZE> inout, int sectortype,
                    unsigned address);

// Same contract as build_edc.
std::uint32_t table_build_edc(std::span<const std::uint8_t> inout, int from, int upto);

}  // namespace table_coder

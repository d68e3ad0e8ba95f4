// Inside view of the sector coder for the tests and the benchmark. The coder
// has two ways of computing EDC and parity, which give the same bytes: a
// portable one, and one for x86-64 processors with AVX2 and carry-less
// multiply. do_encode_L2 and build_edc take the way chosen once, on first use,
// for the processor at hand; the entry points below take the way they are given.
#pragma once

#include <cstdint>
#include <span>

#include "sector/edc_ecc.h"

namespace edc_ecc_internal {

enum class coder_path {
    portable,  // plain C++ with portable 16-byte vectors, on every host
    vector,    // AVX2 byte shuffles and PCLMULQDQ
};

// True when this build and this processor can run the vector way.
bool vector_supported();

// The way do_encode_L2 and build_edc take.
coder_path chosen_path();

// do_encode_L2 and build_edc on `path`. Where the vector way cannot run,
// asking for it runs the portable way.
int encode_with(coder_path path, std::span<std::uint8_t, SECTOR_SIZE> inout, int sectortype,
                unsigned address);
void parity_with(coder_path path, std::span<std::uint8_t, SECTOR_SIZE> inout, bool zero_header,
                 q_covers q);
std::uint32_t edc_with(coder_path path, std::span<const std::uint8_t> bytes, int from,
                       int upto);

}  // namespace edc_ecc_internal

// Inside view of the sector coder for the tests: which of its two ways of
// computing EDC and parity is in use. Both give the same bytes; the vector
// way needs x86-64 with AVX2 and carry-less multiply and is picked on its own
// when the processor has them.
#pragma once

namespace edc_ecc_internal {

enum class coder_path {
    portable,  // plain C++: 64-bit words and lookup tables, on every host
    vector,    // AVX2 byte shuffles and PCLMULQDQ
};

// True when this build and this processor can run the vector way.
bool vector_supported();

// The way do_encode_L2 and build_edc use now.
coder_path active_path();

// Switches the coder to `path`. Returns false (and changes nothing) when the
// vector way is asked for but not supported.
bool use_path(coder_path path);

}  // namespace edc_ecc_internal

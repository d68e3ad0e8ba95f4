// Fuzz target: the judging and repair of one sector by the check run.
//
// The first 2352 bytes are a raw sector (zero-padded when shorter); two more
// bytes, least significant first, add to the address its header should
// carry (150). Whatever the bytes, a sector the judge rebuilt differs only in
// its EDC and parity and passes the reference checker for its kind; one it
// did not rebuild is left byte for byte; and one the reference checker
// passes at that address has no fault but, perhaps, its subheader copies.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "sector/judge.h"
#include "reference_coder.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::array<std::uint8_t, SECTOR_SIZE> before{};
    std::copy_n(data, std::min(size, SECTOR_SIZE), before.begin());
    unsigned address = ADDRESS_BIAS;
    for (std::size_t i = SECTOR_SIZE; i < std::min(size, SECTOR_SIZE + 2); ++i)
        address += unsigned{data[i]} << (8 * (i - SECTOR_SIZE));

    std::array<std::uint8_t, SECTOR_SIZE> after = before;
    const sector_verdict v = check_sector(after, address, true);
    if (!v.repaired) {
        check(after == before);
    } else {
        check(reference::check_sector(after, std::nullopt).empty());
        const std::size_t edc = reference::edc_place(after);
        for (std::size_t i = 0; i < SECTOR_SIZE; ++i)
            check(after[i] == before[i] || (i >= edc && i < edc + EDC_SIZE) ||
                  (edc != FORM2_EDC_AT && i >= P_PARITY));
    }
    if (reference::check_sector(before, address).empty()) check((v.zones & ~zone::SUBHEADER) == 0);
    return 0;
}

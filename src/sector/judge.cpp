#include "sector/judge.h"

#include <algorithm>
#include <array>

#include "sector/byte_order.h"
#include "sector/edc_ecc.h"

namespace {

// Bytes of the sync pattern that must match for a sector to count as data.
constexpr std::size_t DATA_SYNC_BYTES = 10;

constexpr const char* ZONE_NAMES[] = {"sync", "address", "mode", "subheader",
                                      "EDC",  "P",       "Q",    "parity over header"};

bool address_matches(std::span<const std::uint8_t, SECTOR_SIZE> s, std::uint64_t address) {
    const auto msf = header_address(address);
    return std::equal(msf.begin(), msf.end(), s.begin() + HEADER);
}

// Which of P and Q differ from what the stored bytes call for, the header
// counted as stored or as zero. The sector is left as it was.
std::uint8_t parity_faults(std::span<std::uint8_t, SECTOR_SIZE> s, bool zero_header) {
    std::array<std::uint8_t, SECTOR_SIZE - P_PARITY> stored;
    std::copy(s.begin() + P_PARITY, s.end(), stored.begin());
    encode_L2_PQ(s, zero_header, q_covers::stored_p);
    std::uint8_t faults = 0;
    if (!std::equal(stored.begin(), stored.begin() + P_PARITY_SIZE, s.begin() + P_PARITY)) faults |= zone::P;
    if (!std::equal(stored.begin() + P_PARITY_SIZE, stored.end(), s.begin() + Q_PARITY)) faults |= zone::Q;
    std::copy(stored.begin(), stored.end(), s.begin() + P_PARITY);
    return faults;
}

sector_kind kind_of(std::uint8_t mode, std::uint8_t submode) {
    switch (mode) {
        case 0: return sector_kind::mode0;
        case 1: return sector_kind::mode1;
        case 2: return (submode & SUBMODE_FORM2) != 0 ? sector_kind::form2 : sector_kind::form1;
        default: return sector_kind::unknown;
    }
}

}  // namespace

const char* kind_name(sector_kind kind) {
    switch (kind) {
        case sector_kind::mode0: return "Mode 0";
        case sector_kind::mode1: return "Mode 1";
        case sector_kind::form1: return "Mode 2 Form 1";
        case sector_kind::form2: return "Mode 2 Form 2";
        case sector_kind::unknown: return "unknown";
        case sector_kind::not_data: break;
    }
    return "not data";
}

void append_zones(std::string& line, std::uint8_t zones) {
    const char* separator = "";
    for (std::size_t z = 0; z < std::size(ZONE_NAMES); ++z)
        if (((unsigned{zones} >> z) & 1U) != 0) {
            line += separator;
            line += ZONE_NAMES[z];
            separator = ", ";
        }
}

sector_verdict check_sector(std::span<std::uint8_t, SECTOR_SIZE> s, std::uint64_t address,
                            bool repair) {
    sector_verdict v;
    std::size_t sync = 0;  // bytes of the pattern that match
    for (std::size_t i = 0; i < SYNC_SIZE; ++i) sync += s[i] == SYNC_PATTERN[i] ? 1U : 0U;
    if (sync < DATA_SYNC_BYTES) return v;
    v.kind = kind_of(s[MODE_BYTE], s[SUBMODE_BYTE]);
    if (sync != SYNC_SIZE) v.zones |= zone::SYNC;
    if (!address_matches(s, address)) v.zones |= zone::ADDRESS;
    // Copies that disagree on the layout leave the sector's kind unknown:
    // where its EDC and parity sit is not certain, so nothing is judged there.
    if (s[MODE_BYTE] == 2 &&
        ((s[SUBMODE_BYTE] ^ s[SUBMODE_COPY_BYTE]) & SUBMODE_LAYOUT) != 0) {
        v.kind = sector_kind::unknown;
        v.zones |= zone::SUBHEADER;
        return v;
    }

    // Where the EDC sits and from where it counts.
    std::size_t edc_from = SUBHEADER;
    std::size_t edc_at = EDC_AT;
    switch (v.kind) {
        case sector_kind::mode0:
            if (std::any_of(s.begin() + SUBHEADER, s.end(), [](std::uint8_t b) { return b != 0; }))
                v.zones |= zone::MODE;
            return v;
        case sector_kind::unknown:
        case sector_kind::not_data: v.zones |= zone::MODE; return v;
        case sector_kind::mode1:
            edc_from = 0;
            edc_at = MODE1_EDC_AT;
            break;
        case sector_kind::form1: break;
        case sector_kind::form2: edc_at = FORM2_EDC_AT; break;
    }
    if (v.kind != sector_kind::mode1 &&
        !std::equal(s.begin() + SUBHEADER, s.begin() + SUBHEADER + SUBHEADER_COPY,
                    s.begin() + SUBHEADER + SUBHEADER_COPY))
        v.zones |= zone::SUBHEADER;

    const bool form2 = v.kind == sector_kind::form2;
    const std::uint32_t edc = build_edc(s, static_cast<int>(edc_from), static_cast<int>(edc_at) - 1);
    const std::uint32_t stored = load_le32(s.subspan(edc_at).first<EDC_SIZE>());
    // A Form 2 sector may carry no EDC: zero stands for none.
    if (stored != edc && !(form2 && stored == 0)) v.zones |= zone::EDC;
    if (!form2) {
        // Mode 1 takes its header into the parity, Form 1 a zero one.
        const bool zero_header = v.kind == sector_kind::form1;
        v.zones |= parity_faults(s, zero_header);
        if (zero_header && (v.zones & (zone::P | zone::Q)) != 0 && parity_faults(s, false) == 0)
            v.zones = static_cast<std::uint8_t>((v.zones & ~(zone::P | zone::Q)) |
                                                zone::PARITY_OVER_HEADER);
    }

    if (repair && (v.zones & (zone::SYNC | zone::PARITY_OVER_HEADER)) == 0 &&
        (v.zones & zone::CODED) != 0) {
        store_le32(s.subspan(edc_at).first<EDC_SIZE>(), edc);
        if (!form2) encode_L2_PQ(s, v.kind == sector_kind::form1, q_covers::new_p);
        v.repaired = true;
    }
    return v;
}

// Whole-image checking: tells a sector's kind from its bytes, judges each of
// its zones against what its stored bytes call for, and rebuilds the EDC and
// P/Q parity of a sector that may be repaired. Reads and writes only the
// sector it is given; prints nothing.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "sector/layout.h"

enum class sector_kind : std::uint8_t {
    not_data,  // audio, or never written: skipped
    mode0,
    mode1,
    form1,     // Mode 2, submode bit 0x20 clear
    form2,     // Mode 2, submode bit 0x20 set
    unknown,   // a sync pattern, but a mode byte other than 0, 1 or 2, or Mode 2
               // with subheader copies that disagree on form, data, audio or video
};
inline constexpr std::size_t SECTOR_KINDS = 6;

// "Mode 0", "Mode 1", "Mode 2 Form 1", "Mode 2 Form 2", "unknown", "not data".
const char* kind_name(sector_kind kind);

// Faulty zones, one bit each, in the order they are reported.
namespace zone {
inline constexpr std::uint8_t SYNC = 1;       // a byte of the sync pattern differs
inline constexpr std::uint8_t ADDRESS = 2;    // the header's address is not the sector's
inline constexpr std::uint8_t MODE = 4;       // Mode 0 with user data, or an unknown mode
inline constexpr std::uint8_t SUBHEADER = 8;  // the subheader's two copies differ
inline constexpr std::uint8_t EDC = 16;
inline constexpr std::uint8_t P = 32;
inline constexpr std::uint8_t Q = 64;
// Not a fault: the P and Q of a Form 1 sector match when taken over its
// header instead of a zero one (as on some discs' last postgap sectors).
inline constexpr std::uint8_t PARITY_OVER_HEADER = 128;
inline constexpr std::size_t COUNT = 7;  // the faults, SYNC to Q
inline constexpr std::uint8_t CODED = EDC | P | Q;  // what a repair rewrites
}  // namespace zone

struct sector_verdict {
    sector_kind kind = sector_kind::not_data;
    std::uint8_t zones = 0;  // zone bits
    bool repaired = false;   // its EDC and P/Q were rebuilt in the buffer

    // Faults the sector has (before any repair).
    bool bad() const { return (zones & ~zone::PARITY_OVER_HEADER) != 0; }
    // Faults a repair leaves: it mends EDC and P/Q only.
    bool bad_after() const {
        return (zones & ~zone::PARITY_OVER_HEADER & (repaired ? ~zone::CODED : 0xFF)) != 0;
    }
};

// Judges a raw sector whose header should carry `address`. A Mode 2 sector
// whose subheader copies disagree on a bit that decides its layout is of
// unknown kind, faulty in its subheader, and judged no further. With `repair`,
// a Mode 1, Form 1 or Form 2 sector whose EDC or parity is wrong, whose sync
// pattern is whole and whose parity is not taken over its header gets its
// EDC, P and Q rebuilt in place over its bytes as stored (a Form 2 sector
// only where its EDC is not zero, which stands for none); sync, header,
// subheader and user data are never changed. Otherwise the buffer is left as
// it was.
sector_verdict check_sector(std::span<std::uint8_t, SECTOR_SIZE> sector, std::uint64_t address,
                            bool repair);

// Appends the names of the zones, in report order, separated by ", ".
void append_zones(std::string& line, std::uint8_t zones);

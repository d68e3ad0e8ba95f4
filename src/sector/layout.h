// Where things sit in a raw 2352-byte CD-ROM sector, and how a sector's
// position in the image relates to its address. Every module takes these
// from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

inline constexpr std::size_t SECTOR_SIZE = 2352;

inline constexpr std::size_t SYNC_SIZE = 12;         // bytes 0..11: sync pattern
inline constexpr std::array<std::uint8_t, SYNC_SIZE> SYNC_PATTERN = {
    0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
// Bytes that begin with a sector's sync pattern (false for fewer bytes).
constexpr bool has_sync(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < SYNC_SIZE) return false;
    for (std::size_t i = 0; i < SYNC_SIZE; ++i)
        if (bytes[i] != SYNC_PATTERN[i]) return false;
    return true;
}
inline constexpr std::size_t HEADER = 12;            // bytes 12..15: minute, second, frame, mode
inline constexpr std::size_t MODE_BYTE = 15;
inline constexpr std::size_t SUBHEADER = 16;         // bytes 16..23: XA subheader, twice over
inline constexpr std::size_t SUBHEADER_COPY = 4;     // each copy's bytes; the second follows the first
inline constexpr std::size_t SUBMODE_BYTE = 18;      // submode of the subheader's first copy
inline constexpr std::size_t SUBMODE_COPY_BYTE = SUBMODE_BYTE + SUBHEADER_COPY;  // ... and of its second
inline constexpr std::uint8_t SUBMODE_FORM2 = 0x20;  // set: the sector is Mode 2 Form 2
// The submode bits that decide a Mode 2 sector's layout: form, data, audio, video.
inline constexpr std::uint8_t SUBMODE_LAYOUT = SUBMODE_FORM2 | 0x08 | 0x04 | 0x02;
inline constexpr std::size_t USER_DATA = 24;         // Mode 2 Form 1 user data ...
inline constexpr std::size_t USER_DATA_SIZE = 2048;  // ... of 2048 bytes
inline constexpr std::size_t USER_DATA_END = USER_DATA + USER_DATA_SIZE;  // EDC starts here
inline constexpr std::size_t EDC_AT = USER_DATA_END;  // Mode 2 Form 1: EDC over bytes 16..2071
inline constexpr std::size_t EDC_SIZE = 4;
inline constexpr std::size_t P_PARITY = 2076;
inline constexpr std::size_t P_PARITY_SIZE = 172;
inline constexpr std::size_t Q_PARITY = 2248;
inline constexpr std::size_t Q_PARITY_SIZE = 104;
// Mode 1 has no subheader: its 2048 bytes of user data start at byte 16, its
// EDC (over bytes 0..2063) follows them, then eight zero bytes up to P.
inline constexpr std::size_t MODE1_USER_DATA = SUBHEADER;
inline constexpr std::size_t MODE1_EDC_AT = MODE1_USER_DATA + USER_DATA_SIZE;
inline constexpr std::size_t MODE1_ZERO = MODE1_EDC_AT + EDC_SIZE;
// Mode 2 Form 2 has no parity: 2324 bytes of user data, then its EDC (over
// bytes 16..2347) ends the sector.
inline constexpr std::size_t FORM2_EDC_AT = SECTOR_SIZE - EDC_SIZE;

// Where a raw sector's 2048 bytes of user data start, as its own mode byte
// says: byte 16 in a Mode 1 sector, byte 24 (behind the subheader) in any
// other. Every reader of directories, descriptors and file data asks here.
constexpr std::size_t user_data_at(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    return sector[MODE_BYTE] == 1 ? MODE1_USER_DATA : USER_DATA;
}
constexpr std::span<const std::uint8_t, USER_DATA_SIZE> user_data_of(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    return sector.subspan(user_data_at(sector)).first<USER_DATA_SIZE>();
}

static_assert(EDC_AT + EDC_SIZE == P_PARITY && P_PARITY + P_PARITY_SIZE == Q_PARITY &&
              Q_PARITY + Q_PARITY_SIZE == SECTOR_SIZE && MODE1_ZERO + 8 == P_PARITY);

// Whole 2048-byte sectors of user data that `bytes` take, the last one
// perhaps part-filled (0 for none).
constexpr std::uint64_t user_data_sectors(std::uint64_t bytes) {
    return bytes / USER_DATA_SIZE + (bytes % USER_DATA_SIZE != 0 ? 1 : 0);
}
static_assert(user_data_sectors(0) == 0 && user_data_sectors(1) == 1 && user_data_sectors(2048) == 1 &&
              user_data_sectors(2049) == 2 && user_data_sectors(UINT64_MAX) == UINT64_MAX / 2048 + 1);

// The address written into a sector's header is its index in the image
// plus the two-second lead-in.
inline constexpr unsigned ADDRESS_BIAS = 150;

// The minute, second and frame that a sector's header carries for `address`
// (its index in the image plus ADDRESS_BIAS), each in packed BCD: the tens
// times 16 plus the units, cut to a byte. Minutes from 100 on (sector index
// 449850 on) keep their tens whole: minute 100 is A0, 159 is F9, 160 is 00.
// The coder writes this, and every check of a header's address compares
// against it.
constexpr std::array<std::uint8_t, 3> header_address(std::uint64_t address) {
    const auto bcd = [](std::uint64_t v) { return static_cast<std::uint8_t>(v / 10 * 16 + v % 10); };
    return {bcd(address / (60 * 75)), bcd(address / 75 % 60), bcd(address % 75)};
}
static_assert(header_address(ADDRESS_BIAS) == std::array<std::uint8_t, 3>{0x00, 0x02, 0x00});
static_assert(header_address(449849 + ADDRESS_BIAS) == std::array<std::uint8_t, 3>{0x99, 0x59, 0x74});
static_assert(header_address(449850 + ADDRESS_BIAS) == std::array<std::uint8_t, 3>{0xA0, 0x00, 0x00});

// Where things sit in a raw 2352-byte CD-ROM sector, and how a sector's
// position in the image relates to its address. Every module takes these
// from here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t SECTOR_SIZE = 2352;

inline constexpr std::size_t SYNC_SIZE = 12;         // bytes 0..11: sync pattern
inline constexpr std::array<std::uint8_t, SYNC_SIZE> SYNC_PATTERN = {
    0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
inline constexpr std::size_t HEADER = 12;            // bytes 12..15: minute, second, frame, mode
inline constexpr std::size_t MODE_BYTE = 15;
inline constexpr std::size_t SUBHEADER = 16;         // bytes 16..23: XA subheader, twice over
inline constexpr std::size_t SUBMODE_BYTE = 18;      // submode of the subheader's first copy
inline constexpr std::uint8_t SUBMODE_FORM2 = 0x20;  // set: the sector is Mode 2 Form 2
// The submode bits that decide a Mode 2 sector's layout: form, data, audio, video.
inline constexpr std::uint8_t SUBMODE_LAYOUT = SUBMODE_FORM2 | 0x08 | 0x04 | 0x02;
inline constexpr std::size_t USER_DATA = 24;         // Mode 2 Form 1 user data ...
inline constexpr std::size_t USER_DATA_SIZE = 2048;  // ... of 2048 bytes
inline constexpr std::size_t USER_DATA_END = USER_DATA + USER_DATA_SIZE;  // EDC starts here
inline constexpr std::size_t EDC_AT = USER_DATA_END;
inline constexpr std::size_t P_PARITY = 2076;        // 172 bytes
inline constexpr std::size_t Q_PARITY = 2248;        // 104 bytes

// The address written into a sector's header is its index in the image
// plus the two-second lead-in.
inline constexpr unsigned ADDRESS_BIAS = 150;

static_assert(EDC_AT + 4 == P_PARITY && P_PARITY + 172 == Q_PARITY &&
              Q_PARITY + 104 == SECTOR_SIZE);

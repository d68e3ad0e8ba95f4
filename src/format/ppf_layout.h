// The layout of a PPF file (versions 1.0, 2.0 and 3.0): where each version's
// header keeps its fields, where its records start, how a record and the
// file_id.diz trailer are laid out. The writers and the applier both take
// these from here. Multi-byte fields are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sector/layout.h"

// Every version v (1, 2, 3) opens with its magic PPF_MAGIC[v - 1], its
// encoding method v - 1 and a 50-byte description.
inline constexpr std::array<std::string_view, 3> PPF_MAGIC = {"PPF10", "PPF20", "PPF30"};
inline constexpr std::size_t PPF_METHOD = 5;
inline constexpr std::size_t PPF_DESCRIPTION = 6;
inline constexpr std::size_t PPF_DESCRIPTION_SIZE = 50;
// A PPF 2.0 file written here keeps 46 bytes of text: "Lan" and a zero
// close its description.
inline constexpr std::size_t PPF2_DESCRIPTION_TEXT = 46;

// PPF 1.0: the records follow the description.
inline constexpr std::size_t PPF1_HEADER_SIZE = 56;

// PPF 2.0: the image's length (4 bytes), then the block check; the records
// follow it.
inline constexpr std::size_t PPF2_IMAGE_SIZE = 56;
inline constexpr std::size_t PPF_BLOCK = 60;  // 2.0 always, 3.0 when its header says so
inline constexpr std::size_t PPF_BLOCK_SIZE = 1024;
inline constexpr std::size_t PPF2_HEADER_SIZE = PPF_BLOCK + PPF_BLOCK_SIZE;

// PPF 3.0: one byte each for the image type (0 BIN, 1 GI), the block check
// (0 off), undo data (0 none) and a zero; the block check, when on, follows
// and the records after it.
inline constexpr std::size_t PPF3_IMAGE_TYPE = 56;
inline constexpr std::size_t PPF3_BLOCK_CHECK = 57;
inline constexpr std::size_t PPF3_UNDO = 58;
inline constexpr std::size_t PPF3_HEADER_SIZE = 60;  // before the block check

// The block check is the 1024 bytes of the image from this offset on: bytes
// 32..1055 of raw sector 16, the first volume descriptor's.
inline constexpr std::uint64_t PPF_BLOCK_AT = 16 * SECTOR_SIZE + 32;
static_assert(PPF_BLOCK_AT == 0x9320 && PPF3_HEADER_SIZE == PPF_BLOCK);

// A record: the image offset (4 bytes; 8 in PPF 3.0), a length byte, that
// many bytes and, in PPF 3.0 with undo data, as many bytes they replace.
inline constexpr std::size_t PPF_RECORD_MAX = 255;
inline constexpr std::size_t PPF3_RECORD_HEAD = 9;  // 8-byte offset, 1-byte length

// A file_id.diz text may close a PPF 2.0 or 3.0 file: the begin mark, the
// text, the end mark, then the text's length in 4 bytes (2.0) or 2 (3.0).
inline constexpr std::string_view PPF_DIZ_BEGIN = "@BEGIN_FILE_ID.DIZ";
inline constexpr std::string_view PPF_DIZ_END = "@END_FILE_ID.DIZ";
inline constexpr std::size_t PPF2_DIZ_LENGTH_SIZE = 4;
inline constexpr std::size_t PPF3_DIZ_LENGTH_SIZE = 2;
inline constexpr std::size_t PPF_DIZ_MAX = 3072;  // bytes of text

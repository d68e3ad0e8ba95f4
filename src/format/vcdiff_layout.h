// The VCDIFF layout both the reader and the writer of xdelta files follow:
// the magic, the indicator bits, the address caches and the standard code
// table (RFC 3284), with no fact written twice.
#pragma once

#include <array>
#include <cstdint>

inline constexpr std::array<std::uint8_t, 4> VCDIFF_MAGIC = {0xD6, 0xC3, 0xC4, 0x00};

// The header indicator: a secondary compressor's id follows, a code table of
// the file's own, application data.
inline constexpr std::uint8_t VCD_DECOMPRESS = 0x01, VCD_CODETABLE = 0x02, VCD_APPHEADER = 0x04;
// The window indicator: it copies from the source or from the target, and
// (xdelta3's mark) the Adler-32 of its target follows the section lengths.
inline constexpr std::uint8_t VCD_SOURCE = 0x01, VCD_TARGET = 0x02, VCD_ADLER32 = 0x04;
// The delta indicator: which sections a secondary compressor packed.
inline constexpr std::uint8_t VCD_DATACOMP = 0x01, VCD_INSTCOMP = 0x02, VCD_ADDRCOMP = 0x04;

// The address caches: near slots, and blocks of 256 same slots. Address
// modes: 0 the address itself, 1 back from here, then one per near slot,
// then one per same block.
inline constexpr unsigned VCD_NEAR = 4, VCD_SAME = 3;
inline constexpr std::uint8_t VCD_SELF = 0, VCD_HERE = 1, VCD_FIRST_NEAR = 2, VCD_FIRST_SAME = VCD_FIRST_NEAR + VCD_NEAR;
inline constexpr std::uint8_t VCD_MODES = VCD_FIRST_SAME + VCD_SAME;

// The instructions, and the sizes the standard table holds in an opcode of
// one instruction (size 0: the size follows the opcode).
enum : std::uint8_t { VCD_NOOP = 0, VCD_ADD = 1, VCD_RUN = 2, VCD_COPY = 3 };
inline constexpr std::uint8_t VCD_ADD_MAX = 17, VCD_COPY_MIN = 4, VCD_COPY_MAX = 18;

struct vcdiff_instruction {
    std::uint8_t type = VCD_NOOP, size = 0, mode = 0;
};
using vcdiff_code = std::array<vcdiff_instruction, 2>;

// The standard code table: 256 entries of one or two instructions each.
constexpr std::array<vcdiff_code, 256> standard_code_table() {
    std::array<vcdiff_code, 256> t{};
    std::size_t i = 0;
    t[i++] = {vcdiff_instruction{VCD_RUN, 0, 0}, {}};
    for (std::uint8_t size = 0; size <= VCD_ADD_MAX; ++size) t[i++] = {vcdiff_instruction{VCD_ADD, size, 0}, {}};
    for (std::uint8_t mode = 0; mode < VCD_MODES; ++mode) {
        t[i++] = {vcdiff_instruction{VCD_COPY, 0, mode}, {}};
        for (std::uint8_t size = VCD_COPY_MIN; size <= VCD_COPY_MAX; ++size)
            t[i++] = {vcdiff_instruction{VCD_COPY, size, mode}, {}};
    }
    for (std::uint8_t mode = 0; mode < VCD_FIRST_SAME; ++mode)
        for (std::uint8_t add = 1; add <= 4; ++add)
            for (std::uint8_t copy = 4; copy <= 6; ++copy)
                t[i++] = {vcdiff_instruction{VCD_ADD, add, 0}, {VCD_COPY, copy, mode}};
    for (std::uint8_t mode = VCD_FIRST_SAME; mode < VCD_MODES; ++mode)
        for (std::uint8_t add = 1; add <= 4; ++add) t[i++] = {vcdiff_instruction{VCD_ADD, add, 0}, {VCD_COPY, 4, mode}};
    for (std::uint8_t mode = 0; mode < VCD_MODES; ++mode)
        t[i++] = {vcdiff_instruction{VCD_COPY, 4, mode}, {VCD_ADD, 1, 0}};
    return t;
}
inline constexpr std::array<vcdiff_code, 256> VCDIFF_CODE_TABLE = standard_code_table();

// The opcode of the table's lone instruction of that type, size and mode.
constexpr std::uint8_t vcdiff_opcode(std::uint8_t type, std::uint8_t size, std::uint8_t mode) {
    for (std::size_t i = 0; i < VCDIFF_CODE_TABLE.size(); ++i) {
        const vcdiff_code& c = VCDIFF_CODE_TABLE[i];
        if (c[0].type == type && c[0].size == size && c[0].mode == mode && c[1].type == VCD_NOOP)
            return static_cast<std::uint8_t>(i);
    }
    return 0;
}
static_assert(vcdiff_opcode(VCD_ADD, 0, 0) == 1 && vcdiff_opcode(VCD_COPY, 0, 0) == 19 &&
              vcdiff_opcode(VCD_COPY, 18, 8) == 162 && VCDIFF_CODE_TABLE[255][1].type == VCD_ADD);

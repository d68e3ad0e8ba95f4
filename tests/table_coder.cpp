// The straightforward table-driven sector coder, kept for the tests as the
// yardstick of the fast coder in src/edc_ecc.cpp: two log/antilog lookups per
// data byte and parity row, and a byte-wise EDC table. Same interface, same
// bytes, deliberately not tuned.
#include "table_coder.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace table_coder {

namespace {

using std::uint8_t;
using std::uint32_t;

// ---------------------------------------------------------------------------
// GF(2^8) over x^8 + x^4 + x^3 + x^2 + 1 with generator alpha = 2.

constexpr std::array<uint8_t, 255> make_alog() {
    std::array<uint8_t, 255> alog{};
    unsigned v = 1;
    for (std::size_t e = 0; e < alog.size(); ++e) {
        alog[e] = static_cast<uint8_t>(v);
        v <<= 1;
        if (v & 0x100U) v ^= 0x11DU;
    }
    return alog;
}

constexpr std::array<uint8_t, 255> rs_l12_alog = make_alog();

constexpr std::array<uint8_t, 256> make_log() {
    std::array<uint8_t, 256> log{};  // entry 0 has no logarithm; it stays 0
    for (std::size_t e = 0; e < rs_l12_alog.size(); ++e)
        log[rs_l12_alog[e]] = static_cast<uint8_t>(e);
    return log;
}

constexpr std::array<uint8_t, 256> rs_l12_log = make_log();

static_assert(rs_l12_alog[0] == 0x01 && rs_l12_alog[1] == 0x02 &&
              rs_l12_alog[8] == 0x1D && rs_l12_alog[9] == 0x3A &&
              rs_l12_alog[10] == 0x74 && rs_l12_alog[11] == 0xE8);
static_assert(rs_l12_alog[251] == 0xD8 && rs_l12_alog[252] == 0xAD &&
              rs_l12_alog[253] == 0x47 && rs_l12_alog[254] == 0x8E);
static_assert(rs_l12_log[0] == 0 && rs_l12_log[1] == 0 && rs_l12_log[2] == 1 &&
              rs_l12_log[3] == 25 && rs_l12_log[4] == 2 &&
              rs_l12_log[5] == 50 && rs_l12_log[6] == 26 &&
              rs_l12_log[7] == 198 && rs_l12_log[8] == 3 &&
              rs_l12_log[9] == 223 && rs_l12_log[10] == 51 &&
              rs_l12_log[11] == 238 && rs_l12_log[255] == 175);

constexpr bool log_inverts_alog() {
    for (std::size_t e = 0; e < rs_l12_alog.size(); ++e)
        if (rs_l12_log[rs_l12_alog[e]] != e) return false;
    return true;
}
static_assert(log_inverts_alog(), "alpha must generate the whole field");

// Logarithm of (1 + alpha^n) / (1 + alpha).
constexpr uint8_t coefficient_log(unsigned n) {
    const unsigned sum = 1U ^ rs_l12_alog[n % 255];
    return static_cast<uint8_t>((rs_l12_log[sum] + 255U - rs_l12_log[3]) % 255U);
}

// Coefficient logarithms of a two-parity RS code over `Places` data symbols:
// row 0 feeds the first parity symbol, row 1 the second.
template <std::size_t Places>
constexpr std::array<std::array<uint8_t, Places>, 2> make_coefficients() {
    std::array<std::array<uint8_t, Places>, 2> c{};
    for (unsigned k = 0; k < Places; ++k) {
        c[0][k] = coefficient_log(static_cast<unsigned>(Places) + 1U - k);
        c[1][k] = static_cast<uint8_t>(
            (1U + coefficient_log(static_cast<unsigned>(Places) - k)) % 255U);
    }
    return c;
}

constexpr auto DP = make_coefficients<24>();
constexpr auto DQ = make_coefficients<43>();

template <std::size_t N>
constexpr bool same(const std::array<uint8_t, N>& a,
                    const std::array<uint8_t, N>& b) {
    for (std::size_t i = 0; i < N; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

static_assert(same(DP[0], std::array<uint8_t, 24>{
                              231, 229, 171, 210, 240, 17,  67,  215,
                              43,  120, 8,   199, 74,  102, 220, 251,
                              95,  175, 87,  166, 113, 75,  198, 25}));
static_assert(same(DP[1], std::array<uint8_t, 24>{
                              230, 172, 211, 241, 18,  68,  216, 44,
                              121, 9,   200, 75,  103, 221, 252, 96,
                              176, 88,  167, 114, 76,  199, 26,  1}));
static_assert(same(DQ[0], std::array<uint8_t, 43>{
                              190, 96,  250, 132, 59,  81,  159, 154, 200,
                              7,   111, 245, 10,  20,  41,  156, 168, 79,
                              173, 231, 229, 171, 210, 240, 17,  67,  215,
                              43,  120, 8,   199, 74,  102, 220, 251, 95,
                              175, 87,  166, 113, 75,  198, 25}));
static_assert(same(DQ[1], std::array<uint8_t, 43>{
                              97,  251, 133, 60,  82,  160, 155, 201, 8,
                              112, 246, 11,  21,  42,  157, 169, 80,  174,
                              232, 230, 172, 211, 241, 18,  68,  216, 44,
                              121, 9,   200, 75,  103, 221, 252, 96,  176,
                              88,  167, 114, 76,  199, 26,  1}));

// ---------------------------------------------------------------------------
// EDC: reflected CRC-32 with the polynomial 0x8001801B (0xD8018001 reflected).

constexpr std::array<uint32_t, 256> make_edc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t c = n;
        for (int step = 0; step < 8; ++step)
            c = (c & 1U) ? (c >> 1) ^ 0xD8018001U : c >> 1;
        t[n] = c;
    }
    return t;
}

constexpr std::array<uint32_t, 256> EDC_crctable = make_edc_table();

static_assert(EDC_crctable[0] == 0x00000000U && EDC_crctable[1] == 0x90910101U &&
              EDC_crctable[2] == 0x91210201U && EDC_crctable[3] == 0x01B00300U &&
              EDC_crctable[4] == 0x92410401U && EDC_crctable[5] == 0x02D00500U &&
              EDC_crctable[6] == 0x03600600U && EDC_crctable[7] == 0x93F10701U &&
              EDC_crctable[128] == 0xD8018001U && EDC_crctable[255] == 0x7070FF00U);

// ---------------------------------------------------------------------------
// Sector layout.

constexpr std::array<uint8_t, 12> sync_pattern = {
    0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Offsets inside the body, which starts at sector byte 12.
constexpr std::size_t BODY = 12;
constexpr std::size_t P0 = 2064;       // 43 pairs, after 24 rows of 86 bytes
constexpr std::size_t P1 = 2150;       // 43 pairs
constexpr std::size_t Q_DATA = 2236;   // 26 diagonals x 43 pairs
constexpr std::size_t Q0 = 2236;       // 26 pairs
constexpr std::size_t Q1 = 2288;       // 26 pairs
constexpr std::size_t BODY_SIZE = 2340;

using body_span = std::span<uint8_t, BODY_SIZE>;

uint8_t bin2bcd(unsigned p) {
    return static_cast<uint8_t>((p / 10U) * 16U + p % 10U);
}

int build_address(std::span<uint8_t, SECTOR_SIZE> inout, int sectortype,
                  unsigned address) {
    inout[12] = bin2bcd(address / 4500U);
    inout[13] = bin2bcd((address / 75U) % 60U);
    inout[14] = bin2bcd(address % 75U);
    switch (sectortype) {
        case MODE_0: inout[15] = 0x00; return 0;
        case MODE_1: inout[15] = 0x01; return 0;
        case MODE_2:
        case MODE_2_FORM_1:
        case MODE_2_FORM_2: inout[15] = 0x02; return 0;
        default: return -1;
    }
}

// parity ^= d * alpha^c, skipping zero data bytes.
inline void multiply_add(uint8_t& parity0, uint8_t& parity1, uint8_t d,
                         uint8_t c0, uint8_t c1) {
    if (d == 0) return;
    const unsigned base = rs_l12_log[d];
    unsigned s0 = base + c0;
    if (s0 > 254) s0 -= 255;
    unsigned s1 = base + c1;
    if (s1 > 254) s1 -= 255;
    parity0 ^= rs_l12_alog[s0];
    parity1 ^= rs_l12_alog[s1];
}

int encode_L2_P(body_span inout) {
    std::fill(inout.begin() + P0, inout.begin() + Q_DATA, uint8_t{0});
    for (std::size_t j = 0; j < 43; ++j)
        for (std::size_t i = 0; i < 24; ++i)
            for (std::size_t h = 0; h < 2; ++h)
                multiply_add(inout[P0 + 2 * j + h], inout[P1 + 2 * j + h],
                             inout[2 * j + 86 * i + h], DP[0][i], DP[1][i]);
    return 0;
}

int encode_L2_Q(body_span inout) {
    std::fill(inout.begin() + Q0, inout.end(), uint8_t{0});
    for (std::size_t k = 0; k < 26; ++k)
        for (std::size_t m = 0; m < 43; ++m)
            for (std::size_t h = 0; h < 2; ++h)
                multiply_add(inout[Q0 + 2 * k + h], inout[Q1 + 2 * k + h],
                             inout[(86 * k + 88 * m) % Q_DATA + h], DQ[0][m],
                             DQ[1][m]);
    return 0;
}

void store_edc(std::span<uint8_t, SECTOR_SIZE> inout, std::size_t at,
               uint32_t edc) {
    inout[at] = static_cast<uint8_t>(edc);
    inout[at + 1] = static_cast<uint8_t>(edc >> 8);
    inout[at + 2] = static_cast<uint8_t>(edc >> 16);
    inout[at + 3] = static_cast<uint8_t>(edc >> 24);
}

}  // namespace

std::uint32_t table_build_edc(std::span<const std::uint8_t> inout, int from,
                              int upto) {
    from = std::max(from, 0);
    upto = static_cast<int>(std::min<long long>(
        upto, static_cast<long long>(inout.size()) - 1));
    uint32_t result = 0;
    for (int x = from; x <= upto; ++x)
        result = EDC_crctable[(result ^ inout[static_cast<std::size_t>(x)]) & 0xFFU] ^
                 (result >> 8);
    return result;
}

int table_encode_L2(std::span<std::uint8_t, SECTOR_SIZE> inout, int sectortype,
                    unsigned address) {
    std::copy(sync_pattern.begin(), sync_pattern.end(), inout.begin());
    const body_span body = inout.subspan<BODY, BODY_SIZE>();
    switch (sectortype) {
        case MODE_0:
            std::fill(inout.begin() + BODY, inout.end(), uint8_t{0});
            build_address(inout, sectortype, address);
            break;
        case MODE_1:
            build_address(inout, sectortype, address);
            store_edc(inout, 2064, table_build_edc(inout, 0, 2063));
            std::fill(inout.begin() + 2068, inout.begin() + 2076, uint8_t{0});
            encode_L2_P(body);
            encode_L2_Q(body);
            break;
        case MODE_2:
            build_address(inout, sectortype, address);
            break;
        case MODE_2_FORM_1:
            store_edc(inout, 2072, table_build_edc(inout, 16, 2071));
            std::fill(inout.begin() + BODY, inout.begin() + 16, uint8_t{0});
            encode_L2_P(body);
            encode_L2_Q(body);
            build_address(inout, sectortype, address);
            break;
        case MODE_2_FORM_2:
            build_address(inout, sectortype, address);
            store_edc(inout, 2348, table_build_edc(inout, 16, 2347));
            break;
        default:
            return -1;
    }
    return 0;
}

}  // namespace table_coder

// The sector coder. Both parity rows are derived from two running sums over
// the data symbols of each codeword: their plain sum S0 and the sum S1 of each
// symbol weighted by alpha^(distance from the codeword's end), kept by Horner's
// rule (multiply by alpha, add the next symbol). Then
//     first parity  = (S0 + S1) / (1 + alpha),   second parity = S0 + first,
// which equals the weighted sums of the coefficient tables below (checked at
// compile time). Multiplying by alpha is a shift and a conditional xor, so
// whole rows of symbols go through it side by side: sixteen at a time in
// portable vector code, and 32 at a time with AVX2 where the processor has it.
// The EDC drops the message's bits into a 32-byte tail through a sparse
// multiple of its polynomial and finishes with tables, or folds 64 bytes per
// step with carry-less multiplies.
#include "sector/edc_ecc.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "sector/byte_order.h"
#include "sector/edc_ecc_internal.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CORVANE_VECTOR_CODER 1
#define CORVANE_VECTOR_TARGET __attribute__((target("avx2,pclmul")))
#else
#define CORVANE_VECTOR_CODER 0
#endif

namespace {

using std::uint8_t;
using std::uint32_t;
using std::uint64_t;

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
// Q's coefficients: known leading entries, and its first row ends in P's.
template <std::size_t N, std::size_t M>
constexpr bool starts_with(const std::array<uint8_t, N>& a, const std::array<uint8_t, M>& head) {
    for (std::size_t i = 0; i < M; ++i)
        if (a[i] != head[i]) return false;
    return true;
}
static_assert(starts_with(DQ[0], std::array<uint8_t, 12>{190, 96, 250, 132, 59, 81, 159, 154, 200, 7, 111, 245}));
static_assert(starts_with(DQ[1], std::array<uint8_t, 12>{97, 251, 133, 60, 82, 160, 155, 201, 8, 112, 246, 11}));
static_assert([] {
    for (std::size_t i = 0; i < 24; ++i)
        if (DQ[0][19 + i] != DP[0][i]) return false;
    return DQ[1][42] == 1;
}());

constexpr uint8_t gf_mul(uint8_t a, uint8_t b) {
    if (a == 0 || b == 0) return 0;
    return rs_l12_alog[(rs_l12_log[a] + rs_l12_log[b]) % 255U];
}

// 1 / (1 + alpha): the factor that turns S0 + S1 into the first parity symbol.
constexpr uint8_t KAPPA = rs_l12_alog[(255U - rs_l12_log[3]) % 255U];
static_assert(KAPPA == 0xF4 && gf_mul(KAPPA, 3) == 1);

// The running-sum form gives every data symbol the weights of the coefficient
// tables: symbol k of a codeword with `Places` data symbols is weighted
// alpha^(Places + 1 - k) in S1.
template <std::size_t Places>
constexpr bool running_sums_match(const std::array<std::array<uint8_t, Places>, 2>& c) {
    for (std::size_t k = 0; k < Places; ++k) {
        const uint8_t w1 = rs_l12_alog[(Places + 1 - k) % 255U];
        const uint8_t first = gf_mul(KAPPA, static_cast<uint8_t>(1U ^ w1));
        const uint8_t second = static_cast<uint8_t>(1U ^ first);
        if (first != rs_l12_alog[c[0][k]] || second != rs_l12_alog[c[1][k]]) return false;
    }
    return true;
}
static_assert(running_sums_match<24>(DP));
static_assert(running_sums_match<43>(DQ));

// Products by KAPPA: whole bytes, and split into low and high nibble for the
// byte shuffles (x * KAPPA = LO[x & 15] ^ HI[x >> 4]).
constexpr std::array<uint8_t, 256> make_kappa_products() {
    std::array<uint8_t, 256> t{};
    for (unsigned x = 0; x < 256; ++x) t[x] = gf_mul(static_cast<uint8_t>(x), KAPPA);
    return t;
}
constexpr std::array<uint8_t, 256> KAPPA_MUL = make_kappa_products();

constexpr std::array<uint8_t, 16> make_kappa_nibbles(unsigned shift) {
    std::array<uint8_t, 16> t{};
    for (unsigned x = 0; x < 16; ++x) t[x] = KAPPA_MUL[x << shift];
    return t;
}
constexpr std::array<uint8_t, 16> KAPPA_LO = make_kappa_nibbles(0);
constexpr std::array<uint8_t, 16> KAPPA_HI = make_kappa_nibbles(4);

static_assert(KAPPA_MUL[0] == 0 && KAPPA_MUL[1] == 0xF4 && KAPPA_MUL[3] == 1 &&
              KAPPA_MUL[2] == 0xF5 && KAPPA_MUL[0x80] == 0x8B);
constexpr bool nibbles_split_products() {
    for (unsigned x = 0; x < 256; ++x)
        if ((KAPPA_LO[x & 15U] ^ KAPPA_HI[x >> 4]) != KAPPA_MUL[x]) return false;
    return true;
}
static_assert(nibbles_split_products());

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

// Eight tables for eight bytes per step: table k advances a byte's remainder
// over k more zero bytes.
constexpr std::array<std::array<uint32_t, 256>, 8> make_edc_slices() {
    std::array<std::array<uint32_t, 256>, 8> t{};
    t[0] = EDC_crctable;
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t n = 0; n < 256; ++n)
            t[k][n] = (t[k - 1][n] >> 8) ^ EDC_crctable[t[k - 1][n] & 0xFFU];
    return t;
}

constexpr auto EDC_slices = make_edc_slices();

static_assert(EDC_slices[1][1] == 0x90019000U && EDC_slices[1][255] == 0x007070FFU &&
              EDC_slices[3][1] == 0x41000001U && EDC_slices[3][255] == 0xAF71008EU &&
              EDC_slices[7][1] == 0x65904101U && EDC_slices[7][255] == 0xB3013FB1U);

uint32_t edc_bytes(uint32_t edc, const uint8_t* p, std::size_t n) {
    for (; n >= 8; p += 8, n -= 8) {
        const uint32_t lo = load_le32(std::span<const uint8_t, 4>(p, 4)) ^ edc;
        const uint32_t hi = load_le32(std::span<const uint8_t, 4>(p + 4, 4));
        edc = EDC_slices[7][lo & 0xFFU] ^ EDC_slices[6][(lo >> 8) & 0xFFU] ^
              EDC_slices[5][(lo >> 16) & 0xFFU] ^ EDC_slices[4][lo >> 24] ^
              EDC_slices[3][hi & 0xFFU] ^ EDC_slices[2][(hi >> 8) & 0xFFU] ^
              EDC_slices[1][(hi >> 16) & 0xFFU] ^ EDC_slices[0][hi >> 24];
    }
    for (; n != 0; ++p, --n) edc = EDC_crctable[(edc ^ *p) & 0xFFU] ^ (edc >> 8);
    return edc;
}

// x^n modulo the EDC polynomial x^32 + x^31 + x^16 + x^15 + x^4 + x^3 + x + 1.
constexpr uint32_t x_power_mod(unsigned n) {
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r >> 32) r ^= 0x18001801BULL;
    }
    return static_cast<uint32_t>(r);
}
static_assert(x_power_mod(32) == 0x8001801BU);

// Modulo the polynomial, x^1024 = x^64 + x^16 + x^8 and x^256 = x^16 + x^4 +
// x^2. So a message bit 1024 (or 256) or more places before the message's end
// may be dropped in favour of three bits 960, 1008 and 1016 (or 240, 252 and
// 254) places later without changing the EDC. The portable EDC moves whole
// bytes on by the first until 128 bytes are left, then 64-bit words by the
// second until 32 bytes are left for the tables.
static_assert(x_power_mod(1024) == (x_power_mod(64) ^ x_power_mod(16) ^ x_power_mod(8)));
static_assert(x_power_mod(256) == (x_power_mod(16) ^ x_power_mod(4) ^ x_power_mod(2)));
static_assert(x_power_mod(16) == 1U << 16 && x_power_mod(4) == 1U << 4 &&
              x_power_mod(2) == 1U << 2);

// x^n modulo the EDC polynomial as the 64-bit bit-reversed operand of a
// carry-less multiply (the factor x^n then moves a 64-bit half of a 128-bit
// block n + 1 places on).
constexpr uint64_t fold_constant(unsigned n) {
    const uint32_t r = x_power_mod(n);
    uint64_t reversed = 0;
    for (unsigned bit = 0; bit < 32; ++bit)
        if ((r >> bit) & 1U) reversed |= uint64_t{1} << (63 - bit);
    return reversed;
}

// Moving a 128-bit block 512 (or 128) bits on: its first eight bytes hold the
// higher powers and move 64 places more than its last eight.
constexpr uint64_t FOLD_512_HIGH = fold_constant(512 + 64 - 1);
constexpr uint64_t FOLD_512_LOW = fold_constant(512 - 1);
constexpr uint64_t FOLD_128_HIGH = fold_constant(128 + 64 - 1);
constexpr uint64_t FOLD_128_LOW = fold_constant(128 - 1);
static_assert(FOLD_512_HIGH == 0x6851500100000000ULL && FOLD_512_LOW == 0x1100000100000000ULL &&
              FOLD_128_HIGH == 0x5C11C10000000000ULL && FOLD_128_LOW == 0x5101000100000000ULL);


// ---------------------------------------------------------------------------
// Sector layout.

// The parity counts from the header on: the body is the sector from byte 12.
// Up to Q0 it is 26 rows of 86 bytes (43 columns of two interleaved bytes): 24
// data rows, then the P parity rows P0 and P1. P codeword j is column j of the
// 24 data rows; Q codeword k takes column m from row (k + m) mod 26, for
// m = 0..42. Offsets below are inside the body.
constexpr std::size_t BODY = HEADER;
constexpr std::size_t ROW = 86;
constexpr std::size_t P0 = P_PARITY - BODY;
constexpr std::size_t P1 = P0 + ROW;
constexpr std::size_t Q0 = Q_PARITY - BODY;
constexpr std::size_t Q_SIZE = 52;
constexpr std::size_t Q1 = Q0 + Q_SIZE;
constexpr std::size_t BODY_SIZE = SECTOR_SIZE - BODY;
static_assert(P0 == 24 * ROW && P1 == 25 * ROW && Q0 == 26 * ROW && Q1 + Q_SIZE == BODY_SIZE);

int build_address(std::span<uint8_t, SECTOR_SIZE> inout, int sectortype,
                  unsigned address) {
    const auto msf = header_address(address);
    std::copy(msf.begin(), msf.end(), inout.begin() + HEADER);
    switch (sectortype) {
        case MODE_0: inout[MODE_BYTE] = 0x00; return 0;
        case MODE_1: inout[MODE_BYTE] = 0x01; return 0;
        case MODE_2:
        case MODE_2_FORM_1:
        case MODE_2_FORM_2: inout[MODE_BYTE] = 0x02; return 0;
        default: return -1;
    }
}

void store_edc(std::span<uint8_t, SECTOR_SIZE> inout, std::size_t at,
               uint32_t edc) {
    store_le32(inout.subspan(at).first<4>(), edc);
}

// --- Portable way: sixteen symbols side by side. ----------------------------
//
// GCC and clang map these vectors onto the host's vector registers where it has
// them (SSE2 on every x86-64, NEON, z/Architecture) and onto plain word code
// where it has none. Every operation on them is per byte, and they go to and
// from memory as bytes, so the host's byte order plays no part.

typedef uint8_t symbols __attribute__((vector_size(16)));
typedef int8_t signed_symbols __attribute__((vector_size(16)));
constexpr std::size_t LANE_BYTES = sizeof(symbols);

inline symbols load_symbols(const uint8_t* p) {
    symbols v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline symbols times_alpha(symbols v) {
    const symbols carry = reinterpret_cast<symbols>(reinterpret_cast<signed_symbols>(v) < 0);
    return (v + v) ^ (carry & 0x1D);
}

// Times KAPPA = alpha^7 + alpha^6 + alpha^5 + alpha^4 + alpha^2, by Horner's
// rule over its bits.
inline symbols times_kappa(symbols v) {
    static_assert(KAPPA == 0xF4);
    symbols r = v;
    for (int bit = 6; bit >= 0; --bit) {
        r = times_alpha(r);
        if ((KAPPA >> bit) & 1U) r ^= v;
    }
    return r;
}

// The parity pair of sixteen codewords from their running sums:
// first = (s0 + alpha * acc) * KAPPA, second = s0 + first.
inline void parity_from_sums(symbols s0, symbols acc, uint8_t* first, uint8_t* second) {
    const symbols p = times_kappa(s0 ^ times_alpha(acc));
    const symbols q = s0 ^ p;
    std::memcpy(first, &p, LANE_BYTES);
    std::memcpy(second, &q, LANE_BYTES);
}

// P: Horner over the 24 data rows, six vectors per row (the last ten bytes
// belong to the next row and are never stored).
void parity_p_portable(uint8_t* sector) {
    constexpr std::size_t VECTORS = 6;
    uint8_t* const body = sector + BODY;
    symbols s0[VECTORS] = {};
    symbols acc[VECTORS] = {};
    for (std::size_t row = 0; row < 24; ++row)
        for (std::size_t w = 0; w < VECTORS; ++w) {
            const symbols v = load_symbols(body + row * ROW + LANE_BYTES * w);
            s0[w] ^= v;
            acc[w] = times_alpha(acc[w] ^ v);
        }
    std::array<uint8_t, LANE_BYTES * VECTORS> first;
    std::array<uint8_t, LANE_BYTES * VECTORS> second;
    for (std::size_t w = 0; w < VECTORS; ++w)
        parity_from_sums(s0[w], acc[w], first.data() + LANE_BYTES * w,
                         second.data() + LANE_BYTES * w);
    std::memcpy(body + P0, first.data(), ROW);
    std::memcpy(body + P1, second.data(), ROW);
}

// Q codeword k takes place m from row (k + m) mod 26, column m. Sixteen bytes
// from row R, column c on hold columns c .. c + 7 of that row: place c of
// codeword K = R - c, place c + 1 of codeword K - 1, ..., place c + 7 of
// codeword K - 7. Reading one row and one column further on moves each of the
// eight a place on, so a band of eight codewords runs Horner's rule in step,
// lane j a place ahead of lane j - 1. Four bands (K = 8, 16, 24, 6) cover all
// 26 codewords. A lane before place 0 or past place 42 reads another
// codeword's bytes: they are masked off at the start, and the lane's sums are
// held at the end. Band K = 7 is left out: its first read would start before
// the sector.
constexpr std::array<std::size_t, 4> Q_BANDS = {8, 16, 24, 6};
constexpr int Q_PLACES = 43;
constexpr int Q_LANES = 8;

// Which lanes of a band are inside their codeword when the band reads column c.
constexpr std::array<uint8_t, LANE_BYTES> lanes_inside(int c) {
    std::array<uint8_t, LANE_BYTES> mask{};
    for (std::size_t b = 0; b < LANE_BYTES; ++b) {
        const int place = c + static_cast<int>(b / 2);
        if (place >= 0 && place < Q_PLACES) mask[b] = 0xFF;
    }
    return mask;
}

template <std::size_t... C>
constexpr auto lane_masks(int from, std::index_sequence<C...>) {
    return std::array<std::array<uint8_t, LANE_BYTES>, sizeof...(C)>{
        lanes_inside(from + static_cast<int>(C))...};
}
constexpr auto LEADING = lane_masks(-(Q_LANES - 1), std::make_index_sequence<Q_LANES - 1>());
constexpr auto TRAILING = lane_masks(Q_PLACES - Q_LANES + 1, std::make_index_sequence<Q_LANES - 1>());
static_assert(LEADING[0][13] == 0 && LEADING[0][14] == 0xFF && LEADING[6][1] == 0 &&
              LEADING[6][2] == 0xFF && TRAILING[0][13] == 0xFF && TRAILING[0][14] == 0 &&
              TRAILING[6][1] == 0xFF && TRAILING[6][2] == 0);

// Sector offset of each band's read at each step: row (K + c) mod 26 of the
// body, column c, for c = -7 .. 42.
constexpr int Q_STEPS = Q_PLACES + Q_LANES - 1;
constexpr auto Q_READS = [] {
    std::array<std::array<std::size_t, Q_BANDS.size()>, Q_STEPS> at{};
    for (int step = 0; step < Q_STEPS; ++step)
        for (std::size_t b = 0; b < Q_BANDS.size(); ++b) {
            const int c = step - (Q_LANES - 1);
            const int row = (static_cast<int>(Q_BANDS[b]) + c + 26) % 26;
            at[static_cast<std::size_t>(step)][b] =
                static_cast<std::size_t>(static_cast<int>(BODY + ROW * static_cast<std::size_t>(row)) + 2 * c);
        }
    return at;
}();
static_assert(Q_READS[0][0] == BODY + ROW * 1 - 14 && Q_READS[1][3] == 0 &&
              Q_READS[Q_STEPS - 1][2] == BODY + ROW * 14 + 84);

void parity_q_portable(uint8_t* sector) {
    uint8_t* const body = sector + BODY;
    symbols s0[Q_BANDS.size()] = {};
    symbols acc[Q_BANDS.size()] = {};
    std::size_t step = 0;
    // One Horner step over every band, the bytes of each masked by `mask`.
    const auto absorb = [&](symbols mask) {
        for (std::size_t b = 0; b < Q_BANDS.size(); ++b) {
            const symbols v = load_symbols(sector + Q_READS[step][b]) & mask;
            s0[b] ^= v;
            acc[b] = times_alpha(acc[b] ^ v);
        }
        ++step;
    };
    for (const auto& m : LEADING) absorb(load_symbols(m.data()));
    while (step < Q_PLACES) absorb(~symbols{});
    for (const auto& m : TRAILING) {
        const symbols mask = load_symbols(m.data());
        for (std::size_t b = 0; b < Q_BANDS.size(); ++b) {
            const symbols v = load_symbols(sector + Q_READS[step][b]) & mask;
            s0[b] ^= v;
            acc[b] ^= (times_alpha(acc[b] ^ v) ^ acc[b]) & mask;
        }
        ++step;
    }
    for (std::size_t b = 0; b < Q_BANDS.size(); ++b) {
        std::array<uint8_t, LANE_BYTES> first;
        std::array<uint8_t, LANE_BYTES> second;
        parity_from_sums(s0[b], acc[b], first.data(), second.data());
        for (std::size_t j = 0; j < Q_LANES; ++j) {
            const std::size_t k = (Q_BANDS[b] + 26 - j) % 26;
            std::memcpy(body + Q0 + 2 * k, first.data() + 2 * j, 2);
            std::memcpy(body + Q1 + 2 * k, second.data() + 2 * j, 2);
        }
    }
}

// Bytes in message order, least significant first: bit b of the word is bit
// b % 8 of byte b / 8, so every bit stands 64 places before its like in the
// next word, on hosts of either byte order.
inline uint64_t load_le64(const uint8_t* p) {
    return uint64_t{p[0]} | uint64_t{p[1]} << 8 | uint64_t{p[2]} << 16 | uint64_t{p[3]} << 24 |
           uint64_t{p[4]} << 32 | uint64_t{p[5]} << 40 | uint64_t{p[6]} << 48 |
           uint64_t{p[7]} << 56;
}

// What a word's bits become 240, 252 and 254 places on: the part that lands
// in the word three on, and the part that lands in the word four on.
constexpr uint64_t three_on(uint64_t f) { return (f ^ (f << 12) ^ (f << 14)) << 48; }
constexpr uint64_t four_on(uint64_t f) { return (f ^ (f >> 2) ^ (f >> 14)) >> 2; }

// EDC of n >= 64 bytes: words 0 .. count - 5 moved on, one after the other,
// into the later words; the last four go through the tables. Word 0 holds the
// first n % 8 (or 8) bytes in its last places: zero bytes in front of a
// message leave its EDC alone.
uint32_t edc_words(const uint8_t* p, std::size_t n) {
    const std::size_t first = n % 8 == 0 ? 8 : n % 8;
    const std::size_t count = 1 + (n - first) / 8;
    const auto word = [&](std::size_t k) { return load_le64(p + first + 8 * (k - 1)); };
    uint64_t a = 0;
    for (std::size_t i = 0; i < first; ++i) a |= uint64_t{p[i]} << (8 * (8 - first + i));
    uint64_t b = word(1);
    uint64_t c = word(2);
    uint64_t d = word(3) ^ three_on(a);
    for (std::size_t k = 4; k + 1 < count; ++k) {
        const uint64_t e = word(k) ^ three_on(b) ^ four_on(a);
        a = b;
        b = c;
        c = d;
        d = e;
    }
    // a is the last word moved on; b, c, d and the last word are what is left.
    const std::array<uint64_t, 4> rest = {b, c, d, word(count - 1) ^ four_on(a)};
    std::array<uint8_t, 32> bytes;
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(rest[i / 8] >> (8 * (i % 8)));
    return edc_bytes(0, bytes.data(), bytes.size());
}

// EDC of one stretch of at most EDC_STRETCH bytes (and at least 256),
// continuing from `edc`: the running EDC goes into the first four bytes, the
// bytes are moved on sixteen at a time until 128 are left, and those go
// through edc_words. Each byte's final value is the byte xor the final values
// of the bytes 120, 126 and 127 places before it that were moved on.
constexpr std::size_t EDC_STRETCH = 4096;
constexpr std::size_t EDC_LEFT = 128;

uint32_t edc_stretch(uint32_t edc, const uint8_t* p, std::size_t n) {
    const std::size_t pad = (LANE_BYTES - (n - EDC_LEFT) % LANE_BYTES) % LANE_BYTES;
    const std::size_t moved = pad + n - EDC_LEFT;
    // 128 zero bytes (the moved bytes before the message), the final values
    // of the moved bytes, and zeros for reads past them.
    alignas(16) std::array<uint8_t, EDC_LEFT + EDC_STRETCH + 2 * LANE_BYTES> finals;
    std::memset(finals.data(), 0, EDC_LEFT);
    uint8_t* const f = finals.data() + EDC_LEFT;
    std::memset(f + moved, 0, LANE_BYTES);
    std::array<uint8_t, EDC_LEFT> left;
    // The first two reads, with the zeros in front and the running EDC.
    std::array<uint8_t, 2 * LANE_BYTES> head{};
    std::memcpy(head.data() + pad, p, head.size() - pad);
    for (std::size_t i = 0; i < 4; ++i) head[pad + i] ^= static_cast<uint8_t>(edc >> (8 * i));
    const auto final_value = [&](std::size_t t) {
        const symbols v = t < head.size() ? load_symbols(head.data() + t) : load_symbols(p + t - pad);
        return v ^ load_symbols(f + t - 120) ^ load_symbols(f + t - 126) ^
               load_symbols(f + t - 127);
    };
    std::size_t t = 0;
    for (; t < moved; t += LANE_BYTES) {
        const symbols v = final_value(t);
        std::memcpy(f + t, &v, LANE_BYTES);
    }
    for (; t < moved + EDC_LEFT; t += LANE_BYTES) {
        const symbols v = final_value(t);
        std::memcpy(left.data() + (t - moved), &v, LANE_BYTES);
    }
    return edc_words(left.data(), left.size());
}

// Stretch by stretch; what is too short for one goes through the tables.
uint32_t edc_portable(const uint8_t* p, std::size_t n) {
    uint32_t edc = 0;
    while (n >= 2 * EDC_LEFT) {
        const std::size_t stretch = std::min(n, EDC_STRETCH);
        edc = edc_stretch(edc, p, stretch);
        p += stretch;
        n -= stretch;
    }
    return edc_bytes(edc, p, n);
}

// --- Vector way: AVX2 and PCLMULQDQ. ----------------------------------------

#if CORVANE_VECTOR_CODER

CORVANE_VECTOR_TARGET inline __m256i times_alpha_v(__m256i v) {
    const __m256i high = _mm256_cmpgt_epi8(_mm256_setzero_si256(), v);
    return _mm256_xor_si256(_mm256_add_epi8(v, v),
                            _mm256_and_si256(high, _mm256_set1_epi8(0x1D)));
}

CORVANE_VECTOR_TARGET inline __m256i load_nibble_table(const std::array<uint8_t, 16>& t) {
    return _mm256_broadcastsi128_si256(
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
}

// (s0 + alpha * acc) * KAPPA through two nibble shuffles.
CORVANE_VECTOR_TARGET inline __m256i first_parity_v(__m256i s0, __m256i acc, __m256i lo,
                                                    __m256i hi) {
    const __m256i x = _mm256_xor_si256(s0, times_alpha_v(acc));
    const __m256i nibble = _mm256_set1_epi8(0x0F);
    return _mm256_xor_si256(
        _mm256_shuffle_epi8(lo, _mm256_and_si256(x, nibble)),
        _mm256_shuffle_epi8(hi, _mm256_and_si256(_mm256_srli_epi16(x, 4), nibble)));
}

// Parity of `Vectors` x 32 running sums; the first `bytes` go to first/second.
template <std::size_t Vectors>
CORVANE_VECTOR_TARGET inline void finish_parity_v(const __m256i* s0, const __m256i* acc,
                                                  std::size_t bytes, uint8_t* first,
                                                  uint8_t* second) {
    const __m256i lo = load_nibble_table(KAPPA_LO);
    const __m256i hi = load_nibble_table(KAPPA_HI);
    alignas(32) std::array<uint8_t, 32 * Vectors> a{};
    alignas(32) std::array<uint8_t, 32 * Vectors> b{};
    for (std::size_t w = 0; w < Vectors; ++w) {
        const __m256i p = first_parity_v(s0[w], acc[w], lo, hi);
        _mm256_store_si256(reinterpret_cast<__m256i*>(a.data() + 32 * w), p);
        _mm256_store_si256(reinterpret_cast<__m256i*>(b.data() + 32 * w),
                           _mm256_xor_si256(s0[w], p));
    }
    std::memcpy(first, a.data(), bytes);
    std::memcpy(second, b.data(), bytes);
}

// One Horner step over `Vectors` vectors of codeword bytes from `p`: their
// sum, and the accumulator times alpha plus them.
template <std::size_t Vectors>
CORVANE_VECTOR_TARGET inline void horner_step(__m256i (&s0)[Vectors], __m256i (&acc)[Vectors], const uint8_t* p) {
    for (std::size_t w = 0; w < Vectors; ++w) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * w));
        s0[w] = _mm256_xor_si256(s0[w], v);
        acc[w] = times_alpha_v(_mm256_xor_si256(acc[w], v));
    }
}

// P: Horner over the 24 data rows, three vectors per row (the last ten bytes
// belong to the next row and are never stored).
CORVANE_VECTOR_TARGET void parity_p_vector(uint8_t* sector) {
    uint8_t* const body = sector + BODY;
    __m256i s0[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    __m256i acc[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    for (std::size_t row = 0; row < 24; ++row) {
        horner_step<3>(s0, acc, body + row * ROW);
    }
    finish_parity_v<3>(s0, acc, ROW, body + P0, body + P1);
}

// Turns an 8 x 8 block of byte pairs (rows r0.., columns c0..) around and
// stores each column's eight pairs at row places r0 and r0 + 26 of
// `columns` (128 bytes per column: the column's 26 pairs twice over).
CORVANE_VECTOR_TARGET inline void turn_block(const uint8_t* const* rows, std::size_t c0,
                                             uint8_t* columns, std::size_t r0) {
    __m128i a[8];
    for (std::size_t j = 0; j < 8; ++j)
        a[j] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[j] + 2 * c0));
    const __m128i t0 = _mm_unpacklo_epi16(a[0], a[1]);
    const __m128i t1 = _mm_unpackhi_epi16(a[0], a[1]);
    const __m128i t2 = _mm_unpacklo_epi16(a[2], a[3]);
    const __m128i t3 = _mm_unpackhi_epi16(a[2], a[3]);
    const __m128i t4 = _mm_unpacklo_epi16(a[4], a[5]);
    const __m128i t5 = _mm_unpackhi_epi16(a[4], a[5]);
    const __m128i t6 = _mm_unpacklo_epi16(a[6], a[7]);
    const __m128i t7 = _mm_unpackhi_epi16(a[6], a[7]);
    const __m128i u0 = _mm_unpacklo_epi32(t0, t2);
    const __m128i u1 = _mm_unpackhi_epi32(t0, t2);
    const __m128i u2 = _mm_unpacklo_epi32(t1, t3);
    const __m128i u3 = _mm_unpackhi_epi32(t1, t3);
    const __m128i u4 = _mm_unpacklo_epi32(t4, t6);
    const __m128i u5 = _mm_unpackhi_epi32(t4, t6);
    const __m128i u6 = _mm_unpacklo_epi32(t5, t7);
    const __m128i u7 = _mm_unpackhi_epi32(t5, t7);
    const __m128i col[8] = {
        _mm_unpacklo_epi64(u0, u4), _mm_unpackhi_epi64(u0, u4),
        _mm_unpacklo_epi64(u1, u5), _mm_unpackhi_epi64(u1, u5),
        _mm_unpacklo_epi64(u2, u6), _mm_unpackhi_epi64(u2, u6),
        _mm_unpacklo_epi64(u3, u7), _mm_unpackhi_epi64(u3, u7)};
    for (std::size_t j = 0; j < 8; ++j) {
        uint8_t* c = columns + 128 * (c0 + j) + 2 * r0;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(c), col[j]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(c + 2 * 26), col[j]);
    }
}

// Q: the 26 x 43 pairs are turned into columns (8 x 8 blocks), each kept
// twice so that column m read from row m mod 26 on is codeword order; then
// Horner over the 43 columns, two vectors per column.
CORVANE_VECTOR_TARGET void parity_q_vector(uint8_t* sector) {
    uint8_t* const body = sector + BODY;
    alignas(32) std::array<uint8_t, 48 * 128> columns;  // every byte read is written first
    // Rows 24 and 25 first (their block also writes six unused rows into the
    // second copy, which the blocks of rows 0 to 7 then overwrite).
    const uint8_t* last[8];
    for (std::size_t j = 0; j < 8; ++j) last[j] = body + (j == 0 ? 24 : 25) * ROW;
    for (std::size_t c0 = 0; c0 < 48; c0 += 8) turn_block(last, c0, columns.data(), 24);
    for (std::size_t r0 = 0; r0 < 24; r0 += 8) {
        const uint8_t* rows[8];
        for (std::size_t j = 0; j < 8; ++j) rows[j] = body + (r0 + j) * ROW;
        for (std::size_t c0 = 0; c0 < 48; c0 += 8) turn_block(rows, c0, columns.data(), r0);
    }
    __m256i s0[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
    __m256i acc[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
    for (std::size_t m = 0; m < 43; ++m) {
        horner_step<2>(s0, acc, columns.data() + 128 * m + 2 * (m % 26));
    }
    finish_parity_v<2>(s0, acc, Q_SIZE, body + Q0, body + Q1);
}

CORVANE_VECTOR_TARGET inline __m128i fold(__m128i x, __m128i k, __m128i next) {
    return _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00),
                                       _mm_clmulepi64_si128(x, k, 0x11)),
                         next);
}

CORVANE_VECTOR_TARGET inline __m128i load16(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// Four 128-bit lanes folded 64 bytes per step, then into one, then 16 bytes
// per step. The folded block has the same remainder as everything it stands
// for, so its 16 bytes and the tail finish through the tables.
CORVANE_VECTOR_TARGET uint32_t edc_vector(const uint8_t* p, std::size_t n) {
    if (n < 128) return edc_bytes(0, p, n);
    const __m128i k512 = _mm_set_epi64x(static_cast<long long>(FOLD_512_LOW),
                                        static_cast<long long>(FOLD_512_HIGH));
    const __m128i k128 = _mm_set_epi64x(static_cast<long long>(FOLD_128_LOW),
                                        static_cast<long long>(FOLD_128_HIGH));
    __m128i x0 = load16(p);
    __m128i x1 = load16(p + 16);
    __m128i x2 = load16(p + 32);
    __m128i x3 = load16(p + 48);
    for (p += 64, n -= 64; n >= 64; p += 64, n -= 64) {
        x0 = fold(x0, k512, load16(p));
        x1 = fold(x1, k512, load16(p + 16));
        x2 = fold(x2, k512, load16(p + 32));
        x3 = fold(x3, k512, load16(p + 48));
    }
    __m128i x = fold(fold(fold(x0, k128, x1), k128, x2), k128, x3);
    for (; n >= 16; p += 16, n -= 16) x = fold(x, k128, load16(p));
    alignas(16) std::array<uint8_t, 16> block;
    _mm_store_si128(reinterpret_cast<__m128i*>(block.data()), x);
    return edc_bytes(edc_bytes(0, block.data(), block.size()), p, n);
}

bool cpu_has_vector() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("pclmul");
}

#else

bool cpu_has_vector() { return false; }

#endif


// --- Choice of way. ----------------------------------------------------------

struct coder {
    void (*parity_p)(uint8_t* sector);
    void (*parity_q)(uint8_t* sector);
    uint32_t (*edc)(const uint8_t*, std::size_t);
};

constexpr coder portable_coder{parity_p_portable, parity_q_portable, edc_portable};
#if CORVANE_VECTOR_CODER
constexpr coder vector_coder{parity_p_vector, parity_q_vector, edc_vector};
#endif

bool vector_usable() {
    static const bool usable = cpu_has_vector();
    return usable;
}

// The vector way where it is asked for and the processor can run it.
const coder& coder_for(edc_ecc_internal::coder_path path) {
#if CORVANE_VECTOR_CODER
    if (path == edc_ecc_internal::coder_path::vector && vector_usable()) return vector_coder;
#endif
    static_cast<void>(path);
    return portable_coder;
}

// The way do_encode_L2 and build_edc take: fixed on first use.
const coder& chosen() {
    static const coder& way = coder_for(edc_ecc_internal::coder_path::vector);
    return way;
}

uint32_t edc(const coder& way, std::span<const uint8_t> bytes, int from, int upto) {
    from = std::max(from, 0);
    upto = static_cast<int>(std::min<long long>(upto, static_cast<long long>(bytes.size()) - 1));
    if (from > upto) return 0;
    return way.edc(bytes.data() + from, static_cast<std::size_t>(upto - from) + 1);
}

// EDC of the sector's bytes from `from` up to, not including, `to`.
uint32_t edc_of(const coder& way, std::span<const uint8_t> sector, std::size_t from,
                std::size_t to) {
    return way.edc(sector.data() + from, to - from);
}

// P and Q of the sector as it stands.
void encode_L2_P(const coder& way, std::span<uint8_t, SECTOR_SIZE> inout) {
    way.parity_p(inout.data());
}
void encode_L2_Q(const coder& way, std::span<uint8_t, SECTOR_SIZE> inout) {
    way.parity_q(inout.data());
}

// Q covers P: computed after P for a rebuilt sector, before it (over the P
// the sector holds) for what the stored bytes call for.
void encode_pq(const coder& way, std::span<uint8_t, SECTOR_SIZE> inout, bool zero_header,
               q_covers q) {
    std::array<uint8_t, 4> header;
    std::copy_n(inout.begin() + HEADER, header.size(), header.begin());
    if (zero_header) std::fill_n(inout.begin() + HEADER, header.size(), uint8_t{0});
    if (q == q_covers::stored_p) encode_L2_Q(way, inout);
    encode_L2_P(way, inout);
    if (q == q_covers::new_p) encode_L2_Q(way, inout);
    std::copy(header.begin(), header.end(), inout.begin() + HEADER);
}

int encode(const coder& way, std::span<uint8_t, SECTOR_SIZE> inout, int sectortype,
           unsigned address) {
    std::copy(SYNC_PATTERN.begin(), SYNC_PATTERN.end(), inout.begin());
    switch (sectortype) {
        case MODE_0:
            std::fill(inout.begin() + HEADER, inout.end(), uint8_t{0});
            build_address(inout, sectortype, address);
            break;
        case MODE_1:
            build_address(inout, sectortype, address);
            store_edc(inout, MODE1_EDC_AT, edc_of(way, inout, 0, MODE1_EDC_AT));
            std::fill(inout.begin() + MODE1_ZERO, inout.begin() + P_PARITY, uint8_t{0});
            encode_pq(way, inout, false, q_covers::new_p);
            break;
        case MODE_2:
            build_address(inout, sectortype, address);
            break;
        case MODE_2_FORM_1:
            // The parity is taken over a zero header; the header comes after.
            store_edc(inout, EDC_AT, edc_of(way, inout, SUBHEADER, EDC_AT));
            encode_pq(way, inout, true, q_covers::new_p);
            build_address(inout, sectortype, address);
            break;
        case MODE_2_FORM_2:
            build_address(inout, sectortype, address);
            store_edc(inout, FORM2_EDC_AT, edc_of(way, inout, SUBHEADER, FORM2_EDC_AT));
            break;
        default:
            return -1;
    }
    return 0;
}

}  // namespace

namespace edc_ecc_internal {

bool vector_supported() { return vector_usable(); }

coder_path chosen_path() {
    return &chosen() == &portable_coder ? coder_path::portable : coder_path::vector;
}

int encode_with(coder_path path, std::span<std::uint8_t, SECTOR_SIZE> inout, int sectortype,
                unsigned address) {
    return encode(coder_for(path), inout, sectortype, address);
}

void parity_with(coder_path path, std::span<std::uint8_t, SECTOR_SIZE> inout, bool zero_header,
                 q_covers q) {
    encode_pq(coder_for(path), inout, zero_header, q);
}

std::uint32_t edc_with(coder_path path, std::span<const std::uint8_t> bytes, int from,
                       int upto) {
    return edc(coder_for(path), bytes, from, upto);
}

}  // namespace edc_ecc_internal

std::uint32_t build_edc(std::span<const std::uint8_t> inout, int from, int upto) {
    return edc(chosen(), inout, from, upto);
}

int do_encode_L2(std::span<std::uint8_t, SECTOR_SIZE> inout, int sectortype,
                 unsigned address) {
    return encode(chosen(), inout, sectortype, address);
}

void encode_L2_PQ(std::span<std::uint8_t, SECTOR_SIZE> inout, bool zero_header, q_covers q) {
    encode_pq(chosen(), inout, zero_header, q);
}

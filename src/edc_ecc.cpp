// The sector coder. Both parity rows are derived from two running sums over
// the data symbols of each codeword: their plain sum S0 and the sum S1 of each
// symbol weighted by alpha^(distance from the codeword's end), kept by Horner's
// rule (multiply by alpha, add the next symbol). Then
//     first parity  = (S0 + S1) / (1 + alpha),   second parity = S0 + first,
// which equals the weighted sums of the coefficient tables below (checked at
// compile time). Multiplying by alpha is a shift and a conditional xor, so
// whole rows of symbols go through it side by side: in 64-bit words on every
// host, and 32 bytes at a time with AVX2 where the processor has it. The EDC
// runs eight bytes per step through eight tables, or folds 64 bytes per step
// with carry-less multiplies.
#include "edc_ecc.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "byte_order.h"
#include "edc_ecc_internal.h"

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

// Eight bytes times alpha at once.
constexpr uint64_t times_alpha(uint64_t v) {
    const uint64_t high = v & 0x8080808080808080ULL;
    return ((v ^ high) << 1) ^ ((high >> 7) * 0x1DU);
}
static_assert(times_alpha(0x0000000000000080ULL) == 0x1D);
static_assert(times_alpha(0x8001FF0000000000ULL) == 0x1D02E30000000000ULL);

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

// x^n modulo the EDC polynomial x^32 + x^31 + x^16 + x^15 + x^4 + x^3 + x + 1,
// as the 64-bit bit-reversed operand of a carry-less multiply (the factor
// x^n then moves a 64-bit half of a 128-bit block n + 1 places on).
constexpr uint64_t fold_constant(unsigned n) {
    uint64_t r = 1;
    for (unsigned i = 0; i < n; ++i) {
        r <<= 1;
        if (r >> 32) r ^= 0x18001801BULL;
    }
    uint64_t reversed = 0;
    for (unsigned bit = 0; bit < 64; ++bit)
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

constexpr std::array<uint8_t, 12> sync_pattern = {
    0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};

// Offsets inside the body, which starts at sector byte 12. The body up to Q0
// is 26 rows of 86 bytes (43 columns of two interleaved bytes): 24 data rows,
// then the P parity rows P0 and P1. P codeword j is column j of the 24 data
// rows; Q codeword k takes column m from row (k + m) mod 26, for m = 0..42.
constexpr std::size_t BODY = 12;
constexpr std::size_t ROW = 86;
constexpr std::size_t P0 = 2064;
constexpr std::size_t P1 = 2150;
constexpr std::size_t Q0 = 2236;
constexpr std::size_t Q1 = 2288;
constexpr std::size_t Q_SIZE = 52;
constexpr std::size_t BODY_SIZE = 2340;
static_assert(P0 == 24 * ROW && P1 == 25 * ROW && Q0 == 26 * ROW && Q1 == Q0 + Q_SIZE &&
              Q1 + Q_SIZE == BODY_SIZE && BODY + BODY_SIZE == SECTOR_SIZE);

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

void store_edc(std::span<uint8_t, SECTOR_SIZE> inout, std::size_t at,
               uint32_t edc) {
    store_le32(inout.subspan(at).first<4>(), edc);
}

// Writes both parity rows from the running sums of `bytes` byte pairs'
// worth of codewords: first = (s0 + alpha * acc) * KAPPA, second = s0 + first.
void finish_parity(const uint8_t* s0, const uint8_t* acc_times_alpha, std::size_t bytes,
                   uint8_t* first, uint8_t* second) {
    for (std::size_t b = 0; b < bytes; ++b) {
        const uint8_t p = KAPPA_MUL[s0[b] ^ acc_times_alpha[b]];
        first[b] = p;
        second[b] = static_cast<uint8_t>(s0[b] ^ p);
    }
}

// --- Portable way: 64-bit words of eight symbols each. ----------------------

// P: Horner over the 24 data rows, 11 words per row (the last two bytes of a
// word row are the next row's and are never stored).
void parity_p_portable(uint8_t* body) {
    constexpr std::size_t WORDS = 11;
    std::array<uint64_t, WORDS> s0{};
    std::array<uint64_t, WORDS> acc{};
    for (std::size_t row = 0; row < 24; ++row) {
        const uint8_t* p = body + row * ROW;
        for (std::size_t w = 0; w < WORDS; ++w) {
            uint64_t v;
            std::memcpy(&v, p + 8 * w, 8);
            s0[w] ^= v;
            acc[w] = times_alpha(acc[w] ^ v);
        }
    }
    for (auto& a : acc) a = times_alpha(a);
    std::array<uint8_t, 8 * WORDS> sum{};
    std::array<uint8_t, 8 * WORDS> weighted{};
    std::memcpy(sum.data(), s0.data(), sum.size());
    std::memcpy(weighted.data(), acc.data(), weighted.size());
    finish_parity(sum.data(), weighted.data(), ROW, body + P0, body + P1);
}

// Q: Horner over the 43 columns; for column m the 26 codewords' symbol pairs
// are gathered from rows m, m + 1, ... (wrapping), four pairs to a word, the
// first pair in the lowest bits.
void parity_q_portable(uint8_t* body) {
    constexpr std::size_t WORDS = 7;
    std::array<uint64_t, WORDS> s0{};
    std::array<uint64_t, WORDS> acc{};
    std::array<uint64_t, 4 * WORDS> pairs{};  // the last two stay zero
    for (std::size_t m = 0; m < 43; ++m) {
        std::size_t row = m % 26;
        for (std::size_t k = 0; k < 26; ++k) {
            const uint8_t* pair = body + row * ROW + 2 * m;
            pairs[k] = uint64_t{pair[0]} | uint64_t{pair[1]} << 8;
            if (++row == 26) row = 0;
        }
        for (std::size_t w = 0; w < WORDS; ++w) {
            const uint64_t v = pairs[4 * w] | pairs[4 * w + 1] << 16 | pairs[4 * w + 2] << 32 |
                               pairs[4 * w + 3] << 48;
            s0[w] ^= v;
            acc[w] = times_alpha(acc[w] ^ v);
        }
    }
    std::array<uint8_t, 8 * WORDS> sum{};
    std::array<uint8_t, 8 * WORDS> weighted{};
    for (std::size_t b = 0; b < sum.size(); ++b) {
        sum[b] = static_cast<uint8_t>(s0[b / 8] >> (8 * (b % 8)));
        weighted[b] = static_cast<uint8_t>(times_alpha(acc[b / 8]) >> (8 * (b % 8)));
    }
    finish_parity(sum.data(), weighted.data(), Q_SIZE, body + Q0, body + Q1);
}

uint32_t edc_portable(const uint8_t* p, std::size_t n) { return edc_bytes(0, p, n); }

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

// P: Horner over the 24 data rows, three vectors per row (the last ten bytes
// belong to the next row and are never stored).
CORVANE_VECTOR_TARGET void parity_p_vector(uint8_t* body) {
    __m256i s0[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    __m256i acc[3] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256()};
    for (std::size_t row = 0; row < 24; ++row) {
        const uint8_t* p = body + row * ROW;
        for (std::size_t w = 0; w < 3; ++w) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * w));
            s0[w] = _mm256_xor_si256(s0[w], v);
            acc[w] = times_alpha_v(_mm256_xor_si256(acc[w], v));
        }
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
CORVANE_VECTOR_TARGET void parity_q_vector(uint8_t* body) {
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
        const uint8_t* p = columns.data() + 128 * m + 2 * (m % 26);
        for (std::size_t w = 0; w < 2; ++w) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32 * w));
            s0[w] = _mm256_xor_si256(s0[w], v);
            acc[w] = times_alpha_v(_mm256_xor_si256(acc[w], v));
        }
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
    void (*parity_p)(uint8_t*);
    void (*parity_q)(uint8_t*);
    uint32_t (*edc)(const uint8_t*, std::size_t);
};

constexpr coder portable_coder{parity_p_portable, parity_q_portable, edc_portable};
#if CORVANE_VECTOR_CODER
constexpr coder vector_coder{parity_p_vector, parity_q_vector, edc_vector};
#else
constexpr coder vector_coder = portable_coder;
#endif

bool vector_usable() {
    static const bool usable = cpu_has_vector();
    return usable;
}

// The coder in use; chosen on first use.
const coder* active = nullptr;

const coder& current() {
    if (active == nullptr) active = vector_usable() ? &vector_coder : &portable_coder;
    return *active;
}

// P and Q parity of a sector body through the way in use; P first, since Q
// covers it.
void encode_L2_P(uint8_t* body) { current().parity_p(body); }
void encode_L2_Q(uint8_t* body) { current().parity_q(body); }

uint32_t edc_of(std::span<const uint8_t> bytes, std::size_t from, std::size_t upto) {
    return current().edc(bytes.data() + from, upto + 1 - from);
}

}  // namespace

namespace edc_ecc_internal {

bool vector_supported() { return vector_usable(); }

coder_path active_path() {
    return &current() == &portable_coder ? coder_path::portable : coder_path::vector;
}

bool use_path(coder_path path) {
    if (path == coder_path::vector && !vector_usable()) return false;
    active = path == coder_path::vector ? &vector_coder : &portable_coder;
    return true;
}

}  // namespace edc_ecc_internal

std::uint32_t build_edc(std::span<const std::uint8_t> inout, int from,
                        int upto) {
    from = std::max(from, 0);
    upto = static_cast<int>(std::min<long long>(
        upto, static_cast<long long>(inout.size()) - 1));
    if (from > upto) return 0;
    return edc_of(inout, static_cast<std::size_t>(from), static_cast<std::size_t>(upto));
}

int do_encode_L2(std::span<std::uint8_t, SECTOR_SIZE> inout, int sectortype,
                 unsigned address) {
    std::copy(sync_pattern.begin(), sync_pattern.end(), inout.begin());
    uint8_t* const body = inout.data() + BODY;
    switch (sectortype) {
        case MODE_0:
            std::fill(inout.begin() + BODY, inout.end(), uint8_t{0});
            build_address(inout, sectortype, address);
            break;
        case MODE_1:
            build_address(inout, sectortype, address);
            store_edc(inout, 2064, edc_of(inout, 0, 2063));
            std::fill(inout.begin() + 2068, inout.begin() + 2076, uint8_t{0});
            encode_L2_P(body);
            encode_L2_Q(body);
            break;
        case MODE_2:
            build_address(inout, sectortype, address);
            break;
        case MODE_2_FORM_1:
            store_edc(inout, 2072, edc_of(inout, 16, 2071));
            std::fill(inout.begin() + BODY, inout.begin() + 16, uint8_t{0});
            encode_L2_P(body);
            encode_L2_Q(body);
            build_address(inout, sectortype, address);
            break;
        case MODE_2_FORM_2:
            build_address(inout, sectortype, address);
            store_edc(inout, 2348, edc_of(inout, 16, 2347));
            break;
        default:
            return -1;
    }
    return 0;
}

#include "format/checksum.h"

#include <algorithm>
#include <array>

#include "sector/byte_order.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define CORVANE_X86_CHECKSUMS 1
#endif

namespace {

// Eight tables, so that eight bytes are taken a step: table k gives the
// CRC of a byte followed by k zero bytes.
using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;
constexpr crc_tables make_crc_tables() {
    crc_tables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320U ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t k = 1; k < 8; ++k)
        for (std::size_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr crc_tables CRC_TABLES = make_crc_tables();
static_assert(CRC_TABLES[0][1] == 0x77073096U && CRC_TABLES[0][255] == 0x2D02EF8DU);

// The running register (the CRC inverted) over `bytes`.
std::uint32_t crc_register(std::uint32_t reg, std::span<const std::uint8_t> bytes) {
    const auto& t = CRC_TABLES;
    std::size_t i = 0;
    for (; i + 8 <= bytes.size(); i += 8) {
        const std::uint32_t low = reg ^ load_le32(bytes.subspan(i).first<4>());
        const std::uint32_t high = load_le32(bytes.subspan(i + 4).first<4>());
        reg = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    for (; i < bytes.size(); ++i) reg = t[0][(reg ^ bytes[i]) & 0xFF] ^ (reg >> 8);
    return reg;
}

constexpr std::uint32_t ADLER_MOD = 65521;

#ifdef CORVANE_X86_CHECKSUMS

// A lane carried forward over the distance of the powers in `k`.
__attribute__((target("pclmul,sse4.1"))) __m128i fold(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// The register over a whole number of 16-byte blocks, at least four, by
// folding: four 128-bit lanes carried 512 bits at a time, folded into one,
// then reduced to 32 bits (Barrett). The constants are powers of x modulo
// the polynomial, bit-reflected.
__attribute__((target("pclmul,sse4.1"))) std::uint32_t crc_register_folded(std::uint32_t reg, const std::uint8_t* p,
                                                                           std::size_t blocks) {
    const auto load = [](const std::uint8_t* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
    const __m128i by4 = _mm_set_epi64x(0x1C6E41596LL, 0x154442BD4LL);
    const __m128i by1 = _mm_set_epi64x(0x0CCAA009ELL, 0x1751997D0LL);
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    blocks -= 4;
    for (; blocks >= 4; blocks -= 4, p += 64) {
        x0 = _mm_xor_si128(fold(x0, by4), load(p));
        x1 = _mm_xor_si128(fold(x1, by4), load(p + 16));
        x2 = _mm_xor_si128(fold(x2, by4), load(p + 32));
        x3 = _mm_xor_si128(fold(x3, by4), load(p + 48));
    }
    __m128i x = _mm_xor_si128(fold(x0, by1), x1);
    x = _mm_xor_si128(fold(x, by1), x2);
    x = _mm_xor_si128(fold(x, by1), x3);
    for (; blocks > 0; --blocks, p += 16) x = _mm_xor_si128(fold(x, by1), load(p));
    // 128 bits to 64, then to 32 and the Barrett reduction.
    const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
    x = _mm_xor_si128(_mm_clmulepi64_si128(x, by1, 0x10), _mm_srli_si128(x, 8));
    x = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x, mask32), _mm_set_epi64x(0, 0x163CD6124LL), 0x00),
                      _mm_srli_si128(x, 4));
    const __m128i poly = _mm_set_epi64x(0x1F7011641LL, 0x1DB710641LL);
    __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), poly, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), poly, 0x00);
    return static_cast<std::uint32_t>(_mm_extract_epi32(_mm_xor_si128(t, x), 1));
}

// Adler-32's two sums over 32-byte blocks: the bytes' sum by SAD, the
// weighted sum by multiply-adds with the weights 32 down to 1.
__attribute__((target("ssse3"))) std::uint32_t adler32_blocks(std::span<const std::uint8_t> bytes, std::uint32_t adler) {
    constexpr std::size_t BLOCK = 32, MOST = 5536 / BLOCK;  // blocks between reductions, sums within 32 bits
    std::uint32_t a = adler & 0xFFFFU, b = adler >> 16;
    const std::uint8_t* p = bytes.data();
    std::size_t blocks = bytes.size() / BLOCK;
    const __m128i high = _mm_setr_epi8(32, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19, 18, 17);
    const __m128i low = _mm_setr_epi8(16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1);
    const __m128i zero = _mm_setzero_si128(), ones = _mm_set1_epi16(1);
    const auto total = [](__m128i v) {
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    };
    while (blocks > 0) {
        const std::size_t n = std::min(blocks, MOST);
        blocks -= n;
        // before: the bytes of earlier blocks, summed once per later block.
        __m128i before = _mm_cvtsi32_si128(static_cast<int>(a * n)), sum = zero, weighted = zero;
        for (std::size_t k = 0; k < n; ++k, p += BLOCK) {
            const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
            const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
            before = _mm_add_epi32(before, sum);
            sum = _mm_add_epi32(sum, _mm_add_epi32(_mm_sad_epu8(first, zero), _mm_sad_epu8(second, zero)));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(first, high), ones));
            weighted = _mm_add_epi32(weighted, _mm_madd_epi16(_mm_maddubs_epi16(second, low), ones));
        }
        b = static_cast<std::uint32_t>((b + std::uint64_t{total(weighted)} + (std::uint64_t{total(before)} << 5)) % ADLER_MOD);
        a = (a + total(sum)) % ADLER_MOD;
    }
    return adler32_plain(bytes.subspan(bytes.size() / BLOCK * BLOCK), b << 16 | a);
}

#endif

}  // namespace

std::uint32_t crc32_plain(std::uint32_t crc, std::span<const std::uint8_t> bytes) { return ~crc_register(~crc, bytes); }

namespace {

// Polynomials over GF(2) modulo the CRC's, as the reflected register holds
// them (x^0 in the top bit): a times b.
std::uint32_t times_mod_p(std::uint32_t a, std::uint32_t b) {
    std::uint32_t product = 0;
    for (std::uint32_t bit = 1U << 31; bit != 0; bit >>= 1) {
        if ((a & bit) != 0) product ^= b;
        b = (b & 1U) != 0 ? (b >> 1) ^ 0xEDB88320U : b >> 1;  // b times x
    }
    return product;
}

}  // namespace

std::uint32_t crc32_combine(std::uint32_t first, std::uint32_t second, std::uint64_t second_length) {
    // The first's register is carried past the second's bytes: multiplied by
    // x^(8 * length), built from x^(2^k) by squaring.
    std::uint32_t shift = 1U << 31;  // x^0
    std::uint32_t power = 1U << 23;  // x^8: one byte
    for (std::uint64_t n = second_length; n != 0; n >>= 1) {
        if ((n & 1U) != 0) shift = times_mod_p(shift, power);
        power = times_mod_p(power, power);
    }
    return times_mod_p(shift, first) ^ second;
}

std::uint32_t crc32_update(std::uint32_t crc, std::span<const std::uint8_t> bytes) {
#ifdef CORVANE_X86_CHECKSUMS
    static const bool folds = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    if (folds && bytes.size() >= 64) {
        const std::size_t blocks = bytes.size() / 16;
        const std::uint32_t reg = crc_register_folded(~crc, bytes.data(), blocks);
        return ~crc_register(reg, bytes.subspan(blocks * 16));
    }
#endif
    return crc32_plain(crc, bytes);
}

std::uint32_t adler32_plain(std::span<const std::uint8_t> bytes, std::uint32_t adler) {
    // Over a run of n bytes, a grows by their sum and b by n times a at the
    // run's start plus each byte times the bytes from it to the run's end:
    // two sums the compiler can take in vector registers. 4096 bytes keep
    // the weighted sum inside 32 bits.
    constexpr std::size_t RUN = 4096;
    std::uint64_t a = adler & 0xFFFFU, b = adler >> 16;
    while (!bytes.empty()) {
        const std::size_t n = std::min(RUN, bytes.size());
        const std::uint8_t* p = bytes.data();
        std::uint32_t total = 0, weighted = 0;
        for (std::size_t i = 0; i < n; ++i) {
            total += p[i];
            weighted += static_cast<std::uint32_t>(n - i) * p[i];
        }
        b = (b + n * a + weighted) % ADLER_MOD;
        a = (a + total) % ADLER_MOD;
        bytes = bytes.subspan(n);
    }
    return static_cast<std::uint32_t>(b << 16 | a);
}

std::uint32_t adler32(std::span<const std::uint8_t> bytes, std::uint32_t adler) {
#ifdef CORVANE_X86_CHECKSUMS
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) return adler32_blocks(bytes, adler);
#endif
    return adler32_plain(bytes, adler);
}

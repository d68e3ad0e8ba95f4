#include "reference_coder.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace reference {

namespace {

constexpr std::size_t BODY = 12;

std::uint8_t gf_pow2(unsigned e) {
    static const std::array<std::uint8_t, 255> powers = [] {
        std::array<std::uint8_t, 255> p{};
        std::uint8_t v = 1;
        for (auto& x : p) {
            x = v;
            v = gf_mul(v, 2);
        }
        return p;
    }();
    return powers[e % 255];
}

std::uint8_t gf_inv(std::uint8_t a) {
    for (unsigned b = 1; b < 256; ++b)
        if (gf_mul(a, static_cast<std::uint8_t>(b)) == 1) return static_cast<std::uint8_t>(b);
    return 0;
}

// Coefficients of a two-parity code over n data symbols: data symbol k
// enters parity 0 with (1 + a^(n+1-k)) / (1 + a) and parity 1 with
// a * (1 + a^(n-k)) / (1 + a).
struct coefficients {
    std::array<std::uint8_t, 43> c0{}, c1{};
};

coefficients make(unsigned n) {
    coefficients c;
    const std::uint8_t inv3 = gf_inv(3);
    for (unsigned k = 0; k < n; ++k) {
        c.c0[k] = gf_mul(static_cast<std::uint8_t>(1 ^ gf_pow2(n + 1 - k)), inv3);
        c.c1[k] = gf_mul(2, gf_mul(static_cast<std::uint8_t>(1 ^ gf_pow2(n - k)), inv3));
    }
    return c;
}

std::size_t p_data(std::size_t j, std::size_t i) { return 2 * j + 86 * i; }
std::size_t q_data(std::size_t k, std::size_t m) { return (86 * k + 88 * m) % 2236; }

void parity(std::span<std::uint8_t, SECTOR_SIZE> s) {
    std::uint8_t* body = s.data() + BODY;
    static const coefficients P = make(24), Q = make(43);
    for (std::size_t j = 0; j < 43; ++j)
        for (std::size_t h = 0; h < 2; ++h) {
            std::uint8_t a = 0, b = 0;
            for (std::size_t i = 0; i < 24; ++i) {
                a ^= gf_mul(body[p_data(j, i) + h], P.c0[i]);
                b ^= gf_mul(body[p_data(j, i) + h], P.c1[i]);
            }
            body[2064 + 2 * j + h] = a;
            body[2150 + 2 * j + h] = b;
        }
    for (std::size_t k = 0; k < 26; ++k)
        for (std::size_t h = 0; h < 2; ++h) {
            std::uint8_t a = 0, b = 0;
            for (std::size_t m = 0; m < 43; ++m) {
                a ^= gf_mul(body[q_data(k, m) + h], Q.c0[m]);
                b ^= gf_mul(body[q_data(k, m) + h], Q.c1[m]);
            }
            body[2236 + 2 * k + h] = a;
            body[2288 + 2 * k + h] = b;
        }
}

std::uint8_t bcd(unsigned v) { return static_cast<std::uint8_t>((v / 10) * 16 + v % 10); }

void sync_and_header(std::span<std::uint8_t, SECTOR_SIZE> s, unsigned address, std::uint8_t mode) {
    s[0] = 0;
    for (std::size_t i = 1; i < 11; ++i) s[i] = 0xFF;
    s[11] = 0;
    s[12] = bcd(address / 4500);
    s[13] = bcd(address / 75 % 60);
    s[14] = bcd(address % 75);
    s[15] = mode;
}

void put_edc(std::span<std::uint8_t, SECTOR_SIZE> s, std::size_t at, std::uint32_t v) {
    for (std::size_t i = 0; i < 4; ++i) s[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Both checks of a codeword: plain XOR and the alpha-weighted sum.
bool codeword_ok(const std::uint8_t* symbols, std::size_t length) {
    std::uint8_t x = 0, w = 0;
    for (std::size_t t = 0; t < length; ++t) {
        x ^= symbols[t];
        w ^= gf_mul(symbols[t], gf_pow2(static_cast<unsigned>(length - 1 - t)));
    }
    return x == 0 && w == 0;
}

}  // namespace

std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    unsigned r = 0, x = a;
    for (unsigned y = b; y; y >>= 1) {
        if (y & 1) r ^= x;
        x <<= 1;
        if (x & 0x100) x ^= 0x11D;
    }
    return static_cast<std::uint8_t>(r);
}

std::uint32_t edc(std::span<const std::uint8_t> bytes) {
    std::uint32_t r = 0;
    for (const std::uint8_t b : bytes) {
        r ^= b;
        for (int i = 0; i < 8; ++i) r = (r & 1) ? (r >> 1) ^ 0xD8018001U : r >> 1;
    }
    return r;
}

void encode_mode2_form1(std::span<std::uint8_t, SECTOR_SIZE> s, unsigned address) {
    put_edc(s, 2072, edc(s.subspan(16, 2056)));
    for (std::size_t i = 12; i < 16; ++i) s[i] = 0;  // parity sees a zero header
    parity(s);
    sync_and_header(s, address, 2);
}

void encode_mode1(std::span<std::uint8_t, SECTOR_SIZE> s, unsigned address) {
    sync_and_header(s, address, 1);
    put_edc(s, 2064, edc(s.first(2064)));
    for (std::size_t i = 2068; i < 2076; ++i) s[i] = 0;
    parity(s);
}

std::string check_mode2_form1(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                              unsigned address) {
    std::array<std::uint8_t, SECTOR_SIZE> s{};
    std::copy(sector.begin(), sector.end(), s.begin());
    std::array<std::uint8_t, SECTOR_SIZE> expect = s;
    sync_and_header(expect, address, 2);
    if (!std::equal(s.begin(), s.begin() + 16, expect.begin())) return "sync or header";
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < 4; ++i) stored |= std::uint32_t{s[2072 + i]} << (8 * i);
    if (stored != edc(std::span(s).subspan(16, 2056))) return "EDC";
    for (std::size_t i = 12; i < 16; ++i) s[i] = 0;
    const std::uint8_t* body = s.data() + BODY;
    for (std::size_t j = 0; j < 43; ++j)
        for (std::size_t h = 0; h < 2; ++h) {
            std::array<std::uint8_t, 26> cw{};
            for (std::size_t i = 0; i < 24; ++i) cw[i] = body[p_data(j, i) + h];
            cw[24] = body[2064 + 2 * j + h];
            cw[25] = body[2150 + 2 * j + h];
            if (!codeword_ok(cw.data(), cw.size())) return "P parity";
        }
    for (std::size_t k = 0; k < 26; ++k)
        for (std::size_t h = 0; h < 2; ++h) {
            std::array<std::uint8_t, 45> cw{};
            for (std::size_t m = 0; m < 43; ++m) cw[m] = body[q_data(k, m) + h];
            cw[43] = body[2236 + 2 * k + h];
            cw[44] = body[2288 + 2 * k + h];
            if (!codeword_ok(cw.data(), cw.size())) return "Q parity";
        }
    return "";
}

std::string check_image(std::span<const std::uint8_t> image) {
    if (image.size() % SECTOR_SIZE != 0) return "length is not a multiple of 2352";
    for (std::size_t s = 0; s < image.size() / SECTOR_SIZE; ++s) {
        const std::string why = check_mode2_form1(
            image.subspan(s * SECTOR_SIZE).first<SECTOR_SIZE>(), static_cast<unsigned>(s + 150));
        if (!why.empty()) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "sector %zu: ", s);
            return buf + why;
        }
    }
    return "";
}

}  // namespace reference

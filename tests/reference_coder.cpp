#include "reference_coder.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace reference {

namespace {

constexpr std::size_t BODY = 12;

struct field {
    std::array<std::uint8_t, 255> alog{};
    std::array<std::uint8_t, 256> log{};
    field() {
        unsigned v = 1;
        for (unsigned e = 0; e < 255; ++e) {
            alog[e] = static_cast<std::uint8_t>(v);
            log[v] = static_cast<std::uint8_t>(e);
            v <<= 1;
            if (v & 0x100) v ^= 0x11D;
        }
    }
};

const field& gf() {
    static const field f;
    return f;
}

std::uint8_t gf_pow2(unsigned e) { return gf().alog[e % 255]; }

std::uint8_t gf_div(std::uint8_t a, std::uint8_t b) {
    if (a == 0) return 0;
    return gf().alog[(gf().log[a] + 255U - gf().log[b]) % 255U];
}

// Coefficients of a two-parity code over n data symbols: data symbol k
// enters parity 0 with (1 + a^(n+1-k)) / (1 + a) and parity 1 with
// a * (1 + a^(n-k)) / (1 + a).
struct coefficients {
    std::array<std::uint8_t, 43> c0{}, c1{};
    explicit coefficients(unsigned n) {
        for (unsigned k = 0; k < n; ++k) {
            c0[k] = gf_div(static_cast<std::uint8_t>(1 ^ gf_pow2(n + 1 - k)), 3);
            c1[k] = gf_mul(2, gf_div(static_cast<std::uint8_t>(1 ^ gf_pow2(n - k)), 3));
        }
    }
};

std::size_t p_data(std::size_t j, std::size_t i) { return 2 * j + 86 * i; }
std::size_t q_data(std::size_t k, std::size_t m) { return (86 * k + 88 * m) % 2236; }

void parity(std::span<std::uint8_t, SECTOR_SIZE> s) {
    std::uint8_t* body = s.data() + BODY;
    static const coefficients P(24), Q(43);
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

void write_sync(std::span<std::uint8_t, SECTOR_SIZE> s) {
    s[0] = 0;
    std::fill(s.begin() + 1, s.begin() + 11, std::uint8_t{0xFF});
    s[11] = 0;
}

void write_header(std::span<std::uint8_t, SECTOR_SIZE> s, unsigned address, std::uint8_t mode) {
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
    if (a == 0 || b == 0) return 0;
    return gf().alog[(gf().log[a] + gf().log[b]) % 255U];
}

std::uint32_t build_edc(std::span<const std::uint8_t> bytes, int from, int upto) {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int i = 0; i < 8; ++i) c = (c & 1) ? (c >> 1) ^ 0xD8018001U : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    std::uint32_t r = 0;
    const long long last = std::min<long long>(upto, static_cast<long long>(bytes.size()) - 1);
    for (long long x = std::max(from, 0); x <= last; ++x)
        r = table[(r ^ bytes[static_cast<std::size_t>(x)]) & 0xFF] ^ (r >> 8);
    return r;
}

int encode_L2(std::span<std::uint8_t, SECTOR_SIZE> s, int type, unsigned address) {
    write_sync(s);
    switch (type) {
        case MODE_0:
            std::fill(s.begin() + 12, s.end(), std::uint8_t{0});
            write_header(s, address, 0);
            return 0;
        case MODE_1:
            write_header(s, address, 1);
            put_edc(s, 2064, build_edc(s, 0, 2063));
            std::fill(s.begin() + 2068, s.begin() + 2076, std::uint8_t{0});
            parity(s);
            return 0;
        case MODE_2:
            write_header(s, address, 2);
            return 0;
        case MODE_2_FORM_1:
            put_edc(s, 2072, build_edc(s, 16, 2071));
            std::fill(s.begin() + 12, s.begin() + 16, std::uint8_t{0});  // parity sees a zero header
            parity(s);
            write_header(s, address, 2);
            return 0;
        case MODE_2_FORM_2:
            write_header(s, address, 2);
            put_edc(s, 2348, build_edc(s, 16, 2347));
            return 0;
        default:
            return -1;
    }
}

std::string check_mode2_form1(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                              unsigned address) {
    std::array<std::uint8_t, SECTOR_SIZE> s{};
    std::copy(sector.begin(), sector.end(), s.begin());
    std::array<std::uint8_t, SECTOR_SIZE> expect = s;
    write_sync(expect);
    write_header(expect, address, 2);
    if (!std::equal(s.begin(), s.begin() + 16, expect.begin())) return "sync or header";
    std::uint32_t stored = 0;
    for (std::size_t i = 0; i < 4; ++i) stored |= std::uint32_t{s[2072 + i]} << (8 * i);
    if (stored != build_edc(s, 16, 2071)) return "EDC";
    std::fill(s.begin() + 12, s.begin() + 16, std::uint8_t{0});
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

#include "reference_coder.h"

#include <algorithm>
#include <array>

namespace reference {

namespace {

// GF(2^8) over x^8 + x^4 + x^3 + x^2 + 1 with alpha = 2.
const struct field {
    std::array<unsigned, 255> alog{};
    std::array<unsigned, 256> log{};
    field() {
        for (unsigned e = 0, v = 1; e < 255; ++e, v = (v << 1) ^ (v & 0x80 ? 0x11D : 0))
            log[alog[e] = v] = e;
    }
    std::uint8_t mul(unsigned a, unsigned b) const {
        return a == 0 || b == 0 ? 0 : static_cast<std::uint8_t>(alog[(log[a] + log[b]) % 255]);
    }
} gf;

// The 138 codewords: 86 P codewords (column n of the 24 data rows, then P0
// and P1) and 52 Q codewords (diagonal (n - 86) / 2, byte (n - 86) % 2: 43
// places, then Q0 and Q1), as the sector positions of their symbols. Rows of
// 86 bytes start at byte 12.
constexpr std::size_t codewords = 86 + 52;
std::size_t length(std::size_t n) { return n < 86 ? 26 : 45; }
std::size_t position(std::size_t n, std::size_t t) {
    if (n < 86) return 12 + 86 * t + n;
    const std::size_t k = n - 86;
    return 12 + (t < 43 ? (86 * (k / 2) + 88 * t) % 2236 + k % 2 : 2236 + 52 * (t - 43) + k);
}

// Plain sum and alpha-weighted sum (alpha^(places to the codeword's end)) of
// codeword n's first `count` symbols. A valid codeword has both zero.
std::array<std::uint8_t, 2> sums(std::span<const std::uint8_t> s, std::size_t n, std::size_t count) {
    std::array<std::uint8_t, 2> r{};
    for (std::size_t t = 0; t < count; ++t) {
        r[0] ^= s[position(n, t)];
        r[1] ^= gf.mul(s[position(n, t)], gf.alog[length(n) - 1 - t]);
    }
    return r;
}

// The parity symbols p (weight alpha) and q (weight 1) solve p + q = plain and
// alpha p + q = weighted: p = (plain + weighted) / (1 + alpha). Q covers P:
// the new P when P comes first, the stored one with `q_first`.
void write_parity(std::span<std::uint8_t, SECTOR_SIZE> s, bool q_first = false) {
    for (std::size_t i = 0; i < codewords; ++i) {
        const std::size_t n = q_first ? (i + 86) % codewords : i;
        const auto [plain, weighted] = sums(s, n, length(n) - 2);
        const std::uint8_t p = gf.mul(plain ^ weighted, gf.alog[255 - gf.log[3]]);
        s[position(n, length(n) - 2)] = p;
        s[position(n, length(n) - 1)] = static_cast<std::uint8_t>(plain ^ p);
    }
}

void write_header(std::span<std::uint8_t, SECTOR_SIZE> s, unsigned address, std::uint8_t mode) {
    const unsigned msf[3] = {address / 4500, address / 75 % 60, address % 75};
    for (std::size_t i = 0; i < 3; ++i) s[12 + i] = static_cast<std::uint8_t>(msf[i] / 10 * 16 + msf[i] % 10);
    s[15] = mode;
}

void write_edc(std::span<std::uint8_t, SECTOR_SIZE> s, std::size_t at, int from) {
    const std::uint32_t edc = build_edc(s, from, static_cast<int>(at) - 1);
    for (std::size_t i = 0; i < 4; ++i) s[at + i] = static_cast<std::uint8_t>(edc >> (8 * i));
}

}  // namespace

// Bit by bit, least significant first, through the polynomial 0x8001801B reflected.
std::uint32_t build_edc(std::span<const std::uint8_t> bytes, int from, int upto) {
    std::uint32_t r = 0;
    const long long last = std::min<long long>(upto, static_cast<long long>(bytes.size()) - 1);
    for (long long x = std::max(from, 0); x <= last; ++x) {
        r ^= bytes[static_cast<std::size_t>(x)];
        for (int bit = 0; bit < 8; ++bit) r = (r >> 1) ^ (r & 1 ? 0xD8018001U : 0);
    }
    return r;
}

void encode_L2_PQ(std::span<std::uint8_t, SECTOR_SIZE> s, bool zero_header, bool q_first) {
    const std::array<std::uint8_t, 4> header = {s[12], s[13], s[14], s[15]};
    if (zero_header) std::fill(s.begin() + 12, s.begin() + 16, 0);
    write_parity(s, q_first);
    std::copy(header.begin(), header.end(), s.begin() + 12);
}

int encode_L2(std::span<std::uint8_t, SECTOR_SIZE> s, int type, unsigned address) {
    std::fill(s.begin() + 1, s.begin() + 11, 0xFF);
    s[0] = s[11] = 0;
    switch (type) {
        case MODE_0: std::fill(s.begin() + 12, s.end(), 0); write_header(s, address, 0); return 0;
        case MODE_1:
            write_header(s, address, 1);
            write_edc(s, 2064, 0);
            std::fill(s.begin() + 2068, s.begin() + 2076, 0);
            write_parity(s);
            return 0;
        case MODE_2: write_header(s, address, 2); return 0;
        case MODE_2_FORM_1:
            write_edc(s, 2072, 16);
            std::fill(s.begin() + 12, s.begin() + 16, 0);  // the parity sees a zero header
            write_parity(s);
            write_header(s, address, 2);
            return 0;
        case MODE_2_FORM_2: write_header(s, address, 2); write_edc(s, 2348, 16); return 0;
        default: return -1;
    }
}

namespace {

// Checks a sector laid out with its EDC at `edc_at`, taken from byte 0
// (Mode 1) or 16 (Mode 2), and parity but for Form 2, over the header as
// stored (Mode 1) or a zero one.
std::string check_layout(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                         std::optional<unsigned> address, std::uint8_t mode, std::size_t edc_at) {
    std::array<std::uint8_t, SECTOR_SIZE> s;
    std::copy(sector.begin(), sector.end(), s.begin());
    std::fill(s.begin() + 1, s.begin() + 11, 0xFF);
    s[0] = s[11] = 0;
    if (address) write_header(s, *address, mode);
    write_edc(s, edc_at, mode == 1 ? 0 : 16);
    if (!std::equal(s.begin(), s.begin() + 16, sector.begin())) return "sync or header";
    if (!std::equal(s.begin() + edc_at, s.begin() + edc_at + 4, sector.data() + edc_at)) return "EDC";
    if (edc_at == 2348) return "";
    if (mode == 2) std::fill(s.begin() + 12, s.begin() + 16, 0);
    for (std::size_t n = 0; n < codewords; ++n)
        if (sums(s, n, length(n)) != std::array<std::uint8_t, 2>{})
            return n < 86 ? "P parity" : "Q parity";
    return "";
}

}  // namespace

std::string check_mode2_form1(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                              unsigned address) {
    return check_layout(sector, address, 2, 2072);
}

std::size_t edc_place(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    return sector[15] == 1 ? 2064 : (sector[18] & 0x20) != 0 ? 2348 : 2072;
}

std::string check_sector(std::span<const std::uint8_t, SECTOR_SIZE> sector,
                         std::optional<unsigned> address) {
    return check_layout(sector, address, sector[15] == 1 ? 1 : 2, edc_place(sector));
}

}  // namespace reference

// The sector coder: worked sectors, and both ways of the coder (portable, and vector where the processor has it)
// byte for byte against the plain reference coder.
#include "sector/edc_ecc.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string>
#include <vector>

#include "sector/edc_ecc_internal.h"
#include "reference_coder.h"

namespace {

using sector = std::array<std::uint8_t, SECTOR_SIZE>;

// Bytes 16 to 2071 zero but for data counting up (n mod 256) from `from`, 0x5A
// everywhere else; encoded at `address`, then the bytes expected at places.
TEST(EncodeL2, WorkedSectors) {
    const std::vector<int> sync = {0, 255, 255, 255, 255, 255, 255, 255, 255, 255, 255, 0};
    const struct {
        int type;
        unsigned address;
        std::size_t from, count;
        std::vector<std::pair<std::size_t, std::vector<int>>> want;
    } cases[] = {
        {MODE_2_FORM_1, 150, 24, 2048, {{0, sync}, {12, {0, 2, 0, 2}}, {2072, {0xE2, 0x84, 0x51, 0xCD}},
                                        {2076, {0x59, 0xFF}}, {2162, {0xBD, 0x1A}}, {2246, {0xF0, 0x84}},
                                        {2248, {0x13, 0xFD}}, {2300, {0x73, 0x9D}}, {2350, {0xD3, 0x87}}}},
        {MODE_1, 150, 16, 2048, {{12, {0, 2, 0, 1}}, {2064, {0x27, 0x97, 0x39, 0xE6, 0, 0, 0, 0, 0, 0, 0, 0}},
                                 {2076, {0x42, 0x13}}, {2162, {0x8E, 0xDC}}, {2248, {0x46, 0xE9}},
                                 {2300, {0x81, 0x2C}}, {2350, {0x65, 0x23}}}},
        {MODE_2_FORM_2, 150, 24, 2324, {{12, {0, 2, 0, 2}}, {2348, {0x83, 0x9E, 0x69, 0x2B}}}},
        // Zero data: zero EDC and parity at any address, whatever the sector held there.
        {MODE_2_FORM_1, 4321, 24, 0, {{12, {0, 0x57, 0x46, 2}}, {2072, std::vector<int>(280, 0)}}},
        // Minutes past 99 keep counting in the high nibble, and wrap after 159.
        {MODE_0, 0, 24, 0, {{0, sync}, {12, {0, 0, 0, 0}}, {16, std::vector<int>(2336, 0)}}},
        {MODE_2, 4499, 24, 0, {{12, {0x00, 0x59, 0x74, 2}}, {2070, {0, 0, 0x5A}}}},
        {MODE_2_FORM_2, 449999, 24, 0, {{12, {0x99, 0x59, 0x74, 2}}}},
        {MODE_1, 450000, 16, 0, {{12, {0xA0, 0x00, 0x00, 1}}}},
        {MODE_2, 719999, 24, 0, {{12, {0xF9, 0x59, 0x74, 2}}}},
        {MODE_2, 720000, 24, 0, {{12, {0x00, 0x00, 0x00, 2}}}},
    };
    for (const auto& c : cases) {
        sector s;
        s.fill(0x5A);
        std::fill(s.begin() + 16, s.begin() + 2072, 0);
        for (std::size_t n = 0; n < c.count; ++n) s[c.from + n] = static_cast<std::uint8_t>(n);
        ASSERT_EQ(do_encode_L2(s, c.type, c.address), 0);
        for (const auto& [at, bytes] : c.want)
            for (std::size_t i = 0; i < bytes.size(); ++i)
                EXPECT_EQ(s[at + i], bytes[i]) << "type " << c.type << ", address " << c.address
                                               << ", byte " << at + i;
    }
    const std::string digits = "123456789";
    EXPECT_EQ(build_edc({reinterpret_cast<const std::uint8_t*>(digits.data()), 9}, -5, 100), 0x6EC2EDC4U);
}

using edc_ecc_internal::coder_path;

const std::vector<coder_path> paths = edc_ecc_internal::vector_supported()
                                          ? std::vector{coder_path::portable, coder_path::vector}
                                          : std::vector{coder_path::portable};
const char* name(coder_path p) { return p == coder_path::vector ? "vector" : "portable"; }

// Every type and two refused ones, at random addresses; the sectors are random,
// or all one value but for one byte, or zero but for one byte. Encoding twice
// changes nothing, and Form 1 sectors pass the checker. P and Q alone are
// computed over every fourth input as it stands.
class Coder : public testing::TestWithParam<unsigned> {};

TEST_P(Coder, EveryTypeMatchesReference) {
    std::mt19937_64 rng(GetParam());
    std::array<std::uint8_t, SECTOR_SIZE> input, want, got;
    for (int n = 0; n < 20000; ++n) {
        const auto one = static_cast<std::uint8_t>(n % 5 == 0 ? rng() : 0);
        for (auto& b : input) b = n % 5 < 2 ? one : static_cast<std::uint8_t>(rng());
        input[rng() % SECTOR_SIZE] ^= static_cast<std::uint8_t>(rng());
        const int type = n % 7 - 1;
        const auto address = static_cast<unsigned>(rng() % 720000);
        want = input;
        const int status = reference::encode_L2(want, type, address);
        for (const coder_path path : paths)
            for (got = input; const int round : {1, 2}) {
                ASSERT_EQ(edc_ecc_internal::encode_with(path, got, type, address), status);
                ASSERT_TRUE(got == want) << name(path) << " way, type " << type << ", sector " << n
                                         << ", round " << round;
            }
        if (type == MODE_2_FORM_1) {
            ASSERT_EQ(reference::check_mode2_form1(got, address), "") << "sector " << n;
        }
        // P and Q alone, over the header or a zero one, Q over the new P or the stored one.
        if (n % 4 == 0)
            for (const q_covers q : {q_covers::new_p, q_covers::stored_p}) {
                want = input;
                reference::encode_L2_PQ(want, n % 8 == 0, q == q_covers::stored_p);
                for (const coder_path path : paths) {
                    got = input;
                    edc_ecc_internal::parity_with(path, got, n % 8 == 0, q);
                    ASSERT_TRUE(got == want) << name(path) << " way, P and Q alone, sector " << n;
                }
            }
    }
}

INSTANTIATE_TEST_SUITE_P(Seeds, Coder, testing::Range(1U, 5U));

// Every length up to 700 at 17 alignments, then long ranges, some reaching
// outside the bytes, past the portable way's 4096-byte stretch.
TEST(Coder, EdcMatchesReference) {
    std::mt19937_64 rng(8);
    std::vector<std::uint8_t> bytes(10000);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    std::vector<std::pair<int, int>> ranges;
    for (int from = 0; from < 17; ++from)
        for (int length = 0; length <= 700; ++length) ranges.emplace_back(from, from + length - 1);
    for (int n = 0; n < 200; ++n)
        ranges.emplace_back(static_cast<int>(rng() % 10100) - 50, static_cast<int>(rng() % 10100) - 50);
    for (const coder_path path : paths)
        for (const auto& [from, upto] : ranges)
            ASSERT_EQ(edc_ecc_internal::edc_with(path, bytes, from, upto),
                      reference::build_edc(bytes, from, upto))
                << name(path) << " way, bytes " << from << " to " << upto;
}

}  // namespace

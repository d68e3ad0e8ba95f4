// Both ways of the coder (portable, and vector where the processor has it)
// byte for byte against the plain reference coder.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <vector>

#include "edc_ecc_internal.h"
#include "reference_coder.h"

namespace {

using edc_ecc_internal::coder_path;

const std::vector<coder_path> paths = edc_ecc_internal::vector_supported()
                                          ? std::vector{coder_path::portable, coder_path::vector}
                                          : std::vector{coder_path::portable};
const char* name(coder_path p) { return p == coder_path::vector ? "vector" : "portable"; }

// Every type and two refused ones, at random addresses; the sectors are random,
// or all one value but for one byte, or zero but for one byte. Encoding twice
// changes nothing, and Form 1 sectors pass the checker.
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

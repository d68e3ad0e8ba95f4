#include "edc_ecc.h"

#include <gtest/gtest.h>

#include <array>
#include <random>
#include <string_view>

#include "reference_coder.h"

namespace {

using sector = std::array<std::uint8_t, SECTOR_SIZE>;

sector counting_sector(std::size_t from, std::size_t count) {
    sector s{};
    for (std::size_t n = 0; n < count; ++n) s[from + n] = static_cast<std::uint8_t>(n);
    return s;
}

void expect_bytes(const sector& s, std::size_t at, std::initializer_list<int> want) {
    std::size_t i = at;
    for (const int w : want) {
        EXPECT_EQ(s[i], w) << "at byte " << i;
        ++i;
    }
}

sector random_sector(std::mt19937& rng) {
    sector s{};
    for (auto& b : s) b = static_cast<std::uint8_t>(rng());
    return s;
}

TEST(BuildEdc, CheckValueAndEmptyRanges) {
    constexpr std::string_view digits = "123456789";
    const std::span<const std::uint8_t> d(reinterpret_cast<const std::uint8_t*>(digits.data()),
                                          digits.size());
    EXPECT_EQ(build_edc(d, 0, 8), 0x6EC2EDC4U);
    EXPECT_EQ(build_edc(d, 5, 4), 0U);
    const sector zero{};
    EXPECT_EQ(build_edc(zero, 0, 2351), 0U);
    // A range reaching past the bytes given is cut to them.
    EXPECT_EQ(build_edc(d, 0, 1000), 0x6EC2EDC4U);
    EXPECT_EQ(build_edc(d, -5, 8), 0x6EC2EDC4U);
}

TEST(EncodeL2, WorkedSectorMode2Form1) {
    sector s = counting_sector(24, 2048);
    ASSERT_EQ(do_encode_L2(s, MODE_2_FORM_1, 150), 0);
    expect_bytes(s, 0, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
    expect_bytes(s, 12, {0x00, 0x02, 0x00, 0x02});
    expect_bytes(s, 2072, {0xE2, 0x84, 0x51, 0xCD});
    expect_bytes(s, 2076, {0x59, 0xFF});
    expect_bytes(s, 2162, {0xBD, 0x1A});
    expect_bytes(s, 2246, {0xF0, 0x84});
    expect_bytes(s, 2248, {0x13, 0xFD});
    expect_bytes(s, 2300, {0x73, 0x9D});
    expect_bytes(s, 2350, {0xD3, 0x87});
}

TEST(EncodeL2, WorkedSectorMode1) {
    sector s = counting_sector(16, 2048);
    ASSERT_EQ(do_encode_L2(s, MODE_1, 150), 0);
    expect_bytes(s, 12, {0x00, 0x02, 0x00, 0x01});
    expect_bytes(s, 2064, {0x27, 0x97, 0x39, 0xE6, 0, 0, 0, 0, 0, 0, 0, 0});
    expect_bytes(s, 2076, {0x42, 0x13});
    expect_bytes(s, 2162, {0x8E, 0xDC});
    expect_bytes(s, 2248, {0x46, 0xE9});
    expect_bytes(s, 2300, {0x81, 0x2C});
    expect_bytes(s, 2350, {0x65, 0x23});
}

TEST(EncodeL2, WorkedSectorMode2Form2) {
    sector s = counting_sector(24, 2324);
    const sector before = s;
    ASSERT_EQ(do_encode_L2(s, MODE_2_FORM_2, 150), 0);
    expect_bytes(s, 12, {0x00, 0x02, 0x00, 0x02});
    expect_bytes(s, 2348, {0x83, 0x9E, 0x69, 0x2B});
    // Everything between header and EDC is carried through, P and Q places included.
    EXPECT_TRUE(std::equal(s.begin() + 16, s.begin() + 2348, before.begin() + 16));
}

TEST(EncodeL2, ZeroDataGivesZeroParityWhateverWasThere) {
    std::mt19937 rng(7);
    for (const unsigned address : {150U, 4500U, 333333U}) {
        sector s = random_sector(rng);
        std::fill(s.begin() + 16, s.begin() + 2072, 0);
        ASSERT_EQ(do_encode_L2(s, MODE_2_FORM_1, address), 0);
        EXPECT_TRUE(std::all_of(s.begin() + 2072, s.end(), [](auto b) { return b == 0; }))
            << "address " << address;
    }
    sector s{};
    std::fill(s.begin(), s.begin() + 16, 0x5A);
    ASSERT_EQ(do_encode_L2(s, MODE_2_FORM_1, 150), 0);
    expect_bytes(s, 12, {0x00, 0x02, 0x00, 0x02});
}

TEST(EncodeL2, HeaderAddressesIncludingMinutesPastNinetyNine) {
    const struct {
        unsigned address;
        int m, s, f;
    } cases[] = {{0, 0x00, 0x00, 0x00},      {150, 0x00, 0x02, 0x00},    {4499, 0x00, 0x59, 0x74},
                 {4500, 0x01, 0x00, 0x00},   {449999, 0x99, 0x59, 0x74}, {450000, 0xA0, 0x00, 0x00},
                 {719999, 0xF9, 0x59, 0x74}, {720000, 0x00, 0x00, 0x00}};
    for (const auto& c : cases) {
        for (const int type : {MODE_0, MODE_1, MODE_2, MODE_2_FORM_1, MODE_2_FORM_2}) {
            sector s{};
            ASSERT_EQ(do_encode_L2(s, type, c.address), 0);
            EXPECT_EQ(s[12], c.m) << c.address;
            EXPECT_EQ(s[13], c.s) << c.address;
            EXPECT_EQ(s[14], c.f) << c.address;
            EXPECT_EQ(s[15], type == MODE_0 ? 0 : type == MODE_1 ? 1 : 2);
        }
    }
}

TEST(EncodeL2, EachTypeRebuildsOnlyItsOwnParts) {
    std::mt19937 rng(11);
    const sector original = random_sector(rng);
    auto encoded = [&](int type) {
        sector s = original;
        EXPECT_EQ(do_encode_L2(s, type, 1234), 0);
        return s;
    };
    const sector m0 = encoded(MODE_0);
    EXPECT_TRUE(std::all_of(m0.begin() + 16, m0.end(), [](auto b) { return b == 0; }));
    const sector m2 = encoded(MODE_2);
    EXPECT_TRUE(std::equal(m2.begin() + 16, m2.end(), original.begin() + 16));
    const sector f1 = encoded(MODE_2_FORM_1);
    EXPECT_TRUE(std::equal(f1.begin() + 16, f1.begin() + 2072, original.begin() + 16));
    const sector m1 = encoded(MODE_1);
    EXPECT_TRUE(std::equal(m1.begin() + 16, m1.begin() + 2064, original.begin() + 16));

    // Encoding an encoded sector again changes nothing, for every type.
    for (const int type : {MODE_0, MODE_1, MODE_2, MODE_2_FORM_1, MODE_2_FORM_2}) {
        const sector once = encoded(type);
        sector twice = once;
        ASSERT_EQ(do_encode_L2(twice, type, 1234), 0);
        EXPECT_EQ(twice, once) << "type " << type;
    }
}

TEST(EncodeL2, RefusesUnknownTypesAfterWritingOnlyTheSync) {
    std::mt19937 rng(3);
    for (const int type : {5, -1, 100}) {
        const sector original = random_sector(rng);
        sector s = original;
        EXPECT_EQ(do_encode_L2(s, type, 150), -1);
        expect_bytes(s, 0, {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00});
        EXPECT_TRUE(std::equal(s.begin() + 12, s.end(), original.begin() + 12)) << type;
    }
}

// Random sectors at random addresses: every P and Q codeword of the result
// passes both parity checks, and EDC and header are right.
TEST(EncodeL2, RandomSectorsSatisfyEveryCodeword) {
    std::mt19937 rng(2026);
    for (int round = 0; round < 300; ++round) {
        sector s = random_sector(rng);
        const auto address = static_cast<unsigned>(rng() % 720000U);
        ASSERT_EQ(do_encode_L2(s, MODE_2_FORM_1, address), 0);
        ASSERT_EQ(reference::check_mode2_form1(s, address), "") << round;
    }
}

TEST(ReferenceChecker, NoticesEveryKindOfDamage) {
    sector s = counting_sector(24, 2048);
    ASSERT_EQ(do_encode_L2(s, MODE_2_FORM_1, 200), 0);
    ASSERT_EQ(reference::check_mode2_form1(s, 200), "");
    EXPECT_EQ(reference::check_mode2_form1(s, 201), "sync or header");
    const struct {
        std::size_t at;
        const char* what;
    } damage[] = {{3, "sync or header"}, {100, "EDC"}, {2073, "EDC"}, {2100, "P parity"},
                  {2300, "Q parity"}};
    for (const auto& d : damage) {
        sector bad = s;
        bad[d.at] ^= 0x10;
        EXPECT_EQ(reference::check_mode2_form1(bad, 200), d.what) << d.at;
    }
}

}  // namespace

// The coder against the plain reference model, byte for byte, on
// both of its ways (portable words, and vector instructions where the
// processor has them).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "edc_ecc.h"
#include "edc_ecc_internal.h"
#include "reference_coder.h"

namespace {

using edc_ecc_internal::coder_path;
using sector = std::array<std::uint8_t, SECTOR_SIZE>;

// Small, fast generator so a hundred thousand sectors stay cheap under the
// sanitizers.
struct random_bits {
    std::uint64_t state;
    std::uint64_t next() {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1DULL;
    }
    void fill(std::span<std::uint8_t> bytes) {
        for (std::size_t at = 0; at < bytes.size(); at += 8) {
            const std::uint64_t v = next();
            std::memcpy(bytes.data() + at, &v, std::min<std::size_t>(8, bytes.size() - at));
        }
    }
};

// The ways this host can run; the coder is put back on its own choice after.
class each_path {
public:
    each_path() : saved_(edc_ecc_internal::active_path()) {
        paths_.push_back(coder_path::portable);
        if (edc_ecc_internal::vector_supported()) paths_.push_back(coder_path::vector);
    }
    ~each_path() { edc_ecc_internal::use_path(saved_); }
    each_path(const each_path&) = delete;
    each_path& operator=(const each_path&) = delete;
    const std::vector<coder_path>& paths() const { return paths_; }

private:
    coder_path saved_;
    std::vector<coder_path> paths_;
};

const char* name(coder_path p) { return p == coder_path::vector ? "vector" : "portable"; }

// Encodes `count` random sectors of `type` at random addresses both ways and
// with the reference coder; returns how many sectors differed (stops at the first
// and says where).
int mismatches(int type, int count, std::uint64_t seed) {
    each_path ways;
    random_bits rng{seed};
    sector input{};
    sector want{};
    sector got{};
    for (int n = 0; n < count; ++n) {
        rng.fill(input);
        const auto address = static_cast<unsigned>(rng.next() % 450000U);
        want = input;
        const int want_status = reference::encode_L2(want, type, address);
        for (const coder_path p : ways.paths()) {
            edc_ecc_internal::use_path(p);
            got = input;
            const int status = do_encode_L2(got, type, address);
            if (status != want_status || got != want) {
                std::size_t at = 0;
                while (at < SECTOR_SIZE && got[at] == want[at]) ++at;
                ADD_FAILURE() << name(p) << " way, type " << type << ", sector " << n
                              << ", address " << address << ": first differing byte " << at;
                return 1;
            }
        }
    }
    return 0;
}

// 100,000 Mode 2 Form 1 and 30,000 Mode 1 sectors, in shards of distinct
// seeds so that the test runner can spread them over the cores.
class FastCoderShard : public testing::TestWithParam<int> {};

TEST_P(FastCoderShard, Mode2Form1MatchesReference) {
    EXPECT_EQ(mismatches(MODE_2_FORM_1, 25000, 100U + static_cast<unsigned>(GetParam())), 0);
}

TEST_P(FastCoderShard, Mode1MatchesReference) {
    EXPECT_EQ(mismatches(MODE_1, 7500, 200U + static_cast<unsigned>(GetParam())), 0);
}

INSTANTIATE_TEST_SUITE_P(Seeds, FastCoderShard, testing::Range(0, 4));

TEST(FastCoder, OtherTypesMatchTableCoder) {
    EXPECT_EQ(mismatches(MODE_0, 2000, 3), 0);
    EXPECT_EQ(mismatches(MODE_2, 2000, 4), 0);
    EXPECT_EQ(mismatches(MODE_2_FORM_2, 10000, 5), 0);
    EXPECT_EQ(mismatches(5, 100, 6), 0);
    EXPECT_EQ(mismatches(-1, 100, 7), 0);
}

// Sectors whose symbols all sit at the edges of the field arithmetic: every
// byte with its top bit set, every byte zero but one, one column only.
TEST(FastCoder, ExtremeSectorsMatchTableCoder) {
    each_path ways;
    std::vector<sector> cases;
    for (const int fill : {0x00, 0xFF, 0x80, 0x01, 0x8E}) {
        sector s{};
        s.fill(static_cast<std::uint8_t>(fill));
        cases.push_back(s);
    }
    for (std::size_t at = 0; at < SECTOR_SIZE; at += 97) {
        sector s{};
        s[at] = 0xA5;
        cases.push_back(s);
    }
    sector column{};
    for (std::size_t row = 0; row < 26; ++row) column[12 + 86 * row + 84] = 0xFF;
    cases.push_back(column);
    for (const int type : {MODE_1, MODE_2_FORM_1, MODE_2_FORM_2})
        for (const sector& s : cases) {
            sector want = s;
            reference::encode_L2(want, type, 449999);
            for (const coder_path p : ways.paths()) {
                edc_ecc_internal::use_path(p);
                sector got = s;
                do_encode_L2(got, type, 449999);
                EXPECT_TRUE(got == want) << name(p) << " way, type " << type;
            }
        }
}

// Every length up to a few folding blocks and beyond, at every alignment,
// plus ranges that reach outside the bytes given.
TEST(FastCoder, BuildEdcMatchesReference) {
    each_path ways;
    random_bits rng{8};
    sector s{};
    rng.fill(s);
    for (const coder_path p : ways.paths()) {
        edc_ecc_internal::use_path(p);
        for (int from = 0; from < 17; ++from)
            for (int length = 0; length <= 400; ++length)
                ASSERT_EQ(build_edc(s, from, from + length - 1),
                          reference::build_edc(s, from, from + length - 1))
                    << name(p) << " way, from " << from << ", length " << length;
        for (int n = 0; n < 2000; ++n) {
            const int from = static_cast<int>(rng.next() % 2400U) - 20;
            const int upto = static_cast<int>(rng.next() % 2400U) - 20;
            ASSERT_EQ(build_edc(s, from, upto), reference::build_edc(s, from, upto))
                << name(p) << " way, from " << from << " upto " << upto;
        }
    }
}

}  // namespace

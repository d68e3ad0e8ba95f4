// The RIFF-CDXA and raw-2336 forms of Form 2 files, written and read back,
// and the host's rules for the names of extracted files.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <numeric>

#include "format/cdxa.h"
#include "platform/platform.h"

namespace {

TEST(Cdxa, HeaderReadsBackAndDamagedHeadersAreRefused) {
    xa_field field{};
    std::iota(field.begin(), field.end(), std::uint8_t{1});
    const auto header = cdxa_header(field, 3);
    ASSERT_TRUE(header);
    const std::uint64_t size = CDXA_HEADER_SIZE + 3 * SECTOR_SIZE;
    const auto info = read_cdxa_header(*header, size);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->field, field);
    EXPECT_EQ(info->sectors, 3U);
    EXPECT_EQ((*header)[34], 0);  // the two bytes behind the field
    EXPECT_EQ((*header)[35], 0);
    // A file cut short or grown, and each tag and size damaged in turn.
    EXPECT_FALSE(read_cdxa_header(*header, size - 1));
    EXPECT_FALSE(read_cdxa_header(*header, size + SECTOR_SIZE));
    for (const std::size_t at : {0U, 4U, 8U, 12U, 16U, 36U, 40U}) {
        auto bad = *header;
        bad[at] ^= 0x01;
        EXPECT_FALSE(read_cdxa_header(bad, size)) << "byte " << at;
    }
    EXPECT_FALSE(read_cdxa_header(std::span(*header).first(43), size));
    // The largest file a RIFF size can describe, and one sector more.
    EXPECT_TRUE(cdxa_header(field, UINT32_MAX / SECTOR_SIZE));
    EXPECT_FALSE(cdxa_header(field, UINT32_MAX / SECTOR_SIZE + 1));
}

TEST(Cdxa, Raw2336IsTheSectorFromItsSubheaderOn) {
    std::array<std::uint8_t, SECTOR_SIZE> sector{}, back{};
    std::iota(sector.begin(), sector.end(), std::uint8_t{0});
    place_raw2336(raw2336_of(sector), back);
    EXPECT_TRUE(std::equal(back.begin() + SUBHEADER, back.end(), sector.begin() + SUBHEADER));
    EXPECT_TRUE(std::all_of(back.begin(), back.begin() + SUBHEADER, [](auto b) { return b == 0; }));
}

TEST(HostNames, BytesAndNamesTheHostCannotHoldAreEscaped) {
    EXPECT_EQ(platform::host_name("README.TXT"), "README.TXT");
    EXPECT_EQ(platform::host_name("A%B/C\\D\x1b\x7f"), "A%25B%2FC%5CD%1B%7F");
    EXPECT_EQ(platform::host_name("."), "%2E");
    // A host that compares names regardless of case (Windows) has more rules.
    const bool folds = platform::host_key("readme") == platform::host_key("README");
    EXPECT_EQ(platform::host_name(".."), folds ? "%2E%2E" : "%2E.");  // no trailing dot there
    EXPECT_EQ(platform::host_name("CON.TXT") == "CON.TXT", !folds);
    EXPECT_EQ(platform::host_name("lpt1") == "lpt1", !folds);
    EXPECT_EQ(platform::host_name("A:B?\"<>|*") == "A:B?\"<>|*", !folds);
    EXPECT_EQ(platform::host_name("END.") == "END.", !folds);
    EXPECT_EQ(platform::host_name("COM10"), "COM10");
    EXPECT_NE(platform::host_key("A.TXT"), platform::host_key("B.TXT"));
}

}  // namespace

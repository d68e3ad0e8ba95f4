// The checking modes as a user sees them: the verify run (-v) and the raw
// image comparison (-e), run through the built tool on images made by the
// image maker. Every run is checked for its exact output, its exit status
// and for leaving every file it was given untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>
#include <vector>

#include "image_maker.h"
#include "support.h"

namespace {

using fixture::bytes;
using support::format;
using support::halt;
using sector_view = std::span<const std::uint8_t>;

constexpr std::size_t RAW = SECTOR_SIZE;
constexpr std::size_t DATA = 24;  // first user-data byte of a raw sector
constexpr std::size_t DATA_SIZE = 2048;
constexpr std::uint64_t ALL_AT = 23 * RAW;  // where the verify image's ALL.BIN starts
const std::string EDC_MISMATCH = "\nEDC_ECC MISMATCH - (my code is broken)\n";
const std::string SUCCESS = "Compare successful\n";

// --- Expected texts, written from the report rules, not from the tool ----

// Sync, header and subheader of both sectors: each byte as two hex digits and a space.
std::string header_report(sector_view bin, sector_view patch) {
    std::string s = "\n";
    for (const sector_view sector : {bin, patch}) {
        for (const std::uint8_t b : sector.first(24)) s += format("%02X ", b);
        s += "\n";
    }
    return s + "\nSYNC/Header MISMATCH\n";
}

// The user data: all 128 rows of both sectors, each as 16 hex pairs and 16
// characters (printable ASCII as itself, the rest as '.').
std::string data_report(sector_view bin, sector_view patch) {
    std::string s;
    for (std::size_t row = DATA; row < DATA + DATA_SIZE; row += 16) {
        for (const auto& [label, sector] : {std::pair{"\n.bin : ", bin}, {"\npatch: ", patch}}) {
            std::string text;
            s += label;
            for (const std::uint8_t b : sector.subspan(row, 16)) {
                s += format("%02X", b);
                text += b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.';
            }
            s += "     : " + text;
        }
    }
    return s + "\nDATA MISMATCH - Source is wrong and/or .bin is not linear\n";
}

// One compared sector of a verify run, up to and including " | COMPARE".
std::string vtrace(std::size_t sector, std::size_t count) {
    return format("%6zu | READSECTOR(2352) | READPATCH(%04zu) | COMPARE", sector, count);
}
std::string passed(std::size_t sector, std::size_t count) { return vtrace(sector, count) + "\n"; }

// The first `n` sectors of an image comparison, all found equal.
std::string equal_sectors(int n) {
    std::string s;
    for (int i = 0; i < n; ++i)
        s += format(" | READSECTOR(2352) | READSECTOR(2352)\nSector %d:\n | COMPARE", i);
    return s;
}

bytes flip(bytes b, std::size_t at, std::uint8_t mask) {
    b[at] ^= mask;
    return b;
}

bytes counting(std::size_t n) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
    return b;
}

// --- Verify run ----------------------------------------------------------

// An image holding ALL.BIN (bytes 0..255 over and over, two sectors, at 23)
// and RND.BIN (random, four sectors, the image's last), plus a 5-byte file
// standing in for the patch-file operand.
class VerifyRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(iso.where["ALL.BIN;1"].sector, 23u);
        ASSERT_EQ(iso.where["RND.BIN;1"].sector, 25u);
        ASSERT_EQ(iso.image.sectors(), 29u);
        iso.image.save(bin);
    }

    // Everything a verify run prints before its first sector; for an offset
    // past a sector's user data, what it prints before refusing it.
    std::string head(const std::string& orig, std::uint64_t offset, const std::string& ppf = "") {
        const std::uintmax_t p = std::filesystem::file_size(patch);
        const std::uintmax_t n = std::filesystem::file_size(orig);
        const std::string start =
            support::banner() + support::files_block(patch, bin, orig, ppf) +
            format("Size of patch file is %ju which takes %ju sectors (roughly)\n", p, p / RAW + 1);
        if (offset % RAW > DATA_SIZE) return start;
        return start +
               format("Size of original file is %ju which takes %ju sectors (roughly)\n", n,
                      n / RAW + 1) +
               format("Offset %08jX lies on sector %ju (remainder %ju)\n", std::uintmax_t{offset},
                      std::uintmax_t{offset / RAW}, std::uintmax_t{offset % RAW}) +
               "Verifying original against .bin file\n";
    }

    support::result verify(const std::string& orig, std::uint64_t offset,
                           std::vector<std::string> args = {}) {
        args.insert(args.end(), {"-v", orig, "-o", std::to_string(offset), patch, bin});
        return support::run_binary(args);
    }

    support::scratch dir;
    fixture::iso_image iso = fixture::make_iso(
        {{"ALL.BIN;1", counting(2 * DATA_SIZE)},
         {"RND.BIN;1", fixture::random_bytes(3 * DATA_SIZE + 500, 7)}});
    std::string patch = dir.write("patch.txt", std::string("hello")), bin = dir.path("image.bin");
};

TEST_F(VerifyRun, EdgeCases) {
    const bytes& image = iso.image.image();
    // RND.BIN as its four sectors hold it, then 10 bytes past the image's end
    bytes past_end = fixture::random_bytes(3 * DATA_SIZE + 500, 7);
    past_end.resize(4 * DATA_SIZE, 0);
    past_end.resize(4 * DATA_SIZE + 10, 0xEE);
    bytes at_9330;  // user data of sectors 16 to 18, from position 48 of sector 16 on
    for (std::size_t s = 16; s < 19; ++s)
        at_9330.insert(at_9330.end(), iso.image.user_data(s).begin(), iso.image.user_data(s).end());
    at_9330.erase(at_9330.begin(), at_9330.begin() + 48);
    at_9330.resize(4096);
    const bytes all = counting(4096), good24(image.begin() + 24 * RAW, image.begin() + 25 * RAW);
    const std::string wrong_address = header_report(flip(good24, 14, 0x01), good24);
    const std::string one_byte = data_report(good24, flip(good24, DATA + 100, 'A' ^ 100));
    // Both held to lines written out by hand, so that a mistake the formatters
    // share with the tool cannot pass unseen.
    EXPECT_NE(wrong_address.find(
                  "\n00 FF FF FF FF FF FF FF FF FF FF 00 00 02 25 02 00 00 89 00 00 00 89 00 \n"
                  "00 FF FF FF FF FF FF FF FF FF FF 00 00 02 24 02 00 00 89 00 00 00 89 00 \n"),
              std::string::npos);
    EXPECT_NE(one_byte.find("\n.bin : 606162636465666768696A6B6C6D6E6F     : `abcdefghijklmno\n"
                            "patch: 606162634165666768696A6B6C6D6E6F     : `abcAefghijklmno\n"
                            ".bin : 707172737475767778797A7B7C7D7E7F     : pqrstuvwxyz{|}~.\n"),
              std::string::npos);
    const auto fails_on_24 = [&](const std::string& report) {
        return passed(23, 2048) + vtrace(24, 2048) + report + halt();
    };
    const auto refused = [](std::uint64_t remainder) {
        return format("Offset %08jX lies %ju bytes into sector 23, past its 2048 bytes of user "
                      "data -- refused\n",
                      std::uintmax_t{ALL_AT + remainder}, std::uintmax_t{remainder}) +
               halt();
    };
    struct {
        const char* what;
        std::uint64_t offset;
        bytes orig;
        std::string tail;  // stdout after the head
        int status;
        bool ppf = false;       // with -p and -d
        std::size_t at = 0;     // byte of sector 24 changed before the run
        std::uint8_t mask = 0;  // by this xor mask
    } cases[] = {
        {"empty original", ALL_AT, {}, SUCCESS, 0},
        {"2048 bytes", ALL_AT, counting(2048), passed(23, 2048) + SUCCESS, 0},
        {"2049 bytes", ALL_AT, counting(2049), passed(23, 2048) + passed(24, 1) + SUCCESS, 0},
        {"offset 0x9330, 4096 bytes", 0x9330, at_9330,
         passed(16, 2000) + passed(17, 2048) + passed(18, 48) + SUCCESS, 0},
        {"original past the image end", 25 * RAW, past_end,
         passed(25, 2048) + passed(26, 2048) + passed(27, 2048) + passed(28, 2048) +
             "    29 | READSECTOR(2352)" + halt(),
         255},
        {"wrong header address", ALL_AT, all, fails_on_24(wrong_address), 255, false, 14, 0x01},
        {"wrong mode byte", ALL_AT, all,
         fails_on_24(header_report(flip(good24, 15, 0x03), good24)), 255, false, 15, 0x03},
        {"header and data differ: header only", ALL_AT, flip(all, 2048 + 7, 0xFF),
         fails_on_24(wrong_address), 255, false, 14, 0x01},
        {"one data byte", ALL_AT, flip(all, 2048 + 100, 'A' ^ 100), fails_on_24(one_byte), 255},
        {"PPF file left empty", ALL_AT, counting(3000),
         passed(23, 2048) + passed(24, 952) + SUCCESS, 0, true},
        // a remainder of exactly 2048 is let through and reads nothing into sector 23
        {"remainder 2048", ALL_AT + 2048, counting(100),
         passed(23, 0) + passed(24, 100) + SUCCESS, 0},
        {"remainder 2049", ALL_AT + 2049, counting(100), refused(2049), 255},
        {"remainder 2351", ALL_AT + 2351, counting(100), refused(2351), 255},
    };
    const std::string ppf = dir.path("out.ppf");
    for (const auto& c : cases) {
        fixture::disc changed = iso.image;
        changed.raw(24)[c.at] ^= c.mask;
        changed.save(bin);
        const std::string orig = dir.write("orig.bin", c.orig);
        for (const bool dry : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (dry ? ", with -x" : ""));
            std::vector<std::string> options(dry ? 1 : 0, "-x");
            if (c.ppf) {
                dir.write("out.ppf", std::string("left from before"));
                options.insert(options.end(), {"-p", ppf, "-d", "unused"});
            }
            const support::result r = verify(orig, c.offset, options);
            EXPECT_EQ(r.out, head(orig, c.offset, c.ppf ? ppf : "") + c.tail);
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.err, "");
            EXPECT_TRUE(fixture::read_file(bin) == changed.image()) << "the image was written to";
            EXPECT_EQ(c.ppf ? std::filesystem::file_size(ppf) : 0, 0u);
        }
    }
}

// Patch ALL.BIN with new data, then verify: the new data passes, what the
// file held before fails on its first sector.
TEST_F(VerifyRun, RoundTripAfterAPatch) {
    const bytes fresh = fixture::random_bytes(5000, 11);
    patch = dir.write("new.dat", fresh);
    ASSERT_EQ(support::run_binary({"-o", std::to_string(ALL_AT), patch, bin}).status, 0);
    const bytes patched = fixture::read_file(bin);
    ASSERT_TRUE(patched == support::expected_patch(iso.image.image(), ALL_AT, fresh));

    const support::result same = verify(patch, ALL_AT);
    EXPECT_EQ(same.out, head(patch, ALL_AT) + passed(23, 2048) + passed(24, 2048) +
                            passed(25, 904) + SUCCESS);
    EXPECT_EQ(same.status, 0);

    const std::string old = dir.write("old.dat", counting(4096));
    const support::result other = verify(old, ALL_AT);
    const bytes want = support::expected_patch(patched, ALL_AT, counting(DATA_SIZE));
    EXPECT_EQ(other.out, head(old, ALL_AT) + vtrace(23, 2048) +
                             data_report(sector_view(patched).subspan(ALL_AT),
                                         sector_view(want).subspan(ALL_AT)) +
                             halt());
    EXPECT_EQ(other.status, 255);
    EXPECT_TRUE(fixture::read_file(bin) == patched);
}

// --- Image comparison ----------------------------------------------------

TEST(ImageComparison, EdgeCases) {
    support::scratch dir;
    fixture::disc ten(10);
    ten.put_data(0, fixture::random_bytes(10 * DATA_SIZE, 1));
    ten.encode();
    const bytes three(ten.image().begin() + 3 * RAW, ten.image().begin() + 4 * RAW);
    const std::string first = dir.path("first.bin"), second = dir.path("second.bin");
    const std::string orig = dir.path("no-such-original"), ppf = dir.path("out.ppf");
    ten.save(first);
    const std::string all_equal = equal_sectors(10) + " | READSECTOR(2352)\n";
    struct {
        const char* what;
        std::size_t at;  // byte of sector 3 flipped in the second image (0: none)
        std::vector<std::string> args;  // the files follow
        std::string tail;
    } cases[] = {
        {"ten equal sectors", 0, {"-e"}, all_equal},
        {"every other option ignored", 0,
         {"-e", "-v", orig, "-n", "NOWHERE.BIN;1", "-o", "0x9330", "-p", ppf, "-d", "unused", "-x"},
         all_equal},
        // one difference in sector 3 per zone, each at a zone's edge
        {"last header byte", 23, {"-e"}, header_report(three, flip(three, 23, 0x5A))},
        {"last data byte", 2071, {"-e"}, data_report(three, flip(three, 2071, 0x5A))},
        {"first EDC byte", 2072, {"-e"}, EDC_MISMATCH},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::disc other = ten;
        if (c.at != 0) other.raw(3)[c.at] ^= 0x5A;
        other.save(second);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {second, first});
        const support::result r = support::run_binary(args);
        const bool all = c.args.size() > 1;  // the files it was given are listed all the same
        EXPECT_EQ(r.out, support::banner() +
                             support::files_block(second, first, all ? orig : "", all ? ppf : "") +
                             (c.at == 0 ? c.tail : equal_sectors(4) + c.tail + "Failed\n\n"));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(std::filesystem::exists(ppf));
        EXPECT_TRUE(fixture::read_file(first) == ten.image());
        EXPECT_TRUE(fixture::read_file(second) == other.image());
    }
}

TEST(ImageComparison, StopsAfter33000Sectors) {
    // Two sparse all-zero images of 33001 sectors; the second differs only in
    // its last sector, which lies beyond what is compared.
    support::scratch dir;
    const std::string first = dir.write("first.bin", bytes{});
    const std::string second = dir.write("second.bin", bytes{});
    std::filesystem::resize_file(first, 33001 * RAW);
    std::filesystem::resize_file(second, 33001 * RAW);
    std::fstream(second, std::ios::in | std::ios::out | std::ios::binary)
        .seekp(static_cast<std::streamoff>(33000 * RAW + 100))
        .put(0x77);
    const support::result r = support::run_binary({"-e", second, first});
    const std::string want =
        support::banner() + support::files_block(second, first) + equal_sectors(33000) + "\n";
    // Two megabytes of text: compared whole, and only their sizes shown when they differ.
    EXPECT_TRUE(r.out == want) << r.out.size() << " bytes of output, " << want.size() << " wanted";
    EXPECT_EQ(r.status, 0);
}

}  // namespace

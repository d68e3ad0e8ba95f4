// The checking modes as a user sees them: the verify run (-v) and the raw
// image comparison (-e), run through the built tool on images made by the
// image maker. Every run is checked for its exact output, its exit status
// and for leaving every file it was given untouched.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "image_maker.h"
#include "reference_coder.h"
#include "support.h"

namespace {

using fixture::bytes;
using support::format;

constexpr std::size_t RAW = SECTOR_SIZE;
constexpr std::size_t DATA = 24;      // first user-data byte of a raw sector
constexpr std::size_t DATA_SIZE = 2048;

const std::string DATA_MISMATCH = "\nDATA MISMATCH - Source is wrong and/or .bin is not linear\n";
const std::string HEADER_MISMATCH = "\nSYNC/Header MISMATCH\n";
const std::string EDC_MISMATCH = "\nEDC_ECC MISMATCH - (my code is broken)\n";

// --- Expected texts, written from the report rules, not from the tool ----

std::string hex_digits(std::uint8_t b) {
    static const char digits[] = "0123456789ABCDEF";
    return {digits[b >> 4], digits[b & 15]};
}

// One 24-byte line of a sync/header report: each byte, then a space.
std::string hex24(const std::uint8_t* sector) {
    std::string s;
    for (std::size_t i = 0; i < 24; ++i) s += hex_digits(sector[i]) + " ";
    return s + "\n";
}

std::string dump_line(const char* label, const std::uint8_t* row) {
    std::string hex, text;
    for (std::size_t i = 0; i < 16; ++i) {
        hex += hex_digits(row[i]);
        text += row[i] >= 0x20 && row[i] < 0x7F ? static_cast<char>(row[i]) : '.';
    }
    return std::string(label) + hex + "     : " + text;
}

// The user-data report: all 128 rows of both raw sectors, then the verdict.
std::string data_report(const std::uint8_t* bin, const std::uint8_t* patch) {
    std::string s;
    for (std::size_t row = DATA; row < DATA + DATA_SIZE; row += 16)
        s += dump_line("\n.bin : ", bin + row) + dump_line("\npatch: ", patch + row);
    return s + DATA_MISMATCH;
}

std::string header_report(const std::uint8_t* bin, const std::uint8_t* patch) {
    return "\n" + hex24(bin) + hex24(patch) + HEADER_MISMATCH;
}

// One compared sector of a verify run, up to and including " | COMPARE".
std::string vtrace(std::size_t sector, std::size_t count) {
    return format("%6zu | READSECTOR(2352) | READPATCH(%04zu) | COMPARE", sector, count);
}

// One compared sector of an image comparison.
std::string eblock(int sector) {
    return format(" | READSECTOR(2352) | READSECTOR(2352)\nSector %d:\n | COMPARE", sector);
}

std::string hex_offset(std::uint64_t offset) {
    return format("0x%llX", static_cast<unsigned long long>(offset));
}

// `n` bytes of user data as a run would walk them from `pos` in `sector`.
bytes stored(fixture::disc& d, std::size_t sector, std::size_t pos, std::size_t n) {
    bytes out;
    for (; out.size() < n; ++sector, pos = 0) {
        const auto u = d.user_data(sector);
        const std::size_t take = std::min(DATA_SIZE - pos, n - out.size());
        out.insert(out.end(), u.begin() + static_cast<std::ptrdiff_t>(pos),
                   u.begin() + static_cast<std::ptrdiff_t>(pos + take));
    }
    return out;
}

std::uintmax_t file_size(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uintmax_t>(st.st_size) : 0;
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bytes counting(std::size_t n) {
    bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
    return b;
}

// --- Verify run ----------------------------------------------------------

// An image holding ALL.BIN (every byte value, two sectors, at sector 23)
// and RND.BIN (random, four sectors, the image's last), plus a 5-byte file
// standing in for the patch-file operand.
class VerifyRun : public ::testing::Test {
protected:
    void SetUp() override {
        iso = std::make_unique<fixture::iso_image>(fixture::make_iso(
            {{"ALL.BIN;1", counting(2 * DATA_SIZE)},
             {"RND.BIN;1", fixture::random_bytes(3 * DATA_SIZE + 500, 7)}}));
        ASSERT_EQ(iso->where["ALL.BIN;1"].sector, 23u);
        ASSERT_EQ(iso->where["RND.BIN;1"].sector, 25u);
        ASSERT_EQ(iso->image.sectors(), 29u);
        patch = dir.write("patch.txt", std::string("hello"));
        bin = dir.path("image.bin");
        save(iso->image);
    }

    void save(const fixture::disc& d) {
        d.save(bin);
        image = d.image();
    }

    // Everything a verify run prints before its first sector.
    std::string head(const std::string& orig, std::uint64_t offset, const std::string& ppf = "") {
        const std::uintmax_t p = file_size(patch), n = file_size(orig);
        return support::banner() + support::files_block(patch, bin, orig, ppf) +
               format("Size of patch file is %ju which takes %ju sectors (roughly)\n", p,
                      p / RAW + 1) +
               format("Size of original file is %ju which takes %ju sectors (roughly)\n", n,
                      n / RAW + 1) +
               format("Offset %08llX lies on sector %llu (remainder %llu)\n",
                      static_cast<unsigned long long>(offset),
                      static_cast<unsigned long long>(offset / RAW),
                      static_cast<unsigned long long>(offset % RAW)) +
               "Verifying original against .bin file\n";
    }

    support::result verify(const std::string& orig, std::uint64_t offset,
                           std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"-v", orig, "-o", hex_offset(offset)};
        args.insert(args.end(), extra.begin(), extra.end());
        args.push_back(patch);
        args.push_back(bin);
        return support::run_binary(args);
    }

    // Runs with and without -x, which must not change a thing, and checks
    // that the image stayed as it was.
    support::result verify_both(const std::string& orig, std::uint64_t offset) {
        const support::result r = verify(orig, offset);
        const support::result dry = verify(orig, offset, {"-x"});
        EXPECT_EQ(dry.out, r.out);
        EXPECT_EQ(dry.status, r.status);
        EXPECT_EQ(fixture::read_file(bin), image) << "the image was written to";
        return r;
    }

    support::scratch dir;
    std::unique_ptr<fixture::iso_image> iso;
    std::string patch, bin;
    bytes image;  // the image file's bytes as saved
};

TEST_F(VerifyRun, ConfirmsWhatTheImageHolds) {
    fixture::disc& d = iso->image;
    const std::uint64_t all = 23 * RAW;
    struct {
        const char* what;
        std::uint64_t offset;
        bytes orig;
        std::string trace;
    } cases[] = {
        {"empty original", all, {}, ""},
        {"one full sector", all, stored(d, 23, 0, 2048), vtrace(23, 2048) + "\n"},
        {"one byte into a second sector", all, stored(d, 23, 0, 2049),
         vtrace(23, 2048) + "\n" + vtrace(24, 1) + "\n"},
        // sector 16 from user-data position 48, all of 17, the first 48 of 18
        {"mid-sector offset", 0x9330, stored(d, 16, 48, 4096),
         vtrace(16, 2000) + "\n" + vtrace(17, 2048) + "\n" + vtrace(18, 48) + "\n"},
        // a remainder of exactly 2048 reads nothing into the first sector
        {"offset at the end of user data", 23 * RAW + 2048, stored(d, 24, 0, 100),
         vtrace(23, 0) + "\n" + vtrace(24, 100) + "\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string orig = dir.write("orig.bin", c.orig);
        const support::result r = verify_both(orig, c.offset);
        EXPECT_EQ(r.out, head(orig, c.offset) + c.trace + "Compare successful\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(VerifyRun, OriginalPastTheImageEndHalts) {
    // RND.BIN's four sectors end the image; the original goes on into a fifth.
    bytes orig_data = stored(iso->image, 25, 0, 4 * DATA_SIZE);
    orig_data.resize(orig_data.size() + 10, 0xEE);
    const std::string orig = dir.write("orig.bin", orig_data);
    // Unlike a patch run, a verify run is not refused for running past the
    // end, even when the same file is both operands.
    patch = orig;
    const support::result r = verify_both(orig, 25 * RAW);
    std::string trace;
    for (std::size_t s = 25; s < 29; ++s) trace += vtrace(s, 2048) + "\n";
    EXPECT_EQ(r.out, head(orig, 25 * RAW) + trace + "    29 | READSECTOR(2352)" + support::halt());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");
}

TEST_F(VerifyRun, SyncHeaderZoneIsReportedFirst) {
    // ALL.BIN's second sector (index 24, address 00:02:24, last of its file)
    // as the encoder writes it.
    const std::string good_line =
        "00 FF FF FF FF FF FF FF FF FF FF 00 00 02 24 02 00 00 89 00 00 00 89 00 \n";
    ASSERT_EQ(hex24(iso->image.raw(24).data()), good_line);

    struct {
        const char* what;
        std::size_t at;
        std::uint8_t value;
        bool data_differs_too;
    } cases[] = {
        {"header address one frame on", 14, 0x25, false},
        {"mode byte 1", 15, 0x01, false},
        {"wrong address and differing data", 14, 0x25, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::disc d = iso->image;
        d.raw(24)[c.at] = c.value;
        save(d);
        bytes orig_data = stored(d, 23, 0, 4096);
        if (c.data_differs_too) orig_data[2048 + 7] ^= 0xFF;
        const std::string orig = dir.write("orig.bin", orig_data);
        const support::result r = verify_both(orig, 23 * RAW);
        EXPECT_EQ(r.out, head(orig, 23 * RAW) + vtrace(23, 2048) + "\n" + vtrace(24, 2048) +
                             header_report(d.raw(24).data(), iso->image.raw(24).data()) +
                             support::halt());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "");
    }
}

TEST_F(VerifyRun, DataZoneDumpsEveryRow) {
    // ALL.BIN holds 0x00..0xFF eight times per sector; the original differs
    // in one byte of the second sector (0x64 'd' there, 'A' in the original).
    bytes orig_data = counting(4096);
    orig_data[2048 + 100] = 'A';
    const std::string orig = dir.write("orig.bin", orig_data);
    const support::result r = verify_both(orig, 23 * RAW);

    auto expected_verify = iso->image.raw(24);
    bytes patched(expected_verify.begin(), expected_verify.end());
    patched[DATA + 100] = 'A';
    EXPECT_EQ(r.out, head(orig, 23 * RAW) + vtrace(23, 2048) + "\n" + vtrace(24, 2048) +
                         data_report(iso->image.raw(24).data(), patched.data()) +
                         support::halt());
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "");

    // The dump's shape, spelt out: 256 lines, the odd ones from the image.
    const std::size_t from = r.out.find(" | COMPARE\n", r.out.find("    24 |")) + 11;
    const std::size_t to = r.out.find(DATA_MISMATCH);
    ASSERT_NE(to, std::string::npos);
    const std::string dump = r.out.substr(from, to - from);
    EXPECT_EQ(std::count(dump.begin(), dump.end(), '\n'), 255);
    for (const char* line : {
             ".bin : 000102030405060708090A0B0C0D0E0F     : ................\n"
             "patch: 000102030405060708090A0B0C0D0E0F     : ................\n",
             ".bin : 202122232425262728292A2B2C2D2E2F     :  !\"#$%&'()*+,-./\n",
             ".bin : 606162636465666768696A6B6C6D6E6F     : `abcdefghijklmno\n"
             "patch: 606162634165666768696A6B6C6D6E6F     : `abcAefghijklmno\n",
             ".bin : 707172737475767778797A7B7C7D7E7F     : pqrstuvwxyz{|}~.\n",
             ".bin : 909192939495969798999A9B9C9D9E9F     : ................\n",
             "patch: F0F1F2F3F4F5F6F7F8F9FAFBFCFDFEFF     : ................"}) {
        EXPECT_NE(dump.find(line), std::string::npos) << line;
    }
}

TEST_F(VerifyRun, EdcEccZoneAlone) {
    struct {
        const char* what;
        std::size_t at;
    } cases[] = {
        {"EDC", 2072},
        {"last Q parity byte", 2351},
        // the subheader is carried into the rebuilt copy, so only its EDC differs
        {"subheader", 18},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::disc d = iso->image;
        d.raw(23)[c.at] ^= 0x10;
        save(d);
        const std::string orig = dir.write("orig.bin", stored(d, 23, 0, 2048));
        const support::result r = verify_both(orig, 23 * RAW);
        EXPECT_EQ(r.out,
                  head(orig, 23 * RAW) + vtrace(23, 2048) + EDC_MISMATCH + support::halt());
        EXPECT_EQ(r.status, 255);
    }
}

TEST_F(VerifyRun, LeavesThePpfFileEmpty) {
    const std::string orig = dir.write("orig.bin", stored(iso->image, 23, 0, 3000));
    for (const bool dry : {false, true}) {
        SCOPED_TRACE(dry ? "with -x" : "without -x");
        const std::string ppf = dir.write("out.ppf", std::string("left from before"));
        std::vector<std::string> extra{"-p", ppf, "-d", "unused"};
        if (dry) extra.push_back("-x");
        const support::result r = verify(orig, 23 * RAW, extra);
        EXPECT_EQ(r.out, head(orig, 23 * RAW, ppf) + vtrace(23, 2048) + "\n" +
                             vtrace(24, 952) + "\n" + "Compare successful\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(file_size(ppf), 0u);
        EXPECT_EQ(fixture::read_file(bin), image);
    }
}

TEST_F(VerifyRun, RefusesWhatItCannotStart) {
    const std::string orig = dir.write("orig.bin", stored(iso->image, 23, 0, 100));
    const std::string start = support::banner() + support::files_block(patch, bin, orig) +
                              "Size of patch file is 5 which takes 1 sectors (roughly)\n";
    for (const std::uint64_t remainder : {2049u, 2351u}) {
        SCOPED_TRACE(remainder);
        const std::uint64_t offset = 23 * RAW + remainder;
        const support::result r = verify(orig, offset);
        EXPECT_EQ(r.out, start +
                             format("Offset %08llX lies %llu bytes into sector 23, past its "
                                    "2048 bytes of user data -- refused\n",
                                    static_cast<unsigned long long>(offset),
                                    static_cast<unsigned long long>(remainder)) +
                             support::halt());
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, "");
    }

    // An original that cannot be opened ends the run without the halt text.
    const std::string missing = dir.path("missing.bin");
    const support::result r = verify(missing, 23 * RAW);
    EXPECT_EQ(r.out, support::banner() + support::files_block(patch, bin, missing) +
                         "Size of patch file is 5 which takes 1 sectors (roughly)\n");
    EXPECT_EQ(r.err, "Failed to open orig file: No such file or directory\n");
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(fixture::read_file(bin), image);
}

TEST(VerifyAfterPatch, RoundTrip) {
    support::scratch dir;
    const bytes old_data = fixture::random_bytes(5000, 11);
    const bytes new_data = fixture::random_bytes(5000, 12);
    auto iso = fixture::make_iso({{"GAME.DAT;1", old_data}, {"END.DAT;1", bytes(700, 1)}});
    const std::uint32_t first = iso.where["GAME.DAT;1"].sector;
    const std::string bin = dir.path("image.bin");
    iso.image.save(bin);
    const std::string fresh = dir.write("new.dat", new_data);
    const std::string stale = dir.write("old.dat", old_data);
    const std::string offset = hex_offset(std::uint64_t{first} * RAW);

    const support::result p = support::run_binary({"-o", offset, fresh, bin});
    ASSERT_EQ(p.status, 0) << p.out;
    const bytes patched = fixture::read_file(bin);
    ASSERT_EQ(reference::check_image(patched), "");

    const std::string head =
        support::banner() + "Patch File : " + fresh + "\nPatch .bin : " + bin + "\n";
    auto verify_head = [&](const std::string& orig) {
        return head + "Original   : " + orig + "\n\n" +
               "Size of patch file is 5000 which takes 3 sectors (roughly)\n"
               "Size of original file is 5000 which takes 3 sectors (roughly)\n" +
               format("Offset %08llX lies on sector %u (remainder 0)\n",
                      static_cast<unsigned long long>(first) * RAW, first) +
               "Verifying original against .bin file\n";
    };

    const support::result same = support::run_binary({"-v", fresh, "-o", offset, fresh, bin});
    EXPECT_EQ(same.out, verify_head(fresh) + vtrace(first, 2048) + "\n" +
                            vtrace(first + 1, 2048) + "\n" + vtrace(first + 2, 904) + "\n" +
                            "Compare successful\n");
    EXPECT_EQ(same.status, 0);

    const support::result other = support::run_binary({"-v", stale, "-o", offset, fresh, bin});
    const std::uint8_t* image_sector = patched.data() + first * RAW;
    bytes expected(image_sector, image_sector + RAW);
    std::copy_n(old_data.data(), DATA_SIZE, expected.data() + DATA);
    EXPECT_EQ(other.out, verify_head(stale) + vtrace(first, 2048) +
                             data_report(image_sector, expected.data()) +
                             support::halt());
    EXPECT_EQ(other.status, 255);
    EXPECT_EQ(fixture::read_file(bin), patched);
}

// --- Image comparison ----------------------------------------------------

fixture::disc random_disc(std::size_t sectors) {
    fixture::disc d(sectors);
    for (std::size_t s = 0; s < sectors; ++s)
        d.put_data(s, fixture::random_bytes(DATA_SIZE, static_cast<std::uint32_t>(s + 1)));
    d.encode();
    return d;
}

std::string compare_head(const std::string& second, const std::string& first) {
    return support::banner() + support::files_block(second, first);
}

TEST(ImageComparison, EqualImagesRunToTheShorterEnd) {
    support::scratch dir;
    const fixture::disc ten = random_disc(10);
    fixture::disc twelve = random_disc(12);
    const std::string a = dir.path("ten.bin"), b = dir.path("ten-too.bin"),
                      c = dir.path("twelve.bin");
    ten.save(a);
    ten.save(b);
    twelve.save(c);
    std::string ten_blocks;
    for (int s = 0; s < 10; ++s) ten_blocks += eblock(s);
    struct {
        std::string first, second, tail;
    } cases[] = {
        {a, b, " | READSECTOR(2352)\n"},  // the first image ends at index 10
        {a, c, " | READSECTOR(2352)\n"},
        {c, a, " | READSECTOR(2352) | READSECTOR(2352)\n"},  // the second one does
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.first + " against " + k.second);
        const support::result r = support::run_binary({"-e", k.second, k.first});
        EXPECT_EQ(r.out, compare_head(k.second, k.first) + ten_blocks + k.tail);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(fixture::read_file(a), ten.image());
    EXPECT_EQ(fixture::read_file(c), twelve.image());
}

TEST(ImageComparison, IgnoresEveryOtherOption) {
    support::scratch dir;
    const fixture::disc d = random_disc(10);
    const std::string first = dir.path("first.bin"), second = dir.path("second.bin");
    d.save(first);
    d.save(second);
    const std::string orig = dir.path("no-such-original"), ppf = dir.path("out.ppf");
    const support::result r =
        support::run_binary({"-e", "-v", orig, "-n", "NOWHERE.BIN;1", "-o", "0x9330", "-p", ppf,
                             "-d", "unused", "-x", second, first});
    std::string blocks;
    for (int s = 0; s < 10; ++s) blocks += eblock(s);
    EXPECT_EQ(r.out, support::banner() + support::files_block(second, first, orig, ppf) + blocks +
                         " | READSECTOR(2352)\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(exists(ppf));
    EXPECT_EQ(fixture::read_file(first), d.image());
    EXPECT_EQ(fixture::read_file(second), d.image());
}

TEST(ImageComparison, ReportsTheFirstDifferenceAndStillSucceeds) {
    support::scratch dir;
    const fixture::disc d = random_disc(6);
    const std::string first = dir.path("first.bin"), second = dir.path("second.bin");
    d.save(first);
    std::string equal;
    for (int s = 0; s < 4; ++s) equal += eblock(s);
    // Raw comparison, no rebuilding: each zone begins and ends where it says.
    for (const std::size_t at : {0u, 23u, 24u, 2071u, 2072u, 2351u}) {
        SCOPED_TRACE(at);
        fixture::disc other = d;
        other.raw(3)[at] ^= 0x5A;
        other.save(second);
        const std::uint8_t* a = d.image().data() + 3 * RAW;
        const std::uint8_t* b = other.image().data() + 3 * RAW;
        const std::string report =
            at < 24 ? header_report(a, b) : at < 2072 ? data_report(a, b) : EDC_MISMATCH;
        const support::result r = support::run_binary({"-e", second, first});
        EXPECT_EQ(r.out, compare_head(second, first) + equal + report + "Failed\n" + "\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(fixture::read_file(first), d.image());
        EXPECT_EQ(fixture::read_file(second), other.image());
    }
}

TEST(ImageComparison, StopsAfter33000Sectors) {
    // Two all-zero images of 33001 sectors, made sparse; the second differs
    // only in its last sector, which lies beyond what is compared.
    support::scratch dir;
    const std::string first = dir.path("first.bin"), second = dir.path("second.bin");
    const auto size = static_cast<off_t>(33001 * RAW);
    fixture::write_file(first, bytes{});
    fixture::write_file(second, bytes{});
    ASSERT_EQ(::truncate(first.c_str(), size), 0);
    ASSERT_EQ(::truncate(second.c_str(), size), 0);
    std::FILE* f = std::fopen(second.c_str(), "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fseek(f, 33000L * static_cast<long>(RAW) + 100, SEEK_SET), 0);
    ASSERT_EQ(std::fputc(0x77, f), 0x77);
    ASSERT_EQ(std::fclose(f), 0);
    std::string expected = compare_head(second, first);
    for (int s = 0; s < 33000; ++s) expected += eblock(s);
    expected += "\n";
    const support::result r = support::run_binary({"-e", second, first});
    // Two megabytes of text: compared whole, shown by their ends when they differ.
    const auto tail = [](const std::string& s) { return s.substr(s.size() - 200); };
    EXPECT_TRUE(r.out == expected) << "got ..." << tail(r.out) << "\nwanted ..." << tail(expected);
    EXPECT_EQ(r.status, 0);
}

}  // namespace

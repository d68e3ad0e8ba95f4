// Directory listing (-l, -r) and name lookup (-n): the built tool run on
// images from the image maker, some of them damaged on purpose.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <gtest/gtest.h>

#include "byte_order.h"
#include "image_maker.h"
#include "reference_coder.h"
#include "support.h"

namespace {

using fixture::bytes;
using support::format;

const std::string HEADER = "                          Name      Size Sector  Offset\n";

// One listing line.
std::string row(const std::string& name, std::uint32_t size, std::uint32_t sector) {
    return format("%30.30s %9u %5u (%08llX)\n", name.c_str(), size, sector,
                  static_cast<unsigned long long>(sector) * SECTOR_SIZE);
}
// The lines that open the listing of the directory at `sector`.
std::string opens(std::uint32_t sector) {
    return format("\nSector %u | READSECTOR(2352)\n", sector) + HEADER;
}
// What follows a subdirectory's listing before the parent's next record.
const std::string BACK = "\n" + HEADER;

std::string halt_name(const std::string& name, int count) {
    return format("Name '%s' was found %d times -- halt\n", name.c_str(), count);
}

std::string sizes_line(std::size_t size) {
    return format("Size of patch file is %zu which takes %zu sectors (roughly)\n", size,
                  size / SECTOR_SIZE + 1);
}

// Where the record named `id` starts in the user data of `sector`.
std::size_t find_record(fixture::disc& d, std::size_t sector, std::string_view id) {
    const auto ud = d.user_data(sector);
    for (std::size_t p = 0; p < ud.size() && ud[p] != 0; p += ud[p]) {
        if (ud[p + 32] == id.size() &&
            std::equal(id.begin(), id.end(), ud.begin() + static_cast<std::ptrdiff_t>(p + 33)))
            return p;
    }
    throw std::runtime_error("no record " + std::string(id));
}

void set_extent(fixture::disc& d, std::size_t sector, std::string_view id, std::uint32_t extent) {
    const auto r = d.user_data(sector).subspan(find_record(d, sector, id));
    store_le32(r.subspan<2, 4>(), extent);
    store_be32(r.subspan<6, 4>(), extent);
}

void set_file_flags(fixture::disc& d, std::size_t sector, std::string_view id, std::uint8_t f) {
    d.user_data(sector)[find_record(d, sector, id) + 25] = f;
}

// Replaces every record of a directory sector.
void set_records(fixture::disc& d, std::size_t sector, const std::vector<bytes>& records) {
    bytes all;
    for (const bytes& r : records) all.insert(all.end(), r.begin(), r.end());
    const auto ud = d.user_data(sector);
    std::fill(ud.begin(), ud.end(), std::uint8_t{0});
    d.put_data(sector, all);
}

bytes dot(std::uint32_t extent) { return fixture::dir_record(std::string(1, '\0'), extent, 2048, true); }
bytes dotdot(std::uint32_t extent) { return fixture::dir_record(std::string(1, '\1'), extent, 2048, true); }

// A root with two subdirectories, one with an even-length name (padding
// byte before the XA information) and one with an odd-length name, and
// EXAMPLE.EXE;1 both in the root and in ABC.
//   22 root, 23 AB, 24 ABC, 25 EXAMPLE.EXE;1, 26 AB/IN_EVEN.TXT;1, 27 ABC/EXAMPLE.EXE;1
fixture::iso_image standard_image() {
    return fixture::make_iso({{"EXAMPLE.EXE;1", fixture::random_bytes(68, 1)},
                              {"AB/IN_EVEN.TXT;1", fixture::random_bytes(100, 2)},
                              {"ABC/EXAMPLE.EXE;1", fixture::random_bytes(200, 3)}});
}

const std::string ROOT_ROWS_HEAD = row(".", 2048, 22) + row("..", 2048, 22);

class DirTest : public ::testing::Test {
protected:
    support::scratch dir;
    std::string bin;
    std::string patch = dir.path("patch.bin");
    bytes before;

    void save(const fixture::disc& d) {
        before = d.image();
        bin = dir.write("image.bin", before);
    }
    // Start of the output of every run that got past the command line.
    std::string prefix() const { return support::banner() + support::files_block(patch, bin); }
    support::result list(std::vector<std::string> options) const {
        options.insert(options.end(), {patch, bin});
        return support::run_binary(options);
    }
    bytes image_now() const { return fixture::read_file(bin); }
};

TEST_F(DirTest, ListsTheRootOnlyWithoutRecursion) {
    save(standard_image().image);
    const auto r = list({"-l"});
    EXPECT_EQ(r.out, prefix() + "\nSector 22 | READSECTOR(2352)\n" + HEADER +
                         "                             .      2048    22 (0000CA20)\n"
                         "                            ..      2048    22 (0000CA20)\n"
                         "                            AB      2048    23 (0000D350)\n"
                         "                           ABC      2048    24 (0000DC80)\n"
                         "                 EXAMPLE.EXE;1        68    25 (0000E5B0)\n"
                         "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(image_now(), before);
}

// Only the XA attribute marks AB and ABC as directories here (their ISO
// file flags are cleared), so the attribute must be found behind the
// padding byte of the even-length name too.
TEST_F(DirTest, RecursesDepthFirstIntoEvenAndOddLengthNames) {
    fixture::iso_image iso = standard_image();
    set_file_flags(iso.image, 22, "AB", 0);
    set_file_flags(iso.image, 22, "ABC", 0);
    iso.image.encode();
    save(iso.image);
    const auto r = list({"-l", "-r"});
    EXPECT_EQ(r.out, prefix() + opens(22) + ROOT_ROWS_HEAD + row("AB", 2048, 23) + opens(23) +
                         row(".", 2048, 23) + row("..", 2048, 22) +
                         row("IN_EVEN.TXT;1", 100, 26) + BACK + row("ABC", 2048, 24) +
                         opens(24) + row(".", 2048, 24) + row("..", 2048, 22) +
                         row("EXAMPLE.EXE;1", 200, 27) + BACK + row("EXAMPLE.EXE;1", 68, 25) +
                         "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(image_now(), before);
}

TEST_F(DirTest, NameInTwoDirectoriesCountsTwiceOnlyWithRecursion) {
    save(standard_image().image);
    dir.write("patch.bin", fixture::random_bytes(10, 9));
    const std::string listing_r = opens(22) + ROOT_ROWS_HEAD + row("AB", 2048, 23) + opens(23) +
                                  row(".", 2048, 23) + row("..", 2048, 22) +
                                  row("IN_EVEN.TXT;1", 100, 26) + BACK + row("ABC", 2048, 24) +
                                  opens(24) + row(".", 2048, 24) + row("..", 2048, 22) +
                                  row("EXAMPLE.EXE;1", 200, 27) + BACK +
                                  row("EXAMPLE.EXE;1", 68, 25);
    auto r = list({"-r", "-n", "example.exe;1"});
    EXPECT_EQ(r.out, prefix() + sizes_line(10) + listing_r + "\n" + halt_name("example.exe;1", 2));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(image_now(), before);

    // Without -r the subdirectory is neither listed nor searched: one match,
    // the root's file at sector 25 (dry run).
    r = list({"-x", "-n", "example.exe;1"});
    EXPECT_EQ(r.out, prefix() + sizes_line(10) + opens(22) + ROOT_ROWS_HEAD +
                         row("AB", 2048, 23) + row("ABC", 2048, 24) + row("EXAMPLE.EXE;1", 68, 25) +
                         "\nOffset 0000E5B0 lies on sector 25 (remainder 0)\nPatching .bin file\n" +
                         support::patch_trace(25, 10) + "All done.\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(image_now(), before);
}

// Names that match no record: the version suffix missing, ".", "..", and the
// empty name (which must not match the directory's own record 0x00).
TEST_F(DirTest, NamesThatMatchNothingHaltWithCountZero) {
    save(standard_image().image);
    dir.write("patch.bin", fixture::random_bytes(10, 9));
    const std::string listing = opens(22) + ROOT_ROWS_HEAD + row("AB", 2048, 23) +
                                row("ABC", 2048, 24) + row("EXAMPLE.EXE;1", 68, 25) + "\n";
    for (const std::string name : {"EXAMPLE.EXE", "EXAMPLE.EXE;", ".", "..", "", "AB/", "EXAMPLE.EXE;1 "}) {
        SCOPED_TRACE("name '" + name + "'");
        const auto r = list({"-n", name});
        EXPECT_EQ(r.out, prefix() + sizes_line(10) + listing + halt_name(name, 0));
        EXPECT_EQ(r.status, 1);
    }
    EXPECT_EQ(image_now(), before);
}

// Case is ignored for a-z only: not for bytes from 0x80 up, nor for the
// punctuation pairs that also differ by 0x20 ('[' '{', '@' '`', ']' '}').
TEST_F(DirTest, MatchingFoldsOnlyTheLettersAToZ) {
    const std::string high = "\xC9T\xC9.TXT;1";   // E-acute, upper case in Latin-1
    const std::string punct = "A[@].DAT;1";
    fixture::iso_image iso = fixture::make_iso(
        {{high, fixture::random_bytes(50, 1)}, {punct, fixture::random_bytes(60, 2)}});
    save(iso.image);
    dir.write("patch.bin", fixture::random_bytes(7, 9));
    const std::uint32_t s_punct = iso.where.at(punct).sector;
    const std::uint32_t s_high = iso.where.at(high).sector;
    const std::string listing = opens(22) + ROOT_ROWS_HEAD + row(punct, 60, s_punct) +
                                row(high, 50, s_high) + "\n";
    auto found = [&](const std::string& name, std::uint32_t sector) {
        SCOPED_TRACE(name);
        const auto r = list({"-x", "-n", name});
        EXPECT_EQ(r.out, prefix() + sizes_line(7) + listing +
                             format("Offset %08llX lies on sector %u (remainder 0)\n",
                                    static_cast<unsigned long long>(sector) * SECTOR_SIZE, sector) +
                             "Patching .bin file\n" + support::patch_trace(sector, 7) +
                             "All done.\n");
        EXPECT_EQ(r.status, 0);
    };
    auto missed = [&](const std::string& name) {
        SCOPED_TRACE(name);
        const auto r = list({"-n", name});
        EXPECT_EQ(r.out, prefix() + sizes_line(7) + listing + halt_name(name, 0));
        EXPECT_EQ(r.status, 1);
    };
    found("\xC9t\xC9.tXt;1", s_high);
    found("a[@].dat;1", s_punct);
    missed("\xE9T\xE9.TXT;1");
    missed("a{@].dat;1");
    missed("a[`].dat;1");
    missed("a[@}.dat;1");
    EXPECT_EQ(image_now(), before);
}

TEST_F(DirTest, ListModeWithANameAlwaysEndsWithStatusZero) {
    save(standard_image().image);
    const std::string listing = opens(22) + ROOT_ROWS_HEAD + row("AB", 2048, 23) +
                                row("ABC", 2048, 24) + row("EXAMPLE.EXE;1", 68, 25) + "\n";
    for (const std::string name : {"EXAMPLE.EXE;1", "NOSUCH.DAT;1"}) {
        const auto r = list({"-l", "-n", name});
        EXPECT_EQ(r.out, prefix() + listing) << name;
        EXPECT_EQ(r.status, 0) << name;
    }
    const auto r = list({"-l", "-r", "-n", "EXAMPLE.EXE;1"});  // two matches
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.find("was found"), std::string::npos);
    EXPECT_EQ(image_now(), before);
}

TEST_F(DirTest, NameWithNonzeroOffsetDoesNoWalk) {
    fixture::iso_image iso = standard_image();
    save(iso.image);
    const bytes data = fixture::random_bytes(30, 4);
    dir.write("patch.bin", data);
    // The name is not in the image; the offset wins and nothing is listed.
    const auto r = list({"-n", "NOSUCH.DAT;1", "-o", "0xDC80"});
    EXPECT_EQ(r.out, prefix() + sizes_line(30) +
                         "Offset 0000DC80 lies on sector 24 (remainder 0)\nPatching .bin file\n" +
                         support::patch_trace(24, 30) + "All done.\n");
    EXPECT_EQ(r.status, 0);
    iso.image.put_data(24, data);
    iso.image.encode();
    EXPECT_EQ(image_now(), iso.image.image());
}

// A root directory too long for one sector: only the first is read, so a file
// whose record lies in the second sector is neither listed nor found.
TEST_F(DirTest, OnlyTheFirstSectorOfADirectoryIsRead) {
    std::vector<fixture::iso_file> files;
    for (int i = 0; i < 40; ++i) files.push_back({format("FILE_%03d.DAT;1", i), bytes(10, 1)});
    fixture::iso_image iso = fixture::make_iso(files);
    ASSERT_EQ(iso.where.at("").length, 4096u);
    save(iso.image);
    dir.write("patch.bin", bytes(5, 7));

    std::string listing = opens(22) + row(".", 4096, 22) + row("..", 4096, 22);
    std::size_t used = 2 * dot(0).size();
    int first_unlisted = 0;
    for (const auto& f : files) {
        used += fixture::dir_record(f.path, 0, 0, false).size();
        if (used > 2048) break;
        listing += row(f.path, 10, iso.where.at(f.path).sector);
        ++first_unlisted;
    }
    ASSERT_LT(first_unlisted, 40);
    const std::string unlisted = files[static_cast<std::size_t>(first_unlisted)].path;
    const auto r = list({"-n", unlisted});
    EXPECT_EQ(r.out, prefix() + sizes_line(5) + listing + "\n" + halt_name(unlisted, 0));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(image_now(), before);
}

TEST_F(DirTest, SubdirectoryBeyondTheImageEndsOnlyItsOwnListing) {
    fixture::iso_image iso = standard_image();
    set_extent(iso.image, 22, "ABC", 5000);
    iso.image.encode();
    save(iso.image);
    const auto r = list({"-l", "-r"});
    EXPECT_EQ(r.out, prefix() + opens(22) + ROOT_ROWS_HEAD + row("AB", 2048, 23) + opens(23) +
                         row(".", 2048, 23) + row("..", 2048, 22) +
                         row("IN_EVEN.TXT;1", 100, 26) + BACK + row("ABC", 2048, 5000) +
                         "\nSector 5000 | READSECTOR(2352)" + BACK + row("EXAMPLE.EXE;1", 68, 25) +
                         "\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST_F(DirTest, DirectoryLoopIsEnteredOnce) {
    // AB/SUB points back at the root; ABC points at itself.
    fixture::iso_image iso = fixture::make_iso({{"AB/SUB/X.DAT;1", bytes(3, 1)}}, {"ABC"});
    // 22 root, 23 AB, 24 ABC, 25 AB/SUB, 26 X.DAT;1
    set_extent(iso.image, 23, "SUB", 22);
    set_extent(iso.image, 22, "ABC", 22);
    iso.image.encode();
    save(iso.image);
    const std::string loop =
        " | already listed: the directory tree loops here, not entered again\n";
    const auto r = list({"-l", "-r"});
    EXPECT_EQ(r.out, prefix() + opens(22) + ROOT_ROWS_HEAD + row("AB", 2048, 23) + opens(23) +
                         row(".", 2048, 23) + row("..", 2048, 22) + row("SUB", 2048, 22) +
                         "\nSector 22" + loop + BACK + BACK + row("ABC", 2048, 22) +
                         "\nSector 22" + loop + BACK + "\n");
    EXPECT_EQ(r.status, 0);
}

// A record too short for its identifier ends the sector's walk; so does one
// crossing the end of the user data. Records that fill the user data exactly
// end the walk without a message.
TEST_F(DirTest, MalformedRecordsEndTheSectorsWalk) {
    fixture::iso_image iso = standard_image();
    const std::string tail = "\n";
    auto listing_of = [&](const std::vector<bytes>& records) {
        set_records(iso.image, 22, records);
        iso.image.encode();
        save(iso.image);
        return list({"-l", "-r"});
    };

    bytes short_name = fixture::dir_record("SHORT.DAT;1", 25, 68, false);
    short_name[32] = 200;  // identifier longer than the record
    auto r = listing_of({dot(22), dotdot(22), short_name, fixture::dir_record("AB", 23, 2048, true)});
    EXPECT_EQ(r.out, prefix() + opens(22) + ROOT_ROWS_HEAD +
                         "Malformed directory record at byte 96 -- rest of sector skipped\n" + tail);

    bytes stub(20, 0);
    stub[0] = 20;  // shorter than the 33 fixed bytes
    r = listing_of({dot(22), dotdot(22), stub});
    EXPECT_EQ(r.out, prefix() + opens(22) + ROOT_ROWS_HEAD +
                         "Malformed directory record at byte 96 -- rest of sector skipped\n" + tail);

    // Seven records of 254 bytes bring the next record to byte 1874.
    std::vector<bytes> long_ones{dot(22), dotdot(22)};
    std::string rows = ROOT_ROWS_HEAD;
    for (char c = 'A'; c < 'H'; ++c) {
        const std::string name = std::string(205, c) + ";1";
        long_ones.push_back(fixture::dir_record(name, 25, 68, false));
        ASSERT_EQ(long_ones.back().size(), 254u);
        rows += row(name, 68, 25);
    }
    auto crossing = long_ones;
    crossing.push_back(fixture::dir_record("LAST.DAT;1", 25, 68, false));
    crossing.back()[0] = 175;  // one byte past the user data
    crossing.back().resize(174);
    r = listing_of(crossing);
    EXPECT_EQ(r.out, prefix() + opens(22) + rows +
                         "Malformed directory record at byte 1874 -- rest of sector skipped\n" + tail);

    auto exact = long_ones;
    exact.push_back(fixture::dir_record("LAST.DAT;1", 25, 68, false));
    exact.back().resize(174);
    exact.back()[0] = 174;
    r = listing_of(exact);
    EXPECT_EQ(r.out, prefix() + opens(22) + rows + row("LAST.DAT;1", 68, 25) + tail);
    EXPECT_EQ(r.status, 0);
}

// Records without XA information are directories by their ISO file flags;
// with XA information the attribute decides, whatever the flags say.
TEST_F(DirTest, RecordsWithoutXaInformationUseTheFileFlags) {
    fixture::iso_image iso = standard_image();
    bytes xa_file_flagged = fixture::dir_record("EXAMPLE.EXE;1", 25, 68, false);
    xa_file_flagged[25] = 0x02;
    bytes xa_cut = fixture::dir_record("ABC", 24, 2048, false);  // XA says file
    xa_cut.resize(33 + 3 + 13);                                   // cut inside the XA info
    xa_cut[0] = static_cast<std::uint8_t>(xa_cut.size());
    xa_cut[25] = 0x02;
    set_records(iso.image, 22,
                {dot(22), dotdot(22), fixture::dir_record("AB", 23, 2048, true, false),
                 xa_cut, xa_file_flagged,
                 fixture::dir_record("PLAIN.DAT;1", 24, 2048, false, false)});
    iso.image.encode();
    save(iso.image);
    const auto r = list({"-l", "-r"});
    EXPECT_EQ(r.out, prefix() + opens(22) + ROOT_ROWS_HEAD + row("AB", 2048, 23) + opens(23) +
                         row(".", 2048, 23) + row("..", 2048, 22) +
                         row("IN_EVEN.TXT;1", 100, 26) + BACK + row("ABC", 2048, 24) + opens(24) +
                         row(".", 2048, 24) + row("..", 2048, 22) +
                         row("EXAMPLE.EXE;1", 200, 27) + BACK + row("EXAMPLE.EXE;1", 68, 25) +
                         row("PLAIN.DAT;1", 2048, 24) + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(DirTest, UnreadableRootLeavesAnEmptyListing) {
    fixture::disc d(20);
    d.encode();
    save(d);
    dir.write("patch.bin", bytes(5, 7));
    auto r = list({"-l"});
    EXPECT_EQ(r.out, prefix() + "\nSector 22 | READSECTOR(2352)\n");
    EXPECT_EQ(r.status, 0);
    r = list({"-n", "A.DAT;1"});
    EXPECT_EQ(r.out, prefix() + sizes_line(5) + "\nSector 22 | READSECTOR(2352)\n" +
                         halt_name("A.DAT;1", 0));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(image_now(), before);
}

// A lookup finds the file by name (in another case) and the run patches it.
TEST_F(DirTest, LookupThenPatchTheFoundFile) {
    fixture::iso_image iso = fixture::make_iso(fixture::sample_files());
    save(iso.image);
    const bytes data = fixture::random_bytes(3000, 5);
    dir.write("patch.bin", data);
    const fixture::extent_info title = iso.where.at("TITLE.TXT;1");
    const auto r = list({"-n", "title.txt;1"});
    EXPECT_EQ(r.out, prefix() + sizes_line(3000) + opens(22) + ROOT_ROWS_HEAD +
                         row("DATA", 2048, 23) + row("MAIN.EXE;1", 9000, 26) +
                         row("SYSTEM.CNF;1", 26, 25) + row("TITLE.TXT;1", 4500, title.sector) +
                         "\n" +
                         format("Offset %08X lies on sector %u (remainder 0)\n",
                                title.sector * 2352u, title.sector) +
                         "Patching .bin file\n" + support::patch_trace(title.sector, 2048) +
                         support::patch_trace(title.sector + 1, 952) + "All done.\n");
    EXPECT_EQ(r.status, 0);
    iso.image.put_data(title.sector, data);
    iso.image.encode();
    const bytes after = image_now();
    EXPECT_EQ(after, iso.image.image());
    EXPECT_EQ(reference::check_image(after), "");
}

// An extent of 65536 or more is taken whole: the lookup patches that sector,
// not the one its lower 16 bits would name (here a real file at 23). The
// image is sparse beyond the file system.
TEST_F(DirTest, ExtentBeyond16BitsIsListedAndPatchedWhole) {
    constexpr std::uint32_t far = 65536 + 23;
    fixture::iso_image iso = fixture::make_iso({{"NEAR.DAT;1", fixture::random_bytes(100, 1)}});
    ASSERT_EQ(iso.where.at("NEAR.DAT;1").sector, 23u);
    set_records(iso.image, 22,
                {dot(22), dotdot(22), fixture::dir_record("FAR.DAT;1", far, 100, false),
                 fixture::dir_record("NEAR.DAT;1", 23, 100, false)});
    iso.image.encode();
    save(iso.image);
    const off_t total = static_cast<off_t>(far + 8) * static_cast<off_t>(SECTOR_SIZE);
    ASSERT_EQ(::truncate(bin.c_str(), total), 0);
    const bytes data = fixture::random_bytes(100, 6);
    dir.write("patch.bin", data);

    const auto r = list({"-n", "far.dat;1"});
    EXPECT_EQ(r.out, prefix() + sizes_line(100) + opens(22) + ROOT_ROWS_HEAD +
                         "                     FAR.DAT;1       100 65559 (0930D350)\n" +
                         row("NEAR.DAT;1", 100, 23) + "\n" +
                         "Offset 0930D350 lies on sector 65559 (remainder 0)\n"
                         "Patching .bin file\n" +
                         support::patch_trace(far, 100) + "All done.\n");
    EXPECT_EQ(r.status, 0);

    struct stat st {};
    ASSERT_EQ(::stat(bin.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, total);
    const int fd = ::open(bin.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    bytes head(before.size());
    std::array<std::uint8_t, SECTOR_SIZE> target{}, next{};
    EXPECT_EQ(::pread(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
    EXPECT_EQ(::pread(fd, target.data(), SECTOR_SIZE, static_cast<off_t>(far) * 2352),
              static_cast<ssize_t>(SECTOR_SIZE));
    EXPECT_EQ(::pread(fd, next.data(), SECTOR_SIZE, static_cast<off_t>(far + 1) * 2352),
              static_cast<ssize_t>(SECTOR_SIZE));
    ::close(fd);
    EXPECT_EQ(head, before);  // sector 23 untouched
    std::array<std::uint8_t, SECTOR_SIZE> expected{};
    std::copy(data.begin(), data.end(), expected.begin() + 24);
    reference::encode_mode2_form1(expected, far + 150);
    EXPECT_EQ(target, expected);
    EXPECT_EQ(next, decltype(next){});
}

}  // namespace

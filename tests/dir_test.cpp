// Directory listing (-l, -r) and name lookup (-n): the built tool run on
// images from the image maker, some of them damaged on purpose.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "byte_order.h"
#include "image_maker.h"
#include "reference_coder.h"
#include "support.h"

namespace {

using fixture::bytes;
using support::format;

// The column header, written out so the format itself is pinned.
const std::string HEADER = "                          Name      Size Sector  Offset\n";

// One listing line, in the tool's own format.
std::string row(const std::string& name, std::uint32_t size, std::uint32_t sector) {
    return format("%30.30s %9ld %5u (%08lX)\n", name.c_str(), static_cast<long>(size), sector,
                  static_cast<unsigned long>(sector) * SECTOR_SIZE);
}
// The lines that open the listing of the directory at `sector`, its "." and ".." included.
std::string opens(std::uint32_t sector, std::uint32_t parent = 22, std::uint32_t size = 2048) {
    return format("\nSector %u | READSECTOR(2352)\n", sector) + HEADER + row(".", size, sector) +
           row("..", size, parent);
}
// What follows a subdirectory's listing before the parent's next record.
const std::string BACK = "\n" + HEADER;

std::string halt_name(std::string name, int count) {
    for (char& c : name)  // printed with '?' for bytes outside 0x20..0x7E
        if (static_cast<unsigned char>(c) > 0x7E) c = '?';
    return format("Name '%s' was found %d times -- halt\n", name.c_str(), count);
}
// The size line of a patch of `size` bytes, and its run from the start of `sector`.
std::string sizes_line(std::size_t size) {
    return format("Size of patch file is %zu which takes %zu sectors (roughly)\n", size,
                  size / 2352 + 1);
}
std::string patched(std::uint32_t sector, std::size_t size) {
    return format("Offset %08X lies on sector %u (remainder 0)\nPatching .bin file\n",
                  sector * 2352u, sector) +
           support::patch_traces(sector * 2352ull, size) + "All done.\n";
}

// The record named `id` in directory sector `sector`.
std::span<std::uint8_t> record_of(fixture::disc& d, std::size_t sector, std::string_view id) {
    const auto ud = d.user_data(sector);
    for (std::size_t p = 0; p < ud.size() && ud[p] != 0; p += ud[p])
        if (ud[p + 32] == id.size() &&
            std::equal(id.begin(), id.end(), ud.begin() + static_cast<std::ptrdiff_t>(p + 33)))
            return std::span<std::uint8_t>(ud).subspan(p, ud[p]);
    throw std::runtime_error("no record " + std::string(id));
}
void set_extent(fixture::disc& d, std::string_view id, std::uint32_t extent) {
    const auto r = record_of(d, 22, id);
    store_le32(r.subspan<2, 4>(), extent);
    store_be32(r.subspan<6, 4>(), extent);
}
// Replaces every record of the root directory.
void set_root(fixture::disc& d, const std::vector<bytes>& records) {
    std::ranges::fill(d.user_data(22), std::uint8_t{0});
    bytes all;
    for (const bytes& r : records) all.insert(all.end(), r.begin(), r.end());
    d.put_data(22, all);
}
// The root's "." (0) or ".." (1) record.
bytes dot(char which) { return fixture::dir_record(std::string(1, which), 22, 2048, true); }

// 22 root, 23 AB (even-length name), 24 ABC (odd), 25 EXAMPLE.EXE;1, 26 AB/IN_EVEN.TXT;1,
// 27 ABC/EXAMPLE.EXE;1, 28 A[@].DAT;1, 29 the name in Latin-1 capitals, 30 spare. AB and
// ABC have their ISO file flags cleared: only their XA attribute, behind the padding
// byte for AB, makes them directories.
const std::string HIGH = "\xC9T\xC9.TXT;1";
fixture::iso_image standard_image() {
    fixture::iso_image iso = fixture::make_iso({{"EXAMPLE.EXE;1", fixture::random_bytes(68, 1)},
                                                {"AB/IN_EVEN.TXT;1", fixture::random_bytes(100, 2)},
                                                {"ABC/EXAMPLE.EXE;1", fixture::random_bytes(200, 3)},
                                                {"A[@].DAT;1", fixture::random_bytes(60, 4)},
                                                {HIGH, fixture::random_bytes(50, 5)}},
                                               {}, 1);
    record_of(iso.image, 22, "AB")[25] = 0;
    record_of(iso.image, 22, "ABC")[25] = 0;
    iso.image.encode();
    return iso;
}

class DirTest : public ::testing::Test {
protected:
    support::scratch dir;
    std::string patch = dir.path("patch.bin");
    std::string bin = dir.path("image.bin");

    // Parts of the standard image's listing.
    const std::string ab = row("AB", 2048, 23), abc = row("ABC", 2048, 24);
    const std::string ab_sub = opens(23) + row("IN_EVEN.TXT;1", 100, 26) + BACK;
    const std::string abc_sub = opens(24) + row("EXAMPLE.EXE;1", 200, 27) + BACK;
    const std::string files =
        row("A[@].DAT;1", 60, 28) + row("EXAMPLE.EXE;1", 68, 25) + row("?T?.TXT;1", 50, 29);
    const std::string root = opens(22) + ab + abc + files + "\n";
    const std::string recursive = opens(22) + ab + ab_sub + abc + abc_sub + files + "\n";

    std::string prefix() const { return support::banner() + support::files_block(patch, bin); }
    support::result run(std::vector<std::string> options) const {
        options.insert(options.end(), {patch, bin});
        return support::run_binary(options);
    }
};

TEST_F(DirTest, ListingAndLookupOnTheStandardImage) {
    const bytes data = fixture::random_bytes(2048, 9);  // fills the found file's one sector
    dir.write("patch.bin", data);
    const std::string sizes = sizes_line(data.size());
    auto finds = [&](std::uint32_t sector) { return sizes + root + patched(sector, 2048); };
    // `out` follows the banner and the file names; `patched` 0 leaves the image as it was.
    struct run_case { std::vector<std::string> args; std::string out; int status; unsigned patched; };
    std::vector<run_case> cases{
        {{"-l"}, root, 0, 0},
        {{"-l", "-r"}, recursive, 0, 0},
        // List mode ends with status 0 whatever the count: 1, 2 or 0.
        {{"-l", "-n", "EXAMPLE.EXE;1"}, root, 0, 0},
        {{"-l", "-r", "-n", "EXAMPLE.EXE;1"}, recursive, 0, 0},
        {{"-l", "-n", "NOSUCH.DAT;1"}, root, 0, 0},
        // The name in two directories: twice with -r, once (the root's) without.
        {{"-r", "-n", "example.exe;1"}, sizes + recursive + halt_name("example.exe;1", 2), 1, 0},
        {{"-n", "example.exe;1"}, finds(25), 0, 25},
        // Case is folded for a-z only.
        {{"-n", "\xC9t\xC9.tXt;1"}, finds(29), 0, 29},
        {{"-n", "a[@].dat;1"}, finds(28), 0, 28},
        // A nonzero offset wins: no walk, the name is not looked for.
        {{"-n", "NOSUCH.DAT;1", "-o", "0xDC80"}, sizes + patched(24, 2048), 0, 24},
    };
    // No version, "." and "..", the empty name, other high bytes and the
    // punctuation pairs that also differ by 0x20 match nothing.
    for (const std::string name : {"EXAMPLE.EXE", ".", "..", "", "\xE9T\xE9.TXT;1", "a{@].dat;1",
                                   "a[`].dat;1", "a[@}.dat;1"})
        cases.push_back({{"-n", name}, sizes + root + halt_name(name, 0), 1, 0});

    const bytes before = standard_image().image.image();
    for (const run_case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        dir.write("image.bin", before);
        const auto r = run(c.args);
        EXPECT_EQ(r.out, prefix() + c.out);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(fixture::read_file(bin),
                  c.patched ? support::expected_patch(before, c.patched * 2352ull, data) : before);
    }
}

// Damaged root directories, listed with -r: ABC's extent changed, or new records.
TEST_F(DirTest, DamagedDirectoriesEndOnlyWhatTheyMust) {
    auto malformed = [](int at) {
        return format("Malformed directory record at byte %d -- rest of sector skipped\n", at);
    };
    bytes short_name = fixture::dir_record("SHORT.DAT;1", 25, 68, false);
    short_name[32] = 200;  // identifier longer than the record
    bytes stub(20, 0);
    stub[0] = 20;          // shorter than the 33 fixed bytes
    // Seven records of 254 bytes bring the next to byte 1874; one of 174 then fills the sector.
    std::vector<bytes> filled{dot(0), dot(1)};
    std::string seven;
    for (char c = 'A'; c < 'H'; ++c) {
        filled.push_back(fixture::dir_record(std::string(205, c) + ";1", 25, 68, false));
        seven += row(std::string(205, c) + ";1", 68, 25);
    }
    const std::string last = std::string(125, 'L') + ";1";
    filled.push_back(fixture::dir_record(last, 25, 68, false));
    std::vector<bytes> crossing = filled;
    crossing.back()[0] = 175;  // one byte past the user data
    // Without XA information the ISO file flags decide; with it, the attribute.
    bytes xa_cut = fixture::dir_record("ABC", 24, 2048, false);  // XA says file
    xa_cut.resize(33 + 3 + 13);                                   // cut inside the XA information
    xa_cut[0] = static_cast<std::uint8_t>(xa_cut.size());
    xa_cut[25] = 0x02;
    bytes xa_file_flagged = fixture::dir_record("EXAMPLE.EXE;1", 25, 68, false);
    xa_file_flagged[25] = 0x02;
    const bytes ab_plain = fixture::dir_record("AB", 23, 2048, true, false);

    // ABC's new extent (0: as made) or the root's new records (none: as made).
    const struct { const char* what; unsigned abc; std::vector<bytes> root; std::string listing; }
        cases[]{
        {"extent beyond the image", 5000, {},
         opens(22) + ab + ab_sub + row("ABC", 2048, 5000) + "\nSector 5000 | READSECTOR(2352)" +
             BACK + files},
        {"loop", 22, {},
         opens(22) + ab + ab_sub + row("ABC", 2048, 22) +
             "\nSector 22 | already listed: the directory tree loops here, not entered again\n" +
             BACK + files},
        {"identifier too long", 0, {dot(0), dot(1), short_name, ab_plain},
         opens(22) + malformed(96)},
        {"record too short", 0, {dot(0), dot(1), stub}, opens(22) + malformed(96)},
        {"crossing the end", 0, crossing, opens(22) + seven + malformed(1874)},
        {"filling the sector", 0, filled, opens(22) + seven + row(last, 68, 25)},
        {"no XA information", 0,
         {dot(0), dot(1), ab_plain, xa_cut, xa_file_flagged,
          fixture::dir_record("PLAIN.DAT;1", 24, 2048, false, false)},
         opens(22) + ab + ab_sub + abc + abc_sub + row("EXAMPLE.EXE;1", 68, 25) +
             row("PLAIN.DAT;1", 2048, 24)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fixture::disc image = standard_image().image;
        if (c.abc != 0) set_extent(image, "ABC", c.abc);
        if (!c.root.empty()) set_root(image, c.root);
        image.encode();
        dir.write("image.bin", image.image());
        const auto r = run({"-l", "-r"});
        EXPECT_EQ(r.out, prefix() + c.listing + "\n");
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(fixture::read_file(bin), image.image());
    }
}

// A root directory too long for one sector, its length in the volume
// descriptor: both sectors are listed, and a file whose record lies in the
// second sector is found and patched.
TEST_F(DirTest, EverySectorOfADirectoryIsRead) {
    std::vector<fixture::iso_file> many;
    for (int i = 0; i < 40; ++i) many.push_back({format("FILE_%03d.DAT;1", i), bytes(10, 1)});
    const fixture::iso_image big = fixture::make_iso(many);
    ASSERT_EQ(big.where.at("").length, 4096u);
    dir.write("image.bin", big.image.image());
    const bytes data(5, 7);
    dir.write("patch.bin", data);

    // "." and ".." take 96 bytes, each file 62: FILE_031.DAT;1 opens the second sector.
    std::string listing = opens(22, 22, 4096);
    for (std::uint32_t i = 0; i < 40; ++i) {
        if (i == 31) listing += "\nSector 23 | READSECTOR(2352)\n" + HEADER;
        listing += row(many[i].path, 10, 24 + i);
    }
    const auto r = run({"-n", "FILE_031.DAT;1"});
    EXPECT_EQ(r.out, prefix() + sizes_line(5) + listing + "\n" + patched(55, 5));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fixture::read_file(bin), support::expected_patch(big.image.image(), 55 * 2352ull, data));
}

// An extent of 65536 or more is taken whole: the lookup patches that sector,
// not the one its lower 16 bits would name (EXAMPLE.EXE;1 at 23). The image
// is sparse beyond the file system.
TEST_F(DirTest, ExtentBeyond16BitsIsListedAndPatchedWhole) {
    constexpr std::uint32_t far = 65536 + 23;
    fixture::disc image = fixture::make_iso({{"EXAMPLE.EXE;1", fixture::random_bytes(68, 1)},
                                             {"FAR.DAT;1", fixture::random_bytes(100, 2)}}).image;
    set_extent(image, "FAR.DAT;1", far);
    image.encode();
    const bytes before = image.image(), data = fixture::random_bytes(100, 6);
    dir.write("image.bin", before);
    dir.write("patch.bin", data);
    const std::uintmax_t total = (far + 1) * std::uintmax_t{SECTOR_SIZE};
    std::filesystem::resize_file(bin, total);

    const auto r = run({"-n", "far.dat;1"});
    EXPECT_EQ(r.out, prefix() + sizes_line(100) + opens(22) +
                         "                 EXAMPLE.EXE;1        68    23 (0000D350)\n"
                         "                     FAR.DAT;1       100 65559 (0930D350)\n"
                         "\n" + patched(far, 100));
    EXPECT_EQ(r.status, 0);

    EXPECT_EQ(std::filesystem::file_size(bin), total);
    std::ifstream in(bin, std::ios::binary);
    bytes head(before.size());
    std::array<std::uint8_t, SECTOR_SIZE> sector{}, expected{};
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    EXPECT_EQ(head, before);  // sector 23 untouched
    in.seekg(far * std::streamoff{2352}).read(reinterpret_cast<char*>(sector.data()), 2352);
    std::copy(data.begin(), data.end(), expected.begin() + 24);
    reference::encode_mode2_form1(expected, far + 150);
    EXPECT_EQ(sector, expected);
}

}  // namespace

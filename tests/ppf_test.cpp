// The PPF 2.0 file -p writes: header, chunks, where the file is (and is not)
// created and how failed writes end the run. Every test runs the built tool on
// an image from the image maker and checks the PPF file byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "image_maker.h"
#include "support.h"

namespace {

using fixture::bytes;
using support::run_binary;

constexpr std::size_t HEADER = 1084, PER_SECTOR = 2402;  // PPF sizes: header, chunks of a sector
constexpr std::size_t ID_AT = 0x9320;  // image bytes behind the id block (header bytes 60..1083)
const std::string TAG("Lan\0", 4);
const std::string NO_TEXT = std::string(46, '\0') + TAG;

// Header the tool must write for `image`; `field` is the whole 50-byte description field.
bytes header_for(const std::string& field, const bytes& image) {
    bytes h{'P', 'P', 'F', '2', '0', 1};
    h.insert(h.end(), field.begin(), field.end());
    for (int shift = 0; shift < 32; shift += 8)
        h.push_back(static_cast<std::uint8_t>(image.size() >> shift));
    h.resize(HEADER, 0);
    if (image.size() > ID_AT)
        std::copy_n(image.begin() + ID_AT, std::min(HEADER - 60, image.size() - ID_AT),
                    h.begin() + 60);
    return h;
}

// A 106-sector image (volume descriptors at 16 and 17, DATA.BIN at sector 23,
// spare sectors up to 105) in a scratch directory.
class Ppf : public ::testing::Test {
protected:
    const fixture::iso_image iso =
        fixture::make_iso({{"DATA.BIN;1", fixture::random_bytes(6000, 7)}}, {}, 80);
    bytes image = iso.image.image();
    support::scratch dir;
    const std::string bin = dir.write("image.bin", image);
    const std::string ppf = dir.path("out.ppf");

    // stdout from the banner to the end of the PPF header trace.
    std::string start(const std::string& patch, std::size_t size, std::size_t offset,
                      const std::string& to) const {
        return support::banner() + support::files_block(patch, bin, "", to) +
               support::format("Size of patch file is %zu which takes %zu sectors (roughly)\n",
                               size, size / SECTOR_SIZE + 1) +
               support::format("Offset %08zX lies on sector %zu (remainder %zu)\n", offset,
                               offset / SECTOR_SIZE, offset % SECTOR_SIZE) +
               "Patching .bin file\n\nWriting PPF20 header\n | READSECTOR(2352)\n";
    }

    // Patches `data` in at `offset` (after `opts`) on a fresh copy of `image` and
    // checks the whole run: stdout, the image (left alone under -x), the PPF
    // header, 1084 + 2402 bytes per sector, and that the PPF file applied to the
    // original image gives the patched one. Returns the PPF file.
    bytes patch(const bytes& data, std::size_t offset, std::size_t sectors,
                std::vector<std::string> opts = {}, const std::string& field = NO_TEXT) {
        dir.write("image.bin", image);
        const std::string in = dir.write("patch.dat", data);
        const bool dry = std::find(opts.begin(), opts.end(), "-x") != opts.end();
        opts.insert(opts.end(), {"-o", std::to_string(offset), "-p", ppf, in, bin});
        const auto r = run_binary(opts);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, start(in, data.size(), offset, ppf) +
                             support::patch_traces(offset, data.size()) + "All done.\n");
        EXPECT_EQ(r.err, "");
        const bytes want = support::expected_patch(image, offset, data);
        const bytes out = fixture::read_file(ppf);
        EXPECT_TRUE(fixture::read_file(bin) == (dry ? image : want));
        EXPECT_EQ(out.size(), HEADER + PER_SECTOR * sectors);
        const auto head = std::min<std::ptrdiff_t>(HEADER, std::ssize(out));
        EXPECT_EQ(bytes(out.begin(), out.begin() + head), header_for(field, image));
        EXPECT_TRUE(support::apply_ppf(out, image) == want);
        return out;
    }
};

// Empty patches: the header alone, with every length of -d text.
TEST_F(Ppf, DescriptionCasesOnAnEmptyPatch) {
    const std::string text = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{}, NO_TEXT},
        {{"-d", ""}, NO_TEXT},
        {{"-d", "abc"}, "abc" + std::string(43, '\0') + TAG},
        {{"-d", text.substr(0, 45)}, text.substr(0, 45) + '\0' + TAG},
        {{"-d", text.substr(0, 46)}, text.substr(0, 46) + TAG},
        {{"-d", text}, text.substr(0, 46) + TAG},
    };
    for (const auto& [opts, field] : cases) {
        SCOPED_TRACE(opts.empty() ? "no -d" : "-d '" + opts[1] + "'");
        patch({}, 30 * SECTOR_SIZE, 0, opts, field);
    }
    // Size 249312 spelled out; the id block starts with the volume descriptor's "CORVANE".
    const bytes h = fixture::read_file(ppf);
    EXPECT_EQ(bytes(h.begin() + 56, h.begin() + 60), (bytes{0xe0, 0xcd, 0x03, 0x00}));
    EXPECT_EQ(std::string(h.begin() + 60, h.begin() + 67), "CORVANE");
}

// Sector 16 cut short (968 bytes reach the id block) or missing: zeros fill the rest.
TEST_F(Ppf, IdBlockOfAnImageShorterThanSeventeenSectors) {
    for (const std::size_t length : {16 * SECTOR_SIZE + 1000, 10 * SECTOR_SIZE}) {
        SCOPED_TRACE(length);
        image = fixture::random_bytes(length, 11);
        patch(fixture::random_bytes(100, 3), SECTOR_SIZE, 1);
    }
}

// Patches of `size` bytes at `offset` over `sectors` sectors, each run dry and
// for real: both write the same PPF file. Where given, the first sector's chunk
// heads (offset least significant byte first, count) are spelled out in hex.
TEST_F(Ppf, ChunksOfEveryRebuiltSector) {
    const std::tuple<std::size_t, std::size_t, std::size_t, std::string> shapes[] = {
        {1, 1, 1, "00000000ff ff000000ff fe010000ff fd020000ff fc030000ff "
                  "fb040000ff fa050000ff f9060000ff f8070000ff f708000039 "},
        {1, 100 * SECTOR_SIZE, 1, "c0960300ff bf970300ff be980300ff bd990300ff bc9a0300ff "
                                  "bb9b0300ff ba9c0300ff b99d0300ff b89e0300ff b79f030039 "},
        // Over the id block (sector 16 from remainder 48): the header keeps it as it was.
        {4096, 0x9330, 3, "00930000ff ff930000ff fe940000ff fd950000ff fc960000ff "
                          "fb970000ff fa980000ff f9990000ff f89a0000ff f79b000039 "},
        {1, 30 * SECTOR_SIZE + 2047, 1, ""},  // one byte still gives ten chunks
        {2048, 30 * SECTOR_SIZE, 1, ""},
        {2049, 30 * SECTOR_SIZE, 2, ""},
        {100, 30 * SECTOR_SIZE + 2000, 2, ""},
        {5000, 40 * SECTOR_SIZE + 2048, 4, ""},    // remainder 2048: a first sector with no data
        {3 * 2048 + 1, 102 * SECTOR_SIZE, 4, ""},  // up to the image's last sector
    };
    for (const auto& [size, offset, sectors, heads] : shapes) {
        SCOPED_TRACE(support::format("%zu bytes at %zu", size, offset));
        const bytes data = fixture::random_bytes(size, static_cast<std::uint32_t>(offset));
        const bytes dry = patch(data, offset, sectors, {"-x"}), out = patch(data, offset, sectors);
        EXPECT_TRUE(dry == out);
        std::string got;
        for (std::size_t at = HEADER; at < HEADER + PER_SECTOR && at + 5 <= out.size(); at += 260)
            got += support::format("%02x%02x%02x%02x%02x ", out[at], out[at + 1], out[at + 2],
                                   out[at + 3], out[at + 4]);
        if (!heads.empty()) { EXPECT_EQ(got, heads); }
    }
}

// A failed write ends the run. A header that cannot be written (a full device;
// a size limit that cuts it, after which no torn header stays) stops it before
// any sector is written.
TEST_F(Ppf, FailedWritesEndTheRun) {
    const bytes data = fixture::random_bytes(3 * 2048, 2);
    const bytes full = patch(data, 30 * SECTOR_SIZE, 3, {"-x"});  // writes patch.dat
    const std::string in = dir.path("patch.dat"), cut = dir.path("cut.ppf");
    const std::tuple<std::string, std::uint64_t, std::string> cases[] = {
        {"/dev/full", 0, "No space left on device"},
        {cut, 1000, "File too large"},
    };
    for (const auto& [to, limit, why] : cases) {
        SCOPED_TRACE(to);
        const auto h = run_binary({"-o", "0x9330", "-p", to, in, bin}, limit);
        EXPECT_EQ(h.status, 255);
        EXPECT_EQ(h.out, start(in, data.size(), 0x9330, to) + support::halt());
        EXPECT_EQ(h.err, "Failed top write PPF header: " + why + "\n");
        EXPECT_EQ(fixture::read_file(bin), image);
    }
    EXPECT_EQ(fixture::read_file(cut), bytes{});

    // Room for the header, the first sector and part of the second: the file
    // keeps the header and the first sector's chunks only.
    const auto r = run_binary({"-x", "-o", std::to_string(30 * SECTOR_SIZE), "-p", ppf, in, bin},
                              HEADER + PER_SECTOR + 1000);
    EXPECT_EQ(r.status, 255);
    // The halt message's newline ends sector 31's line.
    EXPECT_EQ(r.out, start(in, data.size(), 30 * SECTOR_SIZE, ppf) +
                         support::patch_traces(30 * SECTOR_SIZE, 4096) + support::halt().substr(1));
    EXPECT_EQ(r.err, "failed to write PPF chunk: File too large\n");
    EXPECT_TRUE(fixture::read_file(ppf) == bytes(full.begin(), full.begin() + HEADER + PER_SECTOR));
    EXPECT_EQ(fixture::read_file(bin), image);
}

// Runs that end before the patch run leave an existing PPF file alone, a
// verify run empties it, the last -p wins and an input of the run is refused.
TEST_F(Ppf, CreatedOnlyWhereThePatchOrVerifyRunStarts) {
    const std::string data = dir.write("data.dat", fixture::random_bytes(6000, 7));
    const std::string at = std::to_string(iso.where.at("DATA.BIN;1").sector * SECTOR_SIZE);
    const std::string old = "an earlier patch";
    const bytes kept(old.begin(), old.end());
    const std::tuple<std::vector<std::string>, int, bytes> cases[] = {
        {{"-l", "-p", ppf, "x", bin}, 0, kept},
        {{"-e", "-p", ppf, bin, bin}, 0, kept},
        {{"-n", "NONE.BIN;1", "-p", ppf, data, bin}, 1, kept},
        {{"-o", at, "-v", data, "-p", ppf, data, bin}, 0, bytes{}},
    };
    for (const auto& [args, status, left] : cases) {
        SCOPED_TRACE(args[0] + " " + args[1]);
        dir.write("out.ppf", old);
        EXPECT_EQ(run_binary(args).status, status);
        EXPECT_EQ(fixture::read_file(ppf), left);
        EXPECT_EQ(fixture::read_file(bin), image);
    }
    for (const std::string& input : {bin, data}) {  // neither input is touched
        const auto r = run_binary({"-o", at, "-p", input, data, bin});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, support::banner() + support::files_block(data, bin, "", input) +
                             "Size of patch file is 6000 which takes 3 sectors (roughly)\n"
                             "PPF file '" + input + "' is an input of this run -- refused\n");
        EXPECT_EQ(fixture::read_file(data), fixture::random_bytes(6000, 7));
        EXPECT_EQ(fixture::read_file(bin), image);
    }
    // Found once by name: the run writes the PPF of the file's three sectors.
    EXPECT_EQ(run_binary({"-n", "DATA.BIN;1", "-p", ppf, data, bin}).status, 0);
    EXPECT_EQ(fixture::read_file(ppf).size(), HEADER + 3 * PER_SECTOR);
    // Given twice, the last -p names the file.
    patch(fixture::random_bytes(10, 5), 70560, 1, {"-p", dir.path("first.ppf")});
    EXPECT_FALSE(std::filesystem::exists(dir.path("first.ppf")));
}

}  // namespace

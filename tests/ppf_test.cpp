// The PPF 2.0 file the tool writes with -p: header, chunk stream, where the
// file is (and is not) created, and how failed writes end the run. Every test
// runs the built tool on an image made by the image maker and checks the PPF
// file byte for byte.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "byte_order.h"
#include "image_maker.h"
#include "reference_coder.h"
#include "support.h"

namespace {

using fixture::bytes;
using support::run_binary;

constexpr std::size_t HEADER = 1084;
constexpr std::size_t PER_SECTOR = 2402;
constexpr std::size_t ID_AT = 0x9320;  // image bytes behind the id block
constexpr std::size_t ID_SIZE = 1024;

// An ISO image of 106 sectors: the volume descriptors at 16 and 17, one file
// at sector 23, and spare sectors up to 105.
fixture::iso_image sample_iso() {
    return fixture::make_iso({{"DATA.BIN;1", fixture::random_bytes(6000, 7)}}, {}, 80);
}

bytes text_bytes(const std::string& s) { return bytes(s.begin(), s.end()); }

// Header the tool must write: `desc` is the whole 50-byte description field.
bytes header_for(const std::string& desc, const bytes& image) {
    EXPECT_EQ(desc.size(), 50U);
    bytes h = text_bytes("PPF20");
    h.push_back(1);
    h.insert(h.end(), desc.begin(), desc.end());
    for (int shift = 0; shift < 32; shift += 8)
        h.push_back(static_cast<std::uint8_t>(image.size() >> shift));
    bytes id(ID_SIZE, 0);
    if (image.size() > ID_AT)
        std::copy_n(image.begin() + ID_AT, std::min(ID_SIZE, image.size() - ID_AT), id.begin());
    h.insert(h.end(), id.begin(), id.end());
    return h;
}

// What stdout holds from the banner to the end of the PPF header trace.
std::string run_start(const std::string& patch, const std::string& bin, const std::string& ppf,
                      std::size_t size, std::size_t offset) {
    return support::banner() + support::files_block(patch, bin, "", ppf) +
           support::format("Size of patch file is %zu which takes %zu sectors (roughly)\n", size,
                           size / SECTOR_SIZE + 1) +
           support::format("Offset %08zX lies on sector %zu (remainder %zu)\n", offset,
                           offset / SECTOR_SIZE, offset % SECTOR_SIZE) +
           "Patching .bin file\n" + "\nWriting PPF20 header\n | READSECTOR(2352)\n";
}

bytes chunk_head(std::size_t ppf_at, const bytes& ppf) {
    return bytes(ppf.begin() + static_cast<std::ptrdiff_t>(ppf_at),
                 ppf.begin() + static_cast<std::ptrdiff_t>(ppf_at + 5));
}

TEST(PpfHeader, DescriptionCasesOnAnEmptyPatch) {
    support::scratch dir;
    const bytes image = sample_iso().image.image();
    const std::string bin = dir.write("image.bin", image);
    const std::string patch = dir.write("empty.dat", "");
    const std::string ppf = dir.path("out.ppf");
    const std::string text60 = "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWX";
    const std::string zeros(46, '\0'), tag("Lan\0", 4);
    struct desc_case {
        std::optional<std::string> d;
        std::string field;
    };
    const desc_case cases[] = {
        {std::nullopt, zeros + tag},
        {"", zeros + tag},
        {"abc", "abc" + std::string(43, '\0') + tag},
        {text60.substr(0, 45), text60.substr(0, 45) + '\0' + tag},
        {text60.substr(0, 46), text60.substr(0, 46) + tag},
        {text60, text60.substr(0, 46) + tag},
    };
    const std::size_t offset = 30 * SECTOR_SIZE;
    for (const desc_case& c : cases) {
        SCOPED_TRACE(c.d ? "-d '" + *c.d + "'" : "no -d");
        std::vector<std::string> args{"-o", std::to_string(offset), "-p", ppf};
        if (c.d) args.insert(args.end(), {"-d", *c.d});
        args.insert(args.end(), {patch, bin});
        const auto r = run_binary(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, run_start(patch, bin, ppf, 0, offset) + "All done.\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(fixture::read_file(ppf), header_for(c.field, image));
    }
    // The size field, spelled out for this 106-sector image: 249312 bytes.
    const bytes h = fixture::read_file(ppf);
    EXPECT_EQ(bytes(h.begin() + 56, h.begin() + 60), (bytes{0xe0, 0xcd, 0x03, 0x00}));
    // The id block is the volume descriptor's text, from "CORVANE" on.
    EXPECT_EQ(std::string(h.begin() + 60, h.begin() + 67), "CORVANE");
    EXPECT_EQ(fixture::read_file(bin), image);
}

TEST(PpfHeader, IdBlockOfAnImageShorterThanSeventeenSectors) {
    support::scratch dir;
    const std::string patch = dir.write("p.dat", fixture::random_bytes(100, 3));
    const std::string ppf = dir.path("out.ppf");
    // 16 sectors and 1000 bytes of sector 16 (of which 968 reach the id
    // block); 10 sectors (none of it).
    for (const std::size_t length : {16 * SECTOR_SIZE + 1000, 10 * SECTOR_SIZE}) {
        SCOPED_TRACE(length);
        bytes image = fixture::random_bytes(length, 11);
        const std::string bin = dir.write("short.bin", image);
        const auto r = run_binary({"-o", "2352", "-p", ppf, patch, bin});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, run_start(patch, bin, ppf, 100, 2352) + support::patch_traces(2352, 100) + "All done.\n");
        const bytes got = fixture::read_file(ppf);
        ASSERT_EQ(got.size(), HEADER + PER_SECTOR);
        EXPECT_EQ(bytes(got.begin(), got.begin() + HEADER),
                  header_for(std::string(46, '\0') + std::string("Lan\0", 4), image));
    }
}

TEST(PpfChunks, SectorCountsAndApplyingReproducesThePatchedImage) {
    support::scratch dir;
    const bytes image = sample_iso().image.image();
    const std::string ppf = dir.path("out.ppf");
    struct shape {
        std::size_t size, offset, sectors;
    };
    const shape shapes[] = {
        {1, 30 * SECTOR_SIZE + 2047, 1},  // one byte still gives ten chunks
        {2048, 30 * SECTOR_SIZE, 1},
        {2049, 30 * SECTOR_SIZE, 2},
        {100, 30 * SECTOR_SIZE + 2000, 2},
        {5000, 40 * SECTOR_SIZE + 2048, 4},  // remainder 2048: a first sector with no data
        {3 * 2048 + 1, 102 * SECTOR_SIZE, 4},  // up to the image's last sector
    };
    for (const shape& s : shapes) {
        SCOPED_TRACE(support::format("%zu bytes at %zu", s.size, s.offset));
        const std::string bin = dir.write("image.bin", image);
        const bytes data = fixture::random_bytes(s.size, static_cast<std::uint32_t>(s.offset));
        const std::string patch = dir.write("p.dat", data);
        const auto r = run_binary({"-o", std::to_string(s.offset), "-p", ppf, patch, bin});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, run_start(patch, bin, ppf, s.size, s.offset) +
                             support::patch_traces(s.offset, s.size) + "All done.\n");
        const bytes out = fixture::read_file(ppf);
        EXPECT_EQ(out.size(), HEADER + PER_SECTOR * s.sectors);
        const bytes after = fixture::read_file(bin);
        EXPECT_EQ(after, support::expected_patch(image, s.offset, data));
        const auto applied = support::apply_ppf(out, image);
        ASSERT_TRUE(applied.has_value());
        EXPECT_TRUE(*applied == after);
        EXPECT_EQ(reference::check_image(*applied), "");
    }
}

TEST(PpfChunks, HeadsOfSectorsZeroAndHundred) {
    support::scratch dir;
    const bytes image = sample_iso().image.image();
    const std::string ppf = dir.path("out.ppf");
    const std::string patch = dir.write("p.dat", "x");
    const std::vector<bytes> sector0 = {
        {0x00, 0x00, 0x00, 0x00, 0xff}, {0xff, 0x00, 0x00, 0x00, 0xff},
        {0xfe, 0x01, 0x00, 0x00, 0xff}, {0xfd, 0x02, 0x00, 0x00, 0xff},
        {0xfc, 0x03, 0x00, 0x00, 0xff}, {0xfb, 0x04, 0x00, 0x00, 0xff},
        {0xfa, 0x05, 0x00, 0x00, 0xff}, {0xf9, 0x06, 0x00, 0x00, 0xff},
        {0xf8, 0x07, 0x00, 0x00, 0xff}, {0xf7, 0x08, 0x00, 0x00, 0x39}};
    const std::vector<bytes> sector100 = {
        {0xc0, 0x96, 0x03, 0x00, 0xff}, {0xbf, 0x97, 0x03, 0x00, 0xff},
        {0xbe, 0x98, 0x03, 0x00, 0xff}, {0xbd, 0x99, 0x03, 0x00, 0xff},
        {0xbc, 0x9a, 0x03, 0x00, 0xff}, {0xbb, 0x9b, 0x03, 0x00, 0xff},
        {0xba, 0x9c, 0x03, 0x00, 0xff}, {0xb9, 0x9d, 0x03, 0x00, 0xff},
        {0xb8, 0x9e, 0x03, 0x00, 0xff}, {0xb7, 0x9f, 0x03, 0x00, 0x39}};
    for (const auto& [offset, heads] :
         {std::pair{std::size_t{1}, sector0}, std::pair{100 * SECTOR_SIZE, sector100}}) {
        SCOPED_TRACE(offset);
        const std::string bin = dir.write("image.bin", image);
        ASSERT_EQ(run_binary({"-o", std::to_string(offset), "-p", ppf, patch, bin}).status, 0);
        const bytes out = fixture::read_file(ppf);
        ASSERT_EQ(out.size(), HEADER + PER_SECTOR);
        for (std::size_t k = 0; k < 10; ++k)
            EXPECT_EQ(chunk_head(HEADER + k * 260, out), heads[k]) << "chunk " << k;
        // Each chunk's data is the rebuilt sector's bytes, sync pattern first.
        const bytes after = fixture::read_file(bin);
        const auto start = static_cast<std::ptrdiff_t>(offset / SECTOR_SIZE * SECTOR_SIZE);
        EXPECT_TRUE(std::equal(after.begin() + start, after.begin() + start + 255,
                               out.begin() + HEADER + 5));
    }
}

// A patch over sector 16, made as a dry run and as a real run.
TEST(PpfChunks, DryAndRealRunOverSectorSixteenAgree) {
    support::scratch dir;
    const bytes image = sample_iso().image.image();
    const bytes data = fixture::random_bytes(4096, 16);
    const std::string patch = dir.write("p.dat", data);
    const std::string dry_bin = dir.write("dry.bin", image);
    const std::string real_bin = dir.write("real.bin", image);
    const std::string dry_ppf = dir.path("dry.ppf"), real_ppf = dir.path("real.ppf");
    const std::size_t offset = 0x9330;  // sector 16, remainder 48

    const auto dry = run_binary({"-x", "-o", "0x9330", "-p", dry_ppf, patch, dry_bin});
    const auto real = run_binary({"-o", "0x9330", "-p", real_ppf, patch, real_bin});
    for (const auto* r : {&dry, &real}) EXPECT_EQ(r->status, 0);
    EXPECT_EQ(dry.out, run_start(patch, dry_bin, dry_ppf, 4096, offset) +
                           support::patch_traces(offset, 4096) + "All done.\n");
    EXPECT_EQ(real.out, run_start(patch, real_bin, real_ppf, 4096, offset) +
                            support::patch_traces(offset, 4096) + "All done.\n");
    EXPECT_EQ(fixture::read_file(dry_bin), image);
    const bytes after = fixture::read_file(real_bin);
    EXPECT_EQ(after, support::expected_patch(image, offset, data));

    const bytes out = fixture::read_file(real_ppf);
    EXPECT_TRUE(fixture::read_file(dry_ppf) == out);
    ASSERT_EQ(out.size(), HEADER + 3 * PER_SECTOR);
    // The id block holds sector 16 as it was, not as the run left it.
    EXPECT_EQ(bytes(out.begin(), out.begin() + HEADER),
              header_for(std::string(46, '\0') + std::string("Lan\0", 4), image));
    EXPECT_FALSE(std::equal(after.begin() + ID_AT, after.begin() + ID_AT + ID_SIZE,
                            out.begin() + 60));
    for (std::size_t k = 0; k < 10; ++k) {
        const std::uint32_t want = 37632 + 255 * static_cast<std::uint32_t>(k);
        EXPECT_EQ(load_le32(std::span(out).subspan(HEADER + k * 260).first<4>()), want);
    }
    EXPECT_EQ(load_le32(std::span(out).subspan(HEADER + 9 * 260).first<4>()), 39927U);
    const auto applied = support::apply_ppf(out, image);
    ASSERT_TRUE(applied.has_value());
    EXPECT_TRUE(*applied == after);
}

TEST(PpfFailures, HeaderWriteToAFullDevice) {
    support::scratch dir;
    const bytes image = sample_iso().image.image();
    const std::string bin = dir.write("image.bin", image);
    const std::string patch = dir.write("p.dat", fixture::random_bytes(3000, 1));
    const auto r = run_binary({"-o", "0x9330", "-p", "/dev/full", patch, bin});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, run_start(patch, bin, "/dev/full", 3000, 0x9330) + support::halt());
    EXPECT_EQ(r.err, "Failed top write PPF header: No space left on device\n");
    EXPECT_EQ(fixture::read_file(bin), image);
}

TEST(PpfFailures, ChunkWriteFailsPartWay) {
    support::scratch dir;
    const bytes image = sample_iso().image.image();
    const std::string bin = dir.write("image.bin", image);
    const std::string patch = dir.write("p.dat", fixture::random_bytes(3 * 2048, 2));
    const std::string good = dir.path("good.ppf"), cut = dir.path("cut.ppf");
    const std::size_t offset = 30 * SECTOR_SIZE;
    ASSERT_EQ(run_binary({"-x", "-o", std::to_string(offset), "-p", good, patch, bin}).status, 0);
    const bytes full = fixture::read_file(good);
    ASSERT_EQ(full.size(), HEADER + 3 * PER_SECTOR);

    // Room for the header, the first sector and part of the second.
    const auto r = run_binary({"-x", "-o", std::to_string(offset), "-p", cut, patch, bin},
                                       HEADER + PER_SECTOR + 1000);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out,
              run_start(patch, bin, cut, 3 * 2048, offset) + support::patch_trace(30, 2048) +
                  "    31 | READSECTOR(2352) | READPATCH(2048) | EDC_ECC | WRITESECTOR(2352)" +
                  support::halt());
    EXPECT_EQ(r.err, "failed to write PPF chunk: File too large\n");
    EXPECT_EQ(r.out.find("All done."), std::string::npos);
    const bytes kept = fixture::read_file(cut);
    EXPECT_EQ(kept.size(), HEADER + PER_SECTOR);
    EXPECT_TRUE(kept == bytes(full.begin(), full.begin() + HEADER + PER_SECTOR));
    EXPECT_EQ(fixture::read_file(bin), image);

    // Room for all of stdout but only part of the header, in a real run: no
    // sector is written and no torn header stays behind.
    const auto h = run_binary({"-o", std::to_string(offset), "-p", cut, patch, bin}, 1000);
    EXPECT_EQ(h.status, 255);
    EXPECT_EQ(h.out, run_start(patch, bin, cut, 3 * 2048, offset) + support::halt());
    EXPECT_EQ(h.err, "Failed top write PPF header: File too large\n");
    EXPECT_EQ(fixture::read_file(cut), bytes{});
    EXPECT_EQ(fixture::read_file(bin), image);
}

// Runs that end before the patch run leave an existing PPF file alone; a
// verify run empties it; an input of the run is never taken for it.
TEST(PpfCreation, OnlyWhereThePatchOrVerifyRunStarts) {
    support::scratch dir;
    const auto iso = sample_iso();
    const bytes image = iso.image.image();
    const std::string bin = dir.write("image.bin", image);
    const std::string second = dir.write("second.bin", image);
    const std::string data = dir.write("data.dat", fixture::random_bytes(6000, 7));
    const std::string ppf = dir.path("keep.ppf");
    const std::string at = std::to_string(iso.where.at("DATA.BIN;1").sector * SECTOR_SIZE);
    const std::string old = "an earlier patch";

    struct untouched_case {
        std::vector<std::string> args;
        int status;
    };
    const untouched_case untouched[] = {
        {{"-l", "-p", ppf, "x", bin}, 0},
        {{"-e", "-p", ppf, second, bin}, 0},
        {{"-n", "NONE.BIN;1", "-p", ppf, data, bin}, 1},
    };
    for (const untouched_case& c : untouched) {
        SCOPED_TRACE(c.args[0]);
        dir.write("keep.ppf", old);
        EXPECT_EQ(run_binary(c.args).status, c.status);
        EXPECT_EQ(fixture::read_file(ppf), text_bytes(old));
        EXPECT_EQ(fixture::read_file(bin), image);
    }

    dir.write("keep.ppf", old);
    EXPECT_EQ(run_binary({"-o", at, "-v", data, "-p", ppf, data, bin}).status, 0);
    EXPECT_TRUE(std::filesystem::exists(ppf));
    EXPECT_EQ(fixture::read_file(ppf), bytes{});

    // Found once by name: the run writes the PPF of the file's three sectors.
    EXPECT_EQ(run_binary({"-n", "DATA.BIN;1", "-p", ppf, data, bin}).status, 0);
    EXPECT_EQ(fixture::read_file(ppf).size(), HEADER + 3 * PER_SECTOR);

    for (const std::string& input : {bin, data}) {
        SCOPED_TRACE(input);
        const bytes before = fixture::read_file(input);
        const auto r = run_binary({"-o", at, "-p", input, data, bin});
        EXPECT_EQ(r.status, 255);
        const std::string tail = "PPF file '" + input + "' is an input of this run -- refused\n";
        ASSERT_GE(r.out.size(), tail.size());
        EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
        EXPECT_EQ(fixture::read_file(input), before);
        EXPECT_EQ(fixture::read_file(bin), image);
    }
}

TEST(PpfCreation, TheLastDashPWins) {
    support::scratch dir;
    const bytes image = sample_iso().image.image();
    const std::string bin = dir.write("image.bin", image);
    const std::string patch = dir.write("p.dat", fixture::random_bytes(10, 5));
    const std::string first = dir.path("first.ppf"), second = dir.path("second.ppf");
    const auto r = run_binary({"-o", "70560", "-p", first, "-p", second, patch, bin});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, run_start(patch, bin, second, 10, 70560) + support::patch_traces(70560, 10) + "All done.\n");
    EXPECT_FALSE(std::filesystem::exists(first));
    EXPECT_EQ(fixture::read_file(second).size(), HEADER + PER_SECTOR);
}

}  // namespace

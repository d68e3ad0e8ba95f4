// Whole runs of the built tool: command line, patch run, dry run and the
// refusals that protect the image.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <regex>

#include "image_maker.h"
#include "reference_coder.h"
#include "support.h"

namespace {

using fixture::bytes;
using support::format;
using support::run_binary;

using support::expected_patch;

struct image_case {
    support::scratch dir;
    bytes original;
    std::string bin;

    explicit image_case(std::size_t spare = 4) {
        original = fixture::make_iso(fixture::sample_files(), {}, spare).image.image();
        bin = dir.write("image.bin", original);
    }
    bytes now() const { return fixture::read_file(bin); }
    std::string patch(const bytes& data) const { return dir.write("patch.bin", data); }
};

std::string patch_head(const std::string& patch, const std::string& bin, std::uint64_t size,
                       std::uint64_t offset) {
    return support::banner() + support::files_block(patch, bin) +
           format("Size of patch file is %llu which takes %llu sectors (roughly)\n",
                  static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(size / 2352 + 1)) +
           format("Offset %08llX lies on sector %llu (remainder %llu)\nPatching .bin file\n",
                  static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset / 2352),
                  static_cast<unsigned long long>(offset % 2352));
}

TEST(CommandLine, UsageCasesExitZeroWithoutOpeningAnything) {
    const std::string usage = support::banner() + support::usage();
    const std::string need = support::banner() + "Specify either -n or -o!\n" + support::usage();
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, need},
        {{"-h"}, usage},
        {{"-o", "0x9330", "-h", "/nonexistent/a", "/nonexistent/b"}, usage},
        {{"-o", "0", "/nonexistent/a", "/nonexistent/b"}, need},
        {{"-o", "banana", "/nonexistent/a", "/nonexistent/b"}, need},
        {{"-l", "/nonexistent/b"}, usage},
        {{"-o", "100", "a", "b", "c"}, usage},
    };
    for (const auto& c : cases) {
        const auto r = run_binary(c.args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

TEST(CommandLine, VersionLineCarriesBuildStringsInAsctimeForm) {
    const auto r = run_binary({"-h"});
    const std::regex line(
        "Version 1\\.1 build 160 \\([^@\\n]+@[^)\\n]+\\) - "
        "(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
        "[ 123][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\\.\n");
    EXPECT_TRUE(std::regex_search(r.out, line)) << r.out;
}

TEST(CommandLine, OffsetReadsHexOctalAndDecimalAlike) {
    image_case img;
    const std::string patch = img.patch(bytes(10, 0x41));
    for (const char* text : {"0x9330", "37680", "0111460"}) {
        const auto r = run_binary({"-x", "-o", text, patch, img.bin});
        EXPECT_EQ(r.status, 0) << text;
        EXPECT_NE(r.out.find("Offset 00009330 lies on sector 16 (remainder 48)\n"), std::string::npos)
            << text;
    }
}

TEST(CommandLine, UnknownOptionsAreReportedAndTheRunGoesOn) {
    image_case img;
    const std::string patch = img.patch(bytes(10, 0x41));
    // The second -p wins; getopt reports the unknown letter itself on stderr.
    const auto r = run_binary({"-z", "-x", "-p", img.dir.path("first.ppf"), "-p",
                               img.dir.path("second.ppf"), "-o", "2352", patch, img.bin});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(support::banner() + "Unknown argument ? -- looks cool though\n" +
                              support::files_block(patch, img.bin, "", img.dir.path("second.ppf")),
                          0),
              0U)
        << r.out;
    EXPECT_NE(r.err.find("invalid option"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(img.dir.path("first.ppf")));
    EXPECT_TRUE(std::filesystem::exists(img.dir.path("second.ppf")));
}

TEST(PatchRun, SpansThreeSectorsFromARemainderAndRebuildsEachOne) {
    image_case img;
    const bytes data = fixture::random_bytes(4096, 5);
    const std::string patch = img.patch(data);
    const auto r = run_binary({"-o", "0x9330", patch, img.bin});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, patch_head(patch, img.bin, 4096, 0x9330) + support::patch_trace(16, 2000) +
                         support::patch_trace(17, 2048) + support::patch_trace(18, 48) +
                         "All done.\n");
    EXPECT_EQ(r.err, "");
    const bytes now = img.now();
    EXPECT_EQ(now, expected_patch(img.original, 0x9330, data));
    EXPECT_EQ(reference::check_image(now), "");
}

TEST(PatchRun, InProcessRunMatchesTheBinary) {
    image_case a, b;
    const bytes data = fixture::random_bytes(5000, 6);
    const std::string pa = a.patch(data), pb = b.patch(data);
    const auto ra = run_binary({"-o", "47040", pa, a.bin});
    const auto rb = support::run_inprocess({"-o", "47040", pb, b.bin});
    EXPECT_EQ(ra.status, rb.status);
    EXPECT_EQ(rb.out, patch_head(pb, b.bin, 5000, 47040) + support::patch_trace(20, 2048) +
                          support::patch_trace(21, 2048) + support::patch_trace(22, 904) +
                          "All done.\n");
    EXPECT_EQ(a.now(), b.now());
}

TEST(PatchRun, DryRunTracesEverySectorAndWritesNothing) {
    image_case img;
    const bytes data = fixture::random_bytes(4704, 7);
    const std::string patch = img.patch(data);
    const auto r = run_binary({"-x", "-o", "0x11CD0", patch, img.bin});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, patch_head(patch, img.bin, 4704, 0x11CD0) + support::patch_trace(31, 2048) +
                         support::patch_trace(32, 2048) + support::patch_trace(33, 608) +
                         "All done.\n");
    EXPECT_EQ(img.now(), img.original);
}

TEST(PatchRun, OffsetBoundariesInsideTheImage) {
    // offset, patch size, then the count each touched sector reads
    const struct {
        std::uint64_t offset;
        std::size_t size;
        std::vector<std::size_t> counts;
    } cases[] = {
        {2047, 1, {1}},                 // last user-data byte of sector 0
        {2047, 2, {1, 1}},
        {2048, 3, {0, 3}},              // remainder 2048: sector 0 rebuilt unchanged
        {2352, 2048, {2048}},           // exactly one whole sector
        {2352 * 42, 2048, {2048}},      // the image's last sector
        {2352 * 41 + 2000, 100, {48, 52}},
    };
    for (const auto& c : cases) {
        image_case img;  // 39 sectors of files + 4 spare = sectors 0..42
        ASSERT_EQ(img.original.size(), 43U * 2352U);
        const bytes data = fixture::random_bytes(c.size, static_cast<std::uint32_t>(c.offset));
        const std::string patch = img.patch(data);
        const auto r = run_binary({"-o", std::to_string(c.offset), patch, img.bin});
        std::string want = patch_head(patch, img.bin, c.size, c.offset);
        for (std::size_t i = 0; i < c.counts.size(); ++i)
            want += support::patch_trace(static_cast<std::uint32_t>(c.offset / 2352 + i),
                                         c.counts[i]);
        EXPECT_EQ(r.status, 0) << c.offset;
        EXPECT_EQ(r.out, want + "All done.\n") << c.offset;
        EXPECT_EQ(img.now(), expected_patch(img.original, c.offset, data)) << c.offset;
    }
}

// Patches longer than the loop fetches at once: window boundaries crossed at
// remainder 0 and mid-sector, a patch ending in the image's last sector.
TEST(PatchRun, LongRunsAcrossReadAheadWindows) {
    fixture::disc d(150);
    for (std::size_t n = 0; n < d.sectors(); ++n)
        d.put_data(n, fixture::random_bytes(2048, static_cast<std::uint32_t>(n)));
    d.encode();
    const struct {
        std::uint64_t offset, size;
    } cases[] = {{2352, 70 * 2048 + 100}, {5 * 2352 + 1000, 145 * 2048 - 1000},
                 {33 * 2352 + 2047, 64 * 2048 + 2}};
    for (const auto& c : cases) {
        support::scratch dir;
        const std::string bin = dir.write("image.bin", d.image());
        const bytes data = fixture::random_bytes(c.size, static_cast<std::uint32_t>(c.offset));
        const std::string patch = dir.write("patch.bin", data);
        const std::string want =
            patch_head(patch, bin, c.size, c.offset) + support::patch_traces(c.offset, c.size) + "All done.\n";
        const auto dry = run_binary({"-x", "-o", std::to_string(c.offset), patch, bin});
        EXPECT_EQ(dry.status, 0);
        EXPECT_TRUE(dry.out == want) << c.offset;
        EXPECT_TRUE(fixture::read_file(bin) == d.image()) << "dry run wrote";
        const auto r = run_binary({"-o", std::to_string(c.offset), patch, bin});
        EXPECT_EQ(r.status, 0);
        EXPECT_TRUE(r.out == want) << c.offset;
        EXPECT_TRUE(fixture::read_file(bin) == expected_patch(d.image(), c.offset, data)) << c.offset;
    }
}

TEST(PatchRun, EmptyPatchTouchesNoSector) {
    image_case img;
    const std::string patch = img.patch({});
    const auto r = run_binary({"-o", "0x9330", patch, img.bin});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, patch_head(patch, img.bin, 0, 0x9330) + "All done.\n");
    EXPECT_EQ(img.now(), img.original);
}

// Runs that must be refused before the image is touched, with or without -x.
TEST(Refusals, OffsetsAndPatchesThatDoNotFitLeaveTheImageAlone) {
    const std::string past_data = "lies %llu bytes into sector %llu, past its 2048 bytes of "
                                  "user data -- refused\n";
    const struct {
        std::string offset;
        std::size_t size;
        std::string line;
    } cases[] = {
        {"2049", 1, "Offset 00000801 " + format(past_data.c_str(), 2049ULL, 0ULL)},
        {"2351", 1, "Offset 0000092F " + format(past_data.c_str(), 2351ULL, 0ULL)},
        {"101136", 1,  // sector 43: one past the last
         "Patch of 1 bytes at offset 00018B10 needs sectors 43 to 43, but the image holds only "
         "43 whole sectors -- refused\n"},
        {"98784", 2049,  // sector 42 and one byte more
         "Patch of 2049 bytes at offset 000181E0 needs sectors 42 to 43, but the image holds "
         "only 43 whole sectors -- refused\n"},
        {"-1", 1,  // 0xFFFFFFFF
         "Patch of 1 bytes at offset FFFFFFFF needs sectors 1826091 to 1826091, but the image "
         "holds only 43 whole sectors -- refused\n"},
        {"-2352", 1,
         "Patch of 1 bytes at offset FFFFF6D0 needs sectors 1826090 to 1826090, but the image "
         "holds only 43 whole sectors -- refused\n"},
        {"99999999999", 1,  // saturates at 0x7FFFFFFF
         "Patch of 1 bytes at offset 7FFFFFFF needs sectors 913045 to 913045, but the image "
         "holds only 43 whole sectors -- refused\n"},
    };
    for (const bool dry : {false, true}) {
        for (const auto& c : cases) {
            image_case img;
            const std::string patch = img.patch(bytes(c.size, 0x55));
            std::vector<std::string> args{"-o", c.offset, "-p", img.dir.path("out.ppf"), patch,
                                          img.bin};
            if (dry) args.insert(args.begin(), "-x");
            const auto r = run_binary(args);
            EXPECT_EQ(r.status, 255) << c.offset;
            EXPECT_EQ(r.out, support::banner() +
                                 support::files_block(patch, img.bin, "", img.dir.path("out.ppf")) +
                                 format("Size of patch file is %zu which takes 1 sectors (roughly)\n",
                                        c.size) +
                                 c.line + support::halt())
                << c.offset;
            EXPECT_EQ(img.now(), img.original) << c.offset;
            EXPECT_FALSE(std::filesystem::exists(img.dir.path("out.ppf"))) << c.offset;
        }
    }
}

TEST(Refusals, PatchSizesAreNeverCutTo32Bits) {
    image_case img;
    const std::string patch = img.dir.path("huge.bin");
    // A sparse 4 GiB + 2048 byte file: a 32-bit size would wrap to 2048 and fit.
    fixture::write_file(patch, {});
    ASSERT_EQ(::truncate(patch.c_str(), 4294969344LL), 0);
    const auto r = run_binary({"-o", "2352", patch, img.bin});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, support::banner() + support::files_block(patch, img.bin) +
                         "Size of patch file is 4294969344 which takes 1826093 sectors (roughly)\n"
                         "Patch of 4294969344 bytes at offset 00000930 needs sectors 1 to "
                         "2097153, but the image holds only 43 whole sectors -- refused\n" +
                         support::halt());
    EXPECT_EQ(img.now(), img.original);
}

TEST(Refusals, ImageWithATrailingPartialSector) {
    image_case img;
    bytes odd = img.original;
    odd.resize(odd.size() + 100, 0xEE);
    fixture::write_file(img.bin, odd);
    const bytes data = fixture::random_bytes(2048, 9);
    const std::string patch = img.patch(data);
    // The last whole sector can be patched; the partial one never is.
    auto r = run_binary({"-o", std::to_string(2352 * 42), patch, img.bin});
    EXPECT_EQ(r.status, 0);
    bytes want = expected_patch(img.original, 2352 * 42, data);
    want.resize(want.size() + 100, 0xEE);
    EXPECT_EQ(img.now(), want);

    fixture::write_file(img.bin, odd);
    r = run_binary({"-o", std::to_string(2352 * 42 + 1), patch, img.bin});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.out.find("needs sectors 42 to 43, but the image holds only 43 whole sectors"),
              std::string::npos);
    EXPECT_EQ(img.now(), odd);
}

TEST(BadInput, FilesThatCannotBeUsed) {
    image_case img;
    const std::string patch = img.patch(bytes(100, 1));
    const std::string missing = img.dir.path("missing.bin");
    const std::string dir = img.dir.path("");
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"-o", "2352", patch, missing}, "Failed to open .bin file: No such file or directory\n"},
        {{"-o", "2352", patch, dir}, "Failed to open .bin file: Is a directory\n"},
        // A running program cannot be opened for writing, not even by root.
        {{"-x", "-o", "2352", patch, CORVANE_EXECUTED_FILE}, "Failed to open .bin file: Text file busy\n"},
        {{"-l", patch, CORVANE_EXECUTED_FILE}, "Failed to open .bin file: Text file busy\n"},
        {{"-o", "2352", missing, img.bin}, "Failed to open patch file: No such file or directory\n"},
        {{"-o", "2352", dir, img.bin}, "Failed to open patch file: Is a directory\n"},
    };
    for (const auto& c : cases) {
        const auto r = run_binary(c.args);
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, support::banner() +
                             support::files_block(c.args[c.args.size() - 2], c.args.back()));
    }
    EXPECT_EQ(img.now(), img.original);
}

TEST(BadInput, ImageAsItsOwnPatchIsRefused) {
    image_case img;
    const std::string link = img.dir.path("same.bin");
    ASSERT_EQ(::link(img.bin.c_str(), link.c_str()), 0);
    for (const std::string& patch : {img.bin, link}) {
        const auto r = run_binary({"-o", "2352", patch, img.bin});
        EXPECT_EQ(r.status, 255);
        EXPECT_EQ(r.out, support::banner() + support::files_block(patch, img.bin) +
                             format("Size of patch file is %zu which takes 44 sectors (roughly)\n",
                                    img.original.size()) +
                             "Patch file '" + patch + "' is the .bin file itself -- refused\n" +
                             support::halt());
        EXPECT_EQ(img.now(), img.original);
    }
}

TEST(BadInput, PpfFileThatIsTheOriginalIsRefused) {
    image_case img;
    const bytes orig = fixture::random_bytes(100, 3);
    const std::string orig_file = img.dir.write("orig.bin", orig);
    const std::string patch = img.patch(bytes(10, 1));
    const auto r = run_binary({"-o", "0xDC80", "-v", orig_file, "-p", orig_file, patch, img.bin});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, support::banner() + support::files_block(patch, img.bin, orig_file, orig_file) +
                         "Size of patch file is 10 which takes 1 sectors (roughly)\n"
                         "PPF file '" + orig_file + "' is an input of this run -- refused\n");
    EXPECT_EQ(fixture::read_file(orig_file), orig);
    EXPECT_EQ(img.now(), img.original);
}

TEST(BadInput, PatchLongerThanTheImageIsRefusedUpFront) {
    // A 2-sector image cannot hold a 3-sector patch: nothing is written.
    image_case img;
    fixture::disc two(2);
    two.encode();
    fixture::write_file(img.bin, two.image());
    const std::string patch = img.patch(bytes(3 * 2048, 7));
    const auto r = run_binary({"-o", "24", patch, img.bin});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(fixture::read_file(img.bin), two.image());
}

}  // namespace

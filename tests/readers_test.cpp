// Images patched by the tool, read back by readers this project did not
// write (libcdio's cd-info and cd-read, bchunk and iso-read), and checked
// sector by sector with the reference coder. A missing reader is a failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>

#include "image_maker.h"
#include "reference_coder.h"
#include "support.h"

namespace {

using fixture::bytes;

bool installed(const std::string& program) {
    return support::run_command({"sh", "-c", "command -v " + program}).status == 0;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Path as libcdio shows it: lower case, without the version suffix.
std::string reader_path(const std::string& path) {
    std::string shown = "/";
    shown += lower(path.substr(0, path.find(';')));
    return shown;
}

struct patched_disc {
    support::scratch dir;
    std::vector<fixture::iso_file> files = fixture::sample_files();
    std::map<std::string, fixture::extent_info> where;
    std::string bin, cue;
    std::map<std::string, bytes> want;  // every file's content after the patch

    patched_disc() {
        fixture::iso_image iso = fixture::make_iso(files);
        where = iso.where;
        bin = dir.write("disc.bin", iso.image.image());
        const std::string text = "FILE \"disc.bin\" BINARY\n  TRACK 01 MODE2/2352\n    INDEX 01 00:00:00\n";
        cue = dir.write("disc.cue", text);
        for (const auto& f : files) want[f.path] = f.data;
        // A new script of the same length, patched by name.
        bytes script = fixture::random_bytes(want["DATA/SCRIPT.DAT;1"].size(), 99);
        const std::string patch = dir.write("script.new", script);
        const auto r = support::run_binary({"-r", "-n", "script.dat;1", patch, bin});
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        want["DATA/SCRIPT.DAT;1"] = script;
    }
};

TEST(IndependentReaders, CdInfoListsTheWholeTreeOfAPatchedImage) {
    ASSERT_TRUE(installed("cd-info")) << "cd-info (Debian's libcdio-utils) is not installed";
    patched_disc d;
    const auto r = support::run_command({"cd-info", "--no-device-info", "-c", d.cue, "--iso9660"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("ISO 9660: 39 blocks, label `CORVANE_SAMPLE"), std::string::npos) << r.out;
    for (const auto& [path, e] : d.where) {
        if (path.empty() || path.find(';') == std::string::npos) continue;
        const std::string line = support::format("[LSN %6u] %9u", e.sector, e.length);
        const auto at = r.out.find(line);
        ASSERT_NE(at, std::string::npos) << path << "\n" << r.out;
        const std::string shown = r.out.substr(at, r.out.find('\n', at) - at);
        const std::string name = reader_path(path).substr(reader_path(path).rfind('/') + 1);
        EXPECT_EQ(shown.substr(shown.size() - name.size() - 2), "  " + name) << shown;
    }
}

TEST(IndependentReaders, CdReadSeesTheNewFileAndEveryOtherFileUnchanged) {
    ASSERT_TRUE(installed("cd-read")) << "cd-read (Debian's libcdio-utils) is not installed";
    patched_disc d;
    for (const auto& [path, content] : d.want) {
        const auto e = d.where.at(path);
        const std::size_t sectors = (content.size() + 2047) / 2048;
        if (sectors == 0) continue;
        const std::string out = d.dir.path("read.out");
        const auto r = support::run_command({"cd-read", "-c", d.cue, "-m", "m2f1", "-s",
                                             std::to_string(e.sector), "-n",
                                             std::to_string(sectors), "-o", out});
        ASSERT_EQ(r.status, 0) << r.err;
        bytes got = fixture::read_file(out);
        ASSERT_GE(got.size(), content.size()) << path;
        got.resize(content.size());
        EXPECT_EQ(got, content) << path;
    }
}

TEST(IndependentReaders, BchunkIsoReadsBackThroughIsoRead) {
    ASSERT_TRUE(installed("bchunk")) << "bchunk is not installed";
    ASSERT_TRUE(installed("iso-read")) << "iso-read (Debian's libcdio-utils) is not installed";
    patched_disc d;
    const auto r = support::run_command({"bchunk", d.bin, d.cue, d.dir.path("track")});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const std::string iso = d.dir.path("track01.iso");
    EXPECT_EQ(fixture::read_file(iso).size(), 39U * 2048U);
    for (const auto& [path, content] : d.want) {
        const std::string out = d.dir.path("file.out");
        const auto rr =
            support::run_command({"iso-read", "-i", iso, "-e", reader_path(path), "-o", out});
        ASSERT_EQ(rr.status, 0) << path << rr.err;
        EXPECT_EQ(fixture::read_file(out), content) << path;
    }
}

// Every kind of run leaves every sector of the image valid.
TEST(EverySectorValid, AfterPatchDryRunLookupAndPpf) {
    support::scratch dir;
    const fixture::iso_image iso = fixture::make_iso(fixture::sample_files(), {}, 2);
    const bytes original = iso.image.image();
    ASSERT_EQ(reference::check_image(original), "");
    const std::string bin = dir.write("disc.bin", original);
    const std::string patch = dir.write("p.bin", fixture::random_bytes(7000, 3));

    const std::vector<std::vector<std::string>> runs = {
        {"-o", "0x9330", patch, bin},
        {"-x", "-o", "2352", patch, bin},
        {"-r", "-n", "PROGRAM.BIN;1", patch, bin},
        {"-p", dir.path("x.ppf"), "-o", "4000", patch, bin},
        {"-o", "2048", patch, bin},
    };
    for (const auto& args : runs) {
        const auto r = support::run_binary(args);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_EQ(reference::check_image(fixture::read_file(bin)), "") << args[0] << args[1];
    }

    // A PPF file made by a dry run, applied to the untouched image.
    fixture::write_file(bin, original);
    const auto r = support::run_binary({"-x", "-p", dir.path("y.ppf"), "-o", "0x9330", patch, bin});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const auto applied = support::apply_ppf(fixture::read_file(dir.path("y.ppf")), original);
    ASSERT_TRUE(applied.has_value());
    EXPECT_NE(*applied, original);
    EXPECT_EQ(reference::check_image(*applied), "");
}

// A disk that fills up part-way through the image: the sectors before stay
// patched, the run halts with the write error and never says "All done.".
TEST(FailingDisk, ImageWriteFailingPartWayHalts) {
    support::scratch dir;
    const fixture::iso_image iso = fixture::make_iso(fixture::sample_files(), {}, 10);
    const bytes original = iso.image.image();
    const std::string bin = dir.write("disc.bin", original);
    const bytes data = fixture::random_bytes(5 * 2048, 4);
    const std::string patch = dir.write("p.bin", data);
    // Writes may reach 1000 bytes into sector 42; the sector write there fails.
    const std::uint64_t limit = 42 * 2352 + 1000;
    const auto r = support::run_binary({"-o", std::to_string(40 * 2352), patch, bin}, limit);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "\nFailed to write sector: File too large\n");
    const std::string tail = support::patch_trace(40, 2048) + support::patch_trace(41, 2048) +
                             "    42 | READSECTOR(2352) | READPATCH(2048) | EDC_ECC | WRITESECTOR(2352)" +
                             support::halt();
    ASSERT_GE(r.out.size(), tail.size());
    EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
    EXPECT_EQ(r.out.find("All done."), std::string::npos);

    const bytes now = fixture::read_file(bin);
    ASSERT_EQ(now.size(), original.size());
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 40 * 2352, original.begin()));
    EXPECT_EQ(reference::check_image(std::span(now).first(42 * 2352)), "");
    // Past the limit nothing changed.
    EXPECT_TRUE(std::equal(now.begin() + static_cast<std::ptrdiff_t>(limit), now.end(),
                           original.begin() + static_cast<std::ptrdiff_t>(limit)));
}

}  // namespace

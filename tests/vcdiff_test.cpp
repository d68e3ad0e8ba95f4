// The VCDIFF reader on a window written by hand: every instruction of the
// standard code table's kinds (ADD, RUN, COPY from the source, COPY of the
// bytes the copy itself makes, a NEAR address), its checksum, and the
// refusals of a damaged file; DJW sections, hand-made and as xdelta3 writes
// them.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/checksum.h"
#include "format/vcdiff_reader.h"
#include "format/vcdiff_writer.h"
#include "image_maker.h"
#include "io/sector_io.h"
#include "platform/platform.h"

namespace {

using bytes = std::vector<std::uint8_t>;

const std::string SOURCE = "ABCDEFGHIJ";
const std::string TARGET = "ABCDxy" + std::string(8, 'z') + "CDEF" + std::string(200, 'q');

// Header, then one window over the whole source with its checksum.
bytes patch_file(std::uint32_t checksum) {
    const bytes data = {'x', 'y', 'z', 'z', 'q'};
    // COPY 4 SELF 0, ADD 3, RUN 4, COPY 3 HERE (the byte before), COPY 4 NEAR 0 (+2), RUN 200.
    const bytes inst = {20, 4, 0, 4, 35, 3, 52, 0, 0x81, 0x48};
    const bytes addr = {0, 1, 2};
    bytes f = {0xD6, 0xC3, 0xC4, 0x00, 0x00, 0x05, 10, 0};
    f.push_back(static_cast<std::uint8_t>(2 + 1 + 3 + 4 + data.size() + inst.size() + addr.size()));
    f.insert(f.end(), {0x81, 0x5A, 0x00, static_cast<std::uint8_t>(data.size()),
                       static_cast<std::uint8_t>(inst.size()), static_cast<std::uint8_t>(addr.size())});
    for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<std::uint8_t>(checksum >> shift));
    for (const bytes* s : {&data, &inst, &addr}) f.insert(f.end(), s->begin(), s->end());
    return f;
}

std::uint32_t target_checksum() {
    return adler32(std::span(reinterpret_cast<const std::uint8_t*>(TARGET.data()), TARGET.size()));
}

struct decoded {
    std::string why;
    std::string target;
    bool checked = false;
};

// Decodes `file` against `source` (of `source_size` bytes, as the reader is
// told), each window's target kept for the ones after it.
decoded decode(const bytes& file, std::uint64_t source_size = SOURCE.size(),
               const bytes& source = bytes(SOURCE.begin(), SOURCE.end())) {
    // A file of its own per test: ctest runs the tests side by side.
    const auto path = std::filesystem::temp_directory_path() /
                      ("corvane-vcdiff-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) +
                       ".vcdiff");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    const unique_fd fd = platform::open_read(path.string());
    decoded d;
    vcdiff_reader r;
    d.why = r.open(fd.get(), file.size());
    const vcdiff_input from_source = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at + out.size() > source.size()) return false;
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
        return true;
    };
    const vcdiff_input from_target = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at + out.size() > d.target.size()) return false;
        std::copy_n(d.target.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
        return true;
    };
    vcdiff_window w;
    while (d.why.empty() && !r.done()) {
        d.why = r.next(from_source, source_size, from_target, w);
        d.target.append(w.target.begin(), w.target.end());
        d.checked = w.checked;
    }
    std::filesystem::remove(path);
    return d;
}

TEST(Vcdiff, DecodesEveryKindOfInstructionAndChecksTheWindow) {
    const decoded d = decode(patch_file(target_checksum()));
    EXPECT_EQ(d.why, "");
    EXPECT_EQ(d.target, TARGET);
    EXPECT_TRUE(d.checked);
    EXPECT_EQ(adler32(std::span<const std::uint8_t>()), 1U);
    const std::string wiki = "Wikipedia";  // the checksum's own example
    EXPECT_EQ(adler32(std::span(reinterpret_cast<const std::uint8_t*>(wiki.data()), wiki.size())), 0x11E60398U);
}

// The fast checksums (folded CRC-32, vector Adler-32, where the processor
// has them) against the plain ones over every length up to a few blocks,
// from unaligned starts, continued from a running value, and over bytes
// that push Adler-32's sums to their bounds.
TEST(Vcdiff, FastChecksumsEqualThePlainOnes) {
    const std::string check = "123456789";
    EXPECT_EQ(crc32_update(0, std::span(reinterpret_cast<const std::uint8_t*>(check.data()), check.size())), 0xCBF43926U);
    bytes random(70000);
    std::uint32_t seed = 12345;
    for (auto& b : random) b = static_cast<std::uint8_t>((seed = seed * 1103515245U + 12345U) >> 23);
    const bytes full(70000, 0xFF);
    for (const bytes* data : {static_cast<const bytes*>(&random), &full})
        for (std::size_t start : {0U, 1U, 7U}) {
            for (std::size_t n = 0; n < 300; ++n) {
                const auto part = std::span(*data).subspan(start, n);
                ASSERT_EQ(crc32_update(0x1234567U, part), crc32_plain(0x1234567U, part)) << n;
                ASSERT_EQ(adler32(part, 0xFFF0FFF0U), adler32_plain(part, 0xFFF0FFF0U)) << n;
            }
            const auto all = std::span(*data).subspan(start);
            EXPECT_EQ(crc32_update(0, all), crc32_plain(0, all));
            EXPECT_EQ(adler32(all), adler32_plain(all, 1));
        }
    // Two runs checked apart give the CRC-32 of both, whatever their lengths.
    for (std::size_t cut : {0U, 1U, 9U, 4096U, 65537U, 70000U}) {
        const auto a = std::span(random).first(cut), b = std::span(random).subspan(cut);
        EXPECT_EQ(crc32_combine(crc32_plain(0, a), crc32_plain(0, b), b.size()), crc32_plain(0, random)) << cut;
    }
}

// Copies from the target: within a window they stay copies (the window's
// target after its source segment), and the part of one whose bytes are in
// an earlier window becomes an add; the writer's file decodes to the target.
TEST(Vcdiff, WrittenTargetCopiesDecodeAcrossWindows) {
    bytes source(4096);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    vcdiff_writer w(source.size(), 0);
    bytes target;
    const auto copy = [&](std::uint64_t at, std::size_t n) {
        w.copy(at, std::span(source).subspan(static_cast<std::size_t>(at), n));
        target.insert(target.end(), source.begin() + static_cast<std::ptrdiff_t>(at),
                      source.begin() + static_cast<std::ptrdiff_t>(at + n));
    };
    const auto again = [&](std::uint64_t at, std::size_t n) {
        const bytes part(target.begin() + static_cast<std::ptrdiff_t>(at), target.begin() + static_cast<std::ptrdiff_t>(at + n));
        w.copy_target(at, part);
        target.insert(target.end(), part.begin(), part.end());
    };
    copy(100, 3000);
    again(0, 2000);  // in the first window
    while (target.size() + 4096 < VCDIFF_WINDOW) copy(0, 4096);
    again(target.size() - 6000, 5000);  // runs into the second window: its end added there
    w.finish();
    EXPECT_EQ(w.windows(), 2U);
    EXPECT_EQ(w.added(), 5000 - (VCDIFF_WINDOW - (target.size() - 5000)));
    const decoded d = decode(w.output(), source.size(), source);
    EXPECT_EQ(d.why, "");
    EXPECT_TRUE(d.checked);
    EXPECT_TRUE(d.target == std::string(target.begin(), target.end()));
}

// The code table's paired entries: ADD 1 then COPY 4 in a SAME-cache mode
// (235), COPY 4 then ADD 1 (247); and a SAME address after a SELF one.
TEST(Vcdiff, DecodesPairedInstructionsAndTheSameCache) {
    const std::string want = "ABCDxABCDEFGHy";
    const bytes data = {'x', 'y'}, inst = {20, 235, 247}, addr = {0, 0, 4};
    bytes f = {0xD6, 0xC3, 0xC4, 0x00, 0x00, 0x05, 10, 0};
    f.push_back(static_cast<std::uint8_t>(1 + 1 + 3 + 4 + data.size() + inst.size() + addr.size()));
    f.insert(f.end(), {static_cast<std::uint8_t>(want.size()), 0x00, 2, 3, 3});
    const std::uint32_t sum = adler32(std::span(reinterpret_cast<const std::uint8_t*>(want.data()), want.size()));
    for (int shift = 24; shift >= 0; shift -= 8) f.push_back(static_cast<std::uint8_t>(sum >> shift));
    for (const bytes* section : {&data, &inst, &addr}) f.insert(f.end(), section->begin(), section->end());
    const decoded d = decode(f);
    EXPECT_EQ(d.why, "");
    EXPECT_EQ(d.target, want);
}

TEST(Vcdiff, RefusesDamagedFiles) {
    EXPECT_EQ(decode(patch_file(target_checksum() ^ 1)).why.substr(0, 55),
              "window 0 gives a target whose checksum does not match (");
    bytes cut = patch_file(target_checksum());
    cut.pop_back();
    EXPECT_EQ(decode(cut).why, "window 0 ends past the end of the file");
    EXPECT_EQ(decode(patch_file(target_checksum()), 9).why, "window 0 copies from past the end of the source");
    bytes magic = patch_file(target_checksum());
    magic[3] = 1;
    EXPECT_EQ(decode(magic).why, "is not a VCDIFF file of version 0");
    bytes far = patch_file(target_checksum());
    far[far.size() - 3] = 30;  // the first copy's address past what it may reach
    EXPECT_EQ(decode(far).why, "window 0 copies from an address it has not reached");
    bytes fgk = patch_file(target_checksum());
    fgk[4] = 0x01;
    fgk.insert(fgk.begin() + 5, 16);
    fgk[5 + 1 + 6] = 0x01;  // its data section compressed
    EXPECT_EQ(decode(fgk).why, "window 0 is compressed with FGK, which this build of corvane does not decode");
}

// A DJW section by hand: two tables over 5-byte sectors ("a".."p" in 4 bits;
// "a".."f" in 1 to 5 bits), their lengths coded with runs of 97, 15 and 142
// and a table's lengths skipped where the one before has none; selectors
// 0 1 1 0 0 1 1 1.
const bytes DJW_SECTION = {0x04, 0xA1, 0xAA, 0x00, 0xAA, 0x00, 0x00, 0xAA, 0xA0, 0x00, 0x02, 0x00, 0x20, 0x02, 0x00,
                           0x00, 0x04, 0x21, 0x84, 0x00, 0x00, 0xCE, 0x28, 0x26, 0x80, 0x00, 0x08, 0x24, 0x11, 0x91,
                           0x2C, 0xC0, 0xF8, 0xDE, 0x07, 0x8D, 0x45, 0x15, 0x58, 0x18, 0xA1, 0x07, 0x00};
const std::string DJW_OUTPUT = "deadbeefaaaaabcdeffadedbabeaaaaaaaaa";  // a last sector of 1 byte
constexpr std::size_t BROKEN_AT = 26;  // djw_tables: the first byte of its DJW data section

TEST(Vcdiff, DecodesDjwSectionsAndRefusesDamagedOnes) {
    const auto djw = make_secondary(vcdiff_compressor::djw);
    ASSERT_TRUE(djw);
    std::string out(DJW_OUTPUT.size(), '\0');
    const auto as_bytes = [](std::string& s) { return std::span(reinterpret_cast<std::uint8_t*>(s.data()), s.size()); };
    // Twice with one decompressor: nothing carries from one section to the next.
    for (int pass = 0; pass < 2; ++pass) {
        out.assign(out.size(), '\0');
        EXPECT_TRUE(djw->decode(DJW_SECTION, as_bytes(out)));
        EXPECT_EQ(out, DJW_OUTPUT);
    }
    for (std::size_t cut = 0; cut < DJW_SECTION.size(); ++cut)
        EXPECT_FALSE(djw->decode(std::span(DJW_SECTION).first(cut), as_bytes(out))) << cut;
    bytes longer = DJW_SECTION;
    longer.push_back(0);
    EXPECT_FALSE(djw->decode(longer, as_bytes(out)));
    std::string more(DJW_OUTPUT.size() + 8, '\0');  // more than the last byte's spare bits
    EXPECT_FALSE(djw->decode(DJW_SECTION, as_bytes(more)));

    // xdelta3's own (its fuzz seeds): each window's checksum vouches for it.
    const fixture::bytes source = fixture::random_bytes(5000, 7);
    const std::string corpus = CORVANE_VCDIFF_CORPUS;
    const decoded tables = decode(fixture::read_file(corpus + "/djw_tables"), source.size(), source);
    EXPECT_EQ(tables.why, "");
    EXPECT_TRUE(tables.checked);
    EXPECT_EQ(tables.target.size(), 6200U);
    EXPECT_EQ(decode(fixture::read_file(corpus + "/djw_one_table"), source.size(), source).target, tables.target);
    const decoded windows = decode(fixture::read_file(corpus + "/djw_windows"), source.size(), source);
    EXPECT_EQ(windows.why, "");
    EXPECT_TRUE(windows.checked);
    EXPECT_EQ(windows.target.size(), 17300U);
    bytes broken = fixture::read_file(corpus + "/djw_tables");
    broken[BROKEN_AT] ^= 0xFF;
    EXPECT_EQ(decode(broken, source.size(), source).why,
              "window 0 has a compressed data section that does not decompress");
}

}  // namespace

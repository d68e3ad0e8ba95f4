// The patch loop over more sectors than it fetches at once: exact trace,
// status, and the image byte for byte against a model of one read, one
// rebuild and one write per sector.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "image_maker.h"
#include "reference_coder.h"
#include "support.h"
#include "table_coder.h"

namespace {

constexpr std::size_t USER = 24;
constexpr std::size_t USER_SIZE = 2048;

struct patched {
    std::string out;
    fixture::bytes image;
};

// What the run must print and leave: the patch laid into the user data from
// `offset` on, every sector it touches rebuilt by the table coder.
patched model(const fixture::bytes& image, const fixture::bytes& patch, std::size_t offset,
              const std::string& head) {
    patched m{head, image};
    std::size_t sector = offset / SECTOR_SIZE;
    std::size_t remainder = offset % SECTOR_SIZE;
    m.out += support::format("Size of patch file is %zu which takes %zu sectors (roughly)\n",
                             patch.size(), patch.size() / SECTOR_SIZE + 1);
    m.out += support::format("Offset %08zX lies on sector %zu (remainder %zu)\n", offset, sector,
                             remainder);
    m.out += "Patching .bin file\n";
    for (std::size_t at = 0; at < patch.size(); ++sector, remainder = 0) {
        const std::size_t count = std::min(USER_SIZE - remainder, patch.size() - at);
        auto raw = std::span(m.image).subspan(sector * SECTOR_SIZE).first<SECTOR_SIZE>();
        std::copy_n(patch.begin() + static_cast<std::ptrdiff_t>(at), count,
                    raw.begin() + static_cast<std::ptrdiff_t>(USER + remainder));
        table_coder::table_encode_L2(raw, MODE_2_FORM_1, static_cast<unsigned>(sector + 150));
        m.out += support::patch_trace(static_cast<std::uint32_t>(sector), count);
        at += count;
    }
    m.out += "All done.\n";
    return m;
}

TEST(PatchLoop, LongRunsMatchOneSectorAtATime) {
    constexpr std::size_t SECTORS = 150;
    fixture::disc d(SECTORS);
    for (std::size_t n = 0; n < SECTORS; ++n) {
        const fixture::bytes fill = fixture::random_bytes(USER_SIZE, static_cast<std::uint32_t>(n));
        d.put_data(n, fill);
    }
    d.encode();
    struct run_case {
        std::size_t offset;
        std::size_t size;
    };
    // Window boundaries crossed at remainder 0 and mid-sector, a patch ending
    // in the image's last sector, and one ending one byte into a sector.
    for (const run_case c : {run_case{SECTOR_SIZE, 70 * USER_SIZE + 100},
                             run_case{5 * SECTOR_SIZE + 1000, (SECTORS - 5) * USER_SIZE - 1000},
                             run_case{33 * SECTOR_SIZE + 2047, 64 * USER_SIZE + 2},
                             run_case{SECTOR_SIZE, 1}}) {
        SCOPED_TRACE(support::format("offset %zu size %zu", c.offset, c.size));
        support::scratch dir;
        const std::string image = dir.write("image.bin", d.image());
        const fixture::bytes patch =
            fixture::random_bytes(c.size, static_cast<std::uint32_t>(c.offset));
        const std::string patch_file = dir.write("patch.bin", patch);
        const std::string offset = std::to_string(c.offset);
        const std::string head = support::banner() + support::files_block(patch_file, image);
        const patched want = model(d.image(), patch, c.offset, head);

        const support::result dry = support::run_binary({"-x", "-o", offset, patch_file, image});
        EXPECT_EQ(dry.status, 0);
        EXPECT_EQ(dry.out, want.out);
        EXPECT_TRUE(fixture::read_file(image) == d.image()) << "dry run wrote";

        const support::result r = support::run_binary({"-o", offset, patch_file, image});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, want.out);
        EXPECT_EQ(r.err, "");
        const fixture::bytes got = fixture::read_file(image);
        EXPECT_TRUE(got == want.image) << "image differs from one sector at a time";
        EXPECT_EQ(reference::check_image(got), "");
    }
}

}  // namespace

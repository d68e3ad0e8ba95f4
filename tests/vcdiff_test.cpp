// The VCDIFF reader on a window written by hand: every instruction of the
// standard code table's kinds (ADD, RUN, COPY from the source, COPY of the
// bytes the copy itself makes, a NEAR address), its checksum, and the
// refusals of a damaged file.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "format/vcdiff_reader.h"
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

decoded decode(const bytes& file, std::uint64_t source_size = SOURCE.size()) {
    const auto path = std::filesystem::temp_directory_path() / "corvane-vcdiff-test.vcdiff";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                static_cast<std::streamsize>(file.size()));
    const unique_fd fd = platform::open_read(path.string());
    decoded d;
    vcdiff_reader r;
    d.why = r.open(fd.get(), file.size());
    const vcdiff_input source = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at + out.size() > SOURCE.size()) return false;
        std::copy_n(SOURCE.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
        return true;
    };
    const vcdiff_input none = [](std::uint64_t, std::span<std::uint8_t>) { return false; };
    vcdiff_window w;
    while (d.why.empty() && !r.done()) {
        d.why = r.next(source, source_size, none, w);
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

TEST(Vcdiff, RefusesDamagedFiles) {
    EXPECT_EQ(decode(patch_file(target_checksum() ^ 1)).why.substr(0, 43),
              "window 0 target checksum does not match (Ad");
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

}  // namespace

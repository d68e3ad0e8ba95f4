// Fuzz target: whole runs of the tool over the sample disc, checked against
// what must hold for every run rather than a second model of the tool.
//   byte 0  bit 0 -x, bit 1 -p, bit 2 -v (the patch bytes as the original),
//           bit 3 -r, bit 4 -n instead of -o, bits 5-6 mode (1 -l, 2 -e, else a patch run),
//           bit 7 -P (PPF 3.0) instead of -p
//   bytes 1-3  the -o offset: sector byte1 % 45, position (byte2 | byte3 << 8) % 2400
//   byte 4  the -n name; bit 7 --undo with -P, bit 6 -s
//   the rest: the patch (at most three sectors' worth)
// Every run leaves the patch file alone; only a successful patch run that is
// not a dry run changes the image, and it makes exactly what the reference
// coder makes of the patch laid in (a replacement is checked by its PPF
// files only); a PPF file appears only after a successful patch run and,
// laid over the image, gives that same image; its undo data give the old
// image back.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sector/byte_order.h"
#include "app/mode_table.h"
#include "app/parser.h"
#include "modes/modes.h"
#include "app/corvane_main.h"
#include "image_maker.h"
#include "scratch_dir.h"
#include "reference_coder.h"

namespace {

namespace fs = std::filesystem;
using fixture::bytes;

void check(bool ok) {
    if (!ok) std::abort();
}

const bytes& sample() {
    static const bytes img = fixture::make_iso(fixture::sample_files(), 2).image.image();
    return img;
}

// The image with `patch` laid in from `offset` on and each touched sector
// rebuilt by the reference coder.
bytes patched(bytes img, std::uint64_t offset, const bytes& patch) {
    std::uint64_t sector = offset / SECTOR_SIZE;
    std::size_t at = offset % SECTOR_SIZE;
    for (std::size_t done = 0; done < patch.size(); ++sector, at = 0) {
        const std::size_t n = std::min(USER_DATA_SIZE - at, patch.size() - done);
        std::copy_n(patch.begin() + static_cast<std::ptrdiff_t>(done), n,
                    img.begin() + static_cast<std::ptrdiff_t>(sector * SECTOR_SIZE + USER_DATA + at));
        reference::encode_mode2_form1(
            std::span<std::uint8_t, SECTOR_SIZE>(img.data() + sector * SECTOR_SIZE, SECTOR_SIZE),
            static_cast<unsigned>(sector + ADDRESS_BIAS));
        done += n;
    }
    return img;
}

// The image with the records of a PPF 2.0 or 3.0 file laid over it (with
// `undo`, the bytes they replaced).
bytes apply_ppf(const bytes& ppf, bytes img, bool undo = false) {
    const bool v3 = ppf.size() >= 60 && std::equal(ppf.begin(), ppf.begin() + 5, "PPF30");
    check(v3 || (ppf.size() >= 1084 && std::equal(ppf.begin(), ppf.begin() + 5, "PPF20")));
    const bool has_undo = v3 && ppf[58] != 0;
    const std::size_t head = v3 ? 8 : 4;
    for (std::size_t at = v3 ? 60 + (ppf[57] ? 1024 : 0) : 1084; at < ppf.size();) {
        check(at + head + 1 <= ppf.size());
        std::uint64_t offset = load_le32(std::span(ppf).subspan(at).first<4>());
        if (v3) offset |= std::uint64_t{load_le32(std::span(ppf).subspan(at + 4).first<4>())} << 32;
        const std::size_t count = ppf[at + head];
        const std::size_t data = at + head + 1 + (undo ? count : 0);
        check(count != 0 && at + head + 1 + count * (has_undo ? 2 : 1) <= ppf.size() &&
              offset + count <= img.size());
        std::copy_n(ppf.begin() + static_cast<std::ptrdiff_t>(data), count,
                    img.begin() + static_cast<std::ptrdiff_t>(offset));
        at += head + 1 + count * (has_undo ? 2 : 1);
    }
    return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const std::uint8_t flags = data[0];
    const std::uint64_t offset =
        std::uint64_t{data[1] % 45U} * SECTOR_SIZE + static_cast<unsigned>(data[2] | data[3] << 8) % 2400U;
    static const char* const names[] = {"TITLE.TXT;1", "FONT.BIN;1", "DATA", "README.TXT;1"};
    const std::string name = names[data[4] % 4];
    const bytes patch(data + 5, data + std::min<std::size_t>(size, 5 + 3 * USER_DATA_SIZE + 100));
    const int mode = ((flags >> 5) & 3) % 3;  // 3 is a patch run too

    static const scratch_dir scratch;
    const fs::path& dir = scratch.path();
    fs::remove(dir / "out.ppf");
    fixture::write_file(dir / "image.bin", sample());
    fixture::write_file(dir / "patch.bin", patch);
    fixture::write_file(dir / "second.bin", patch);

    std::vector<std::string> args{"corvane"};
    const bool ppf3 = (flags & 2) && (flags & 128), undo = ppf3 && (data[4] & 128);
    const bool replace = (data[4] & 64) && (flags & 16);
    if (flags & 1) args.push_back("-x");
    if (flags & 2) args.insert(args.end(), {ppf3 ? "-P" : "-p", (dir / "out.ppf").string()});
    if (undo) args.push_back("--undo");
    if (replace) args.push_back("-s");
    if (flags & 4) args.insert(args.end(), {"-v", (dir / "patch.bin").string()});
    if (flags & 8) args.push_back("-r");
    if (flags & 16) args.insert(args.end(), {"-n", name});
    else args.insert(args.end(), {"-o", std::to_string(offset)});
    if (mode == 1) args.push_back("-l");
    if (mode == 2) args.push_back("-e");
    args.push_back((dir / (mode == 2 ? "second.bin" : "patch.bin")).string());
    args.push_back((dir / "image.bin").string());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());

    std::FILE* out = std::fopen("/dev/null", "w");
    // The run's mode, as the tool tells it from the same command line.
    run_state parsed;
    parsed.out = parsed.err = out;
    const mode_row* row = nullptr;
    const bool patch_run = arguments(parsed, static_cast<int>(argv.size()), argv.data(), row) ==
                               parse_result::ok &&
                           row->run == patch_mode;
    const int status = corvane_main(static_cast<int>(argv.size()), argv.data(), out, out);
    std::fclose(out);

    check(status == 0 || status == 1 || status == 255);
    check(fixture::read_file(dir / "patch.bin") == patch);
    const bytes after = fixture::read_file(dir / "image.bin");
    check(fs::exists(dir / "out.ppf") == (patch_run && status == 0 && (flags & 2)));
    if (!patch_run || status != 0 || (flags & 1)) {
        check(after == sample());
        if (!(patch_run && status == 0)) return 0;
    }
    // A successful patch run: where it wrote is the lookup's or the -o offset.
    std::uint64_t at = offset;
    if (flags & 16) {
        const auto found = fixture::make_iso(fixture::sample_files(), 2).where;
        for (const auto& [path, where] : found)
            if (path == name || path.ends_with("/" + name)) at = std::uint64_t{where.sector} * SECTOR_SIZE;
    }
    const bytes ppf = (flags & 2) ? fixture::read_file(dir / "out.ppf") : bytes{};
    if (replace) {
        if (flags & 2) {
            if (!(flags & 1)) check(apply_ppf(ppf, sample()) == after);
            if (undo) check(apply_ppf(ppf, apply_ppf(ppf, sample()), true) == sample());
        }
        return 0;
    }
    const bytes expected = patched(sample(), at, patch);
    if (!(flags & 1)) check(after == expected);
    if (flags & 2) check(apply_ppf(ppf, sample()) == expected);
    if (undo) check(apply_ppf(ppf, expected, true) == sample());
    return 0;
}

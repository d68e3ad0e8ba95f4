// Fuzz target: arbitrary bytes as a PPF file, applied to a small image by
// the whole tool (-a, with --undo or -x by the first byte). Every run
// refuses or applies within bounds: the image keeps its length; a refused
// or dry run leaves it as it was; an applied one differs from it only where
// the file's records say, and holds there what the last record for each
// byte says (undone: the old bytes of the first record for it).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ops/ppf_apply.h"
#include "app/corvane_main.h"
#include "image_maker.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using fixture::bytes;

void check(bool ok) {
    if (!ok) std::abort();
}

const bytes& image() {
    static const bytes img = fixture::make_iso(fixture::sample_files()).image.image();
    return img;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const bool undo = data[0] & 1, dry = data[0] & 2;
    const bytes ppf(data + 1, data + size);
    static const scratch_dir scratch;
    const fs::path& dir = scratch.path();
    fixture::write_file(dir / "image.bin", image());
    fixture::write_file(dir / "in.ppf", ppf);
    std::vector<std::string> args{"corvane", "-a", (dir / "in.ppf").string(), (dir / "image.bin").string()};
    if (undo) args.push_back("--undo");
    if (dry) args.push_back("-x");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    std::FILE* out = std::fopen("/dev/null", "w");
    const int status = corvane_main(static_cast<int>(argv.size()), argv.data(), out, out);
    std::fclose(out);

    check(status == 0 || status == 255);
    const bytes after = fixture::read_file(dir / "image.bin");
    check(after.size() == image().size());
    ppf_patch patch;
    const bool sound = read_ppf(ppf, image().size(), patch).empty();
    check(status == 255 || sound);
    if (status != 0 || dry) {
        check(after == image());
        return 0;
    }
    std::vector<ppf_record> records;
    for_each_record(patch, ppf, [&](const ppf_record& r) {
        records.push_back(r);
        return true;
    });
    if (undo) std::reverse(records.begin(), records.end());
    bytes expected = image();
    for (const ppf_record& r : records)
        std::copy_n(ppf.begin() + static_cast<std::ptrdiff_t>(r.file_at + (undo ? r.length : 0)), r.length,
                    expected.begin() + static_cast<std::ptrdiff_t>(r.image_at));
    check(after == expected);
    return 0;
}

// Fuzz target: arbitrary bytes as a VCDIFF file, decoded window by window
// against a small source, each window's target kept as the target the next
// ones may copy from. Every file is refused in words or decodes within
// bounds: no window larger than a window may be, the targets adding up to
// what the reader counts.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "format/vcdiff_reader.h"
#include "image_maker.h"
#include "scratch_dir.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const fixture::bytes source = fixture::random_bytes(5000, 7);
    static const scratch_dir scratch;
    const fs::path file = scratch.path() / "in.vcdiff";
    fixture::write_file(file, fixture::bytes(data, data + size));
    const unique_fd fd = platform::open_read(file.string());
    check(fd.valid());
    std::vector<std::uint8_t> target;
    const vcdiff_input from_source = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at > source.size() || out.size() > source.size() - at) return false;
        std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
        return true;
    };
    const vcdiff_input from_target = [&](std::uint64_t at, std::span<std::uint8_t> out) {
        if (at > target.size() || out.size() > target.size() - at) return false;
        std::copy_n(target.begin() + static_cast<std::ptrdiff_t>(at), out.size(), out.begin());
        return true;
    };
    vcdiff_reader r;
    std::string why = r.open(fd.get(), size);
    vcdiff_window w;
    for (int windows = 0; why.empty() && !r.done() && windows < 64; ++windows) {
        why = r.next(from_source, source.size(), from_target, w);
        if (!why.empty()) break;
        check(w.target.size() <= VCDIFF_MAX_WINDOW && w.target_at == target.size());
        target.insert(target.end(), w.target.begin(), w.target.end());
        check(r.target_size() == target.size());
    }
    check(why.empty() || !r.read_failed());
    return 0;
}

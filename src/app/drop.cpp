#include "app/drop.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "app/parser.h"
#include "format/ppf_layout.h"
#include "format/vcdiff_reader.h"
#include "run/image.h"
#include "run/kit.h"

namespace {

// A patch file, told by its magic: "PPF file" (1.0, 2.0 or 3.0), "xdelta
// file" (VCDIFF), or null.
const char* patch_kind(const std::string& path) {
    const unique_fd fd = platform::open_read(path);
    std::array<std::uint8_t, 5> magic{};
    if (!fd.valid() || pread_full(fd.get(), magic, 0) != magic.size()) return nullptr;
    const std::string_view text(reinterpret_cast<const char*>(magic.data()), magic.size());
    if (std::find(PPF_MAGIC.begin(), PPF_MAGIC.end(), text) != PPF_MAGIC.end()) return "PPF file";
    if (std::equal(magic.begin(), magic.begin() + 3, VCDIFF_MAGIC.begin())) return "xdelta file";
    return nullptr;
}

bool looks_like_patch(const std::string& path) { return patch_kind(path) != nullptr; }

// What a drop does, shown when the program was started with nothing or
// with files it cannot run.
void print_drop_guide(std::FILE* out) {
    std::fputs("Drop on corvane:\n"
               "    a disc image (.bin, or its .cue sheet)           to check every sector of it\n"
               "    a PPF or xdelta file with the image it patches   to apply the patch to the image\n"
               "Everything else runs from a command prompt: corvane --help\n",
               out);
}

}  // namespace

std::vector<std::string> dropped(run_output& run, int argc, char** argv, std::optional<int>& stop) {
    stop.reset();
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') return {};  // an option: a command line, not a drop
        files.emplace_back(argv[i]);
    }
    if (files.empty()) {  // started from a file manager, nothing dropped
        print_banner(run.out);
        print_drop_guide(run.out);
        stop = STATUS_OK;
        return {};
    }
    if (files.size() == 1) {
        if (looks_like_image(files[0])) return {argv[0], "-c", files[0]};
        if (const char* kind = patch_kind(files[0]))
            std::fprintf(run.out, "'%s' is a %s: drop it together with the image it patches -- refused\n",
                         files[0].c_str(), kind);
        else
            std::fprintf(run.out, "'%s' is no disc image (no raw sectors, no cue sheet) -- refused\n",
                         files[0].c_str());
        print_drop_guide(run.out);
        stop = STATUS_FAIL;
        return {};
    }
    if (files.size() != 2) return {};
    const bool first_ppf = looks_like_patch(files[0]);
    if (!first_ppf && !looks_like_patch(files[1])) return {};
    const std::string& ppf = first_ppf ? files[0] : files[1];
    const std::string& image = first_ppf ? files[1] : files[0];
    if (looks_like_image(image)) return {argv[0], "-a", ppf, image};
    std::fprintf(run.out, "'%s' is no disc image (no raw sectors, no cue sheet): drop a PPF file and an image -- refused\n",
                 image.c_str());
    stop = STATUS_FAIL;
    return {};
}

void say_drop_result(const run_state& run, const std::vector<std::string>& drop, int status) {
    if (status != STATUS_OK || drop.size() < 2 || drop[1] != "-a" || !run.settings.file_bin) return;
    std::fprintf(run.out, "The patched image is '%s'\n", run.settings.file_bin->c_str());
}

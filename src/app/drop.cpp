#include "app/drop.h"

#include <algorithm>
#include <array>
#include <string_view>

#include "format/ppf_layout.h"
#include "run/image.h"
#include "run/kit.h"

namespace {

// A file that holds a disc image: a cue sheet, or raw sectors (a sector
// sync at the start of the file or of sector 16).
bool looks_like_image(const std::string& path) {
    if (is_cue_file(path)) return true;
    const unique_fd fd = platform::open_read(path);
    std::array<std::uint8_t, SYNC_SIZE> sync{};
    for (const std::uint64_t sector : {0U, 16U})
        if (fd.valid() && pread_full(fd.get(), sync, sector * SECTOR_SIZE) == sync.size() && has_sync(sync))
            return true;
    return false;
}

// A PPF file (1.0, 2.0 or 3.0), told by its magic.
bool looks_like_ppf(const std::string& path) {
    const unique_fd fd = platform::open_read(path);
    std::array<std::uint8_t, 5> magic{};
    if (!fd.valid() || pread_full(fd.get(), magic, 0) != magic.size()) return false;
    const std::string_view text(reinterpret_cast<const char*>(magic.data()), magic.size());
    return std::find(PPF_MAGIC.begin(), PPF_MAGIC.end(), text) != PPF_MAGIC.end();
}

}  // namespace

std::vector<std::string> dropped(run_output& run, int argc, char** argv, bool& refused) {
    refused = false;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-') return {};  // an option: a command line, not a drop
        files.emplace_back(argv[i]);
    }
    if (files.size() == 1 && looks_like_image(files[0])) return {argv[0], "-c", files[0]};
    if (files.size() != 2) return {};
    const bool first_ppf = looks_like_ppf(files[0]);
    if (!first_ppf && !looks_like_ppf(files[1])) return {};
    const std::string& ppf = first_ppf ? files[0] : files[1];
    const std::string& image = first_ppf ? files[1] : files[0];
    if (looks_like_image(image)) return {argv[0], "-a", ppf, image};
    std::fprintf(run.out, "'%s' is no disc image (no raw sectors, no cue sheet): drop a PPF file and an image -- refused\n",
                 image.c_str());
    refused = true;
    return {};
}

void say_drop_result(const run_state& run, const std::vector<std::string>& drop, int status) {
    if (status != STATUS_OK || drop.size() < 2 || drop[1] != "-a" || !run.settings.file_bin) return;
    std::fprintf(run.out, "The patched image is '%s'\n", run.settings.file_bin->c_str());
}

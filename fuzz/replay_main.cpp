// Replays fuzz inputs through a fuzz target without libFuzzer, so the seed
// corpus runs as an ordinary test under any compiler and sanitizer build.
//   <target>_replay DIR...   every file of each DIR, in name order
#include <cstdint>
#include <filesystem>
#include <set>

#include "image_maker.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::set<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i)
        for (const auto& e : std::filesystem::directory_iterator(argv[i])) inputs.insert(e.path());
    for (const auto& p : inputs) {
        const fixture::bytes data = fixture::read_file(p);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    return inputs.empty() ? 1 : 0;
}

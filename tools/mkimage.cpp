// Makes the sample disc image of the demo and the plain images of the
// benchmarks.
//   mkimage sample DIR          DIR/sample.bin, DIR/title_new.txt, DIR/cue files
//   mkimage blank SECTORS FILE  an encoded image of SECTORS zero sectors
//   mkimage corpus DIR          seed directory sectors for the directory walker's
//                               fuzz target (raw sectors and bare user data)
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_maker.h"

namespace {

int usage() {
    std::fputs("usage: mkimage sample DIR | mkimage blank SECTORS FILE | mkimage corpus DIR\n",
               stderr);
    return 2;
}

void write_cue(const std::string& cue, const std::string& bin_name) {
    const std::string text = "FILE \"" + bin_name + "\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    fixture::write_file(cue, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Directory sectors of made images: well-formed ones, and the damage the
// walker must survive (short, overlong and crossing records, no XA data).
void write_corpus(const std::string& dir) {
    using fixture::bytes;
    auto raw = [&](const std::string& name, fixture::disc& d, std::size_t sector) {
        fixture::write_file(dir + "/" + name + ".raw", d.raw(sector));
    };
    auto user = [&](const std::string& name, std::span<const std::uint8_t> data) {
        fixture::write_file(dir + "/" + name + ".ud", data);
    };
    auto records = [](const std::vector<bytes>& list) {
        bytes all;
        for (const bytes& r : list) all.insert(all.end(), r.begin(), r.end());
        return all;
    };
    const bytes dot = fixture::dir_record(std::string(1, '\0'), 22, 2048, true);
    const bytes dotdot = fixture::dir_record(std::string(1, '\1'), 22, 2048, true);

    fixture::iso_image sample = fixture::make_iso(fixture::sample_files());
    raw("sample_root", sample.image, 22);
    raw("sample_data", sample.image, 23);
    user("sample_fonts", sample.image.user_data(24));

    fixture::iso_image names = fixture::make_iso(
        {{"EXAMPLE.EXE;1", bytes(68, 1)}, {"AB/EXAMPLE.EXE;1", bytes(9, 2)},
         {"ABC/\xC9T\xC9.TXT;1", bytes(5, 3)}, {"A[@].DAT;1", bytes(7, 4)}});
    raw("even_odd_root", names.image, 22);
    user("odd_sub", names.image.user_data(24));

    std::vector<fixture::iso_file> many;
    for (int i = 0; i < 40; ++i)
        many.push_back({"FILE_" + std::to_string(100 + i) + ".DAT;1", bytes(10, 1)});
    fixture::iso_image two = fixture::make_iso(many);
    raw("two_sector_root_1", two.image, 22);
    raw("two_sector_root_2", two.image, 23);

    user("no_xa", records({dot, dotdot, fixture::dir_record("PLAIN", 23, 2048, true, false),
                           fixture::dir_record("PLAIN.DAT;1", 24, 10, false, false)}));
    std::vector<bytes> full{dot, dotdot};
    for (char c = 'A'; c < 'H'; ++c)
        full.push_back(fixture::dir_record(std::string(205, c) + ";1", 25, 68, false));
    bytes last = fixture::dir_record("LAST.DAT;1", 65536 + 25, 68, false);
    last.resize(174);
    last[0] = 174;
    full.push_back(last);
    user("exactly_full", records(full));
    bytes overlong = fixture::dir_record("SHORT.DAT;1", 25, 68, false);
    overlong[32] = 200;
    user("identifier_too_long", records({dot, dotdot, overlong}));
    user("record_too_short", records({dot, bytes{20, 1, 2, 3}}));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return usage();
    const std::string what = argv[1];
    try {
        if (what == "sample" && argc == 3) {
            const std::string dir = argv[2];
            fixture::iso_image iso = fixture::make_iso(fixture::sample_files());
            iso.image.save(dir + "/sample.bin");
            write_cue(dir + "/sample.cue", "sample.bin");
            const std::string line = "Der schnelle braune Fuchs springt ueber den faulen Hund.\n";
            std::string patch;
            while (patch.size() + line.size() <= iso.where.at("TITLE.TXT;1").length) patch += line;
            fixture::write_file(dir + "/title_new.txt",
                                {reinterpret_cast<const std::uint8_t*>(patch.data()), patch.size()});
            std::printf("Made %s/sample.bin (%zu sectors) and %s/title_new.txt (%zu bytes)\n",
                        dir.c_str(), iso.image.sectors(), dir.c_str(), patch.size());
            for (const auto& [path, e] : iso.where)
                std::printf("  %-24s sector %5u  %7u bytes\n", path.empty() ? "/" : path.c_str(),
                            e.sector, e.length);
            return 0;
        }
        if (what == "corpus" && argc == 3) {
            write_corpus(argv[2]);
            return 0;
        }
        if (what == "blank" && argc == 4) {
            fixture::disc d(std::strtoul(argv[2], nullptr, 10));
            d.encode();
            d.save(argv[3]);
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mkimage: %s\n", e.what());
        return 1;
    }
    return usage();
}

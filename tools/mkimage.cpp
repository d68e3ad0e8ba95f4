// Makes the sample disc image of the demo, the plain images of the
// benchmarks and raw images of ISO 9660 images made by other tools.
//   mkimage sample DIR          DIR/sample.bin, DIR/sample.cue, DIR/title.txt (its
//                               TITLE.TXT;1), DIR/title_new.txt
//   mkimage blank SECTORS FILE  an encoded image of SECTORS zero sectors
//   mkimage wrap ISO FILE       FILE, a raw image of the plain 2048-byte-sector
//                               ISO 9660 image ISO (Mode 2 Form 1 data sectors)
//   mkimage unwrap FILE ISO     the 2048 bytes of user data of each of FILE's sectors
//   mkimage tree SECTORS FILE   an image whose files (100 sectors each, ten
//                               directories of them) fill SECTORS sectors
//   mkimage xa FILE             an image holding MOVIE.STR;1, an interleaved file
//                               of six sectors, every second one Form 2 audio
#include <cstdio>
#include <cstdlib>
#include <string>

#include "image_maker.h"

int main(int argc, char** argv) {
    const std::string what = argc > 1 ? argv[1] : "";
    try {
        if (what == "sample" && argc == 3) {
            const std::string dir = argv[2];
            const fixture::iso_image iso = fixture::make_iso(fixture::sample_files());
            iso.image.save(dir + "/sample.bin");
            const std::string cue =
                "FILE \"sample.bin\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
            fixture::write_file(dir + "/sample.cue", fixture::bytes(cue.begin(), cue.end()));
            for (const auto& f : fixture::sample_files())
                if (f.path == "TITLE.TXT;1") fixture::write_file(dir + "/title.txt", f.data);
            // A new title of whole lines, no longer than the old one.
            const std::string line = "Der schnelle braune Fuchs springt ueber den faulen Hund.\n";
            std::string title;
            while (title.size() + line.size() <= iso.where.at("TITLE.TXT;1").length) title += line;
            fixture::write_file(dir + "/title_new.txt", fixture::bytes(title.begin(), title.end()));
            std::printf("Made %s/sample.bin (%zu sectors) and %s/title_new.txt (%zu bytes)\n",
                        dir.c_str(), iso.image.sectors(), dir.c_str(), title.size());
            for (const auto& [path, e] : iso.where)
                std::printf("  %-24s sector %5u  %7u bytes\n", path.empty() ? "/" : path.c_str(),
                            e.sector, e.length);
            return 0;
        }
        if (what == "wrap" && argc == 4) {
            fixture::wrap_iso(fixture::read_file(argv[2])).save(argv[3]);
            return 0;
        }
        if (what == "unwrap" && argc == 4) {
            const fixture::bytes raw = fixture::read_file(argv[2]);
            fixture::bytes iso;
            for (std::size_t at = 0; at + SECTOR_SIZE <= raw.size(); at += SECTOR_SIZE)
                iso.insert(iso.end(), raw.begin() + std::ptrdiff_t(at + USER_DATA),
                           raw.begin() + std::ptrdiff_t(at + USER_DATA_END));
            fixture::write_file(argv[3], iso);
            return 0;
        }
        if (what == "tree" && argc == 4) {
            const std::size_t files = std::strtoul(argv[2], nullptr, 10) / 100;
            std::vector<fixture::iso_file> tree;
            char path[64];
            for (std::size_t i = 0; i < files; ++i) {
                std::snprintf(path, sizeof path, "DIR%zu/FILE%04zu.DAT;1", i % 10, i);
                tree.push_back({path, fixture::random_bytes(100 * USER_DATA_SIZE, static_cast<std::uint32_t>(i))});
            }
            fixture::make_iso(tree).image.save(argv[3]);
            return 0;
        }
        if (what == "xa" && argc == 3) {
            const std::size_t sectors = 6;
            const fixture::iso_image iso =
                fixture::make_iso({{"MOVIE.STR;1", fixture::random_bytes(sectors * USER_DATA_SIZE, 11)}});
            fixture::bytes image = iso.image.image();
            const std::uint32_t first = iso.where.at("MOVIE.STR;1").sector;
            for (std::size_t i = 1; i < sectors; i += 2) {
                const auto sector = std::span(image).subspan((first + i) * SECTOR_SIZE).first<SECTOR_SIZE>();
                sector[SUBMODE_BYTE] = sector[SUBMODE_BYTE + 4] = 0x64;  // Form 2, audio, real time
                do_encode_L2(sector, MODE_2_FORM_2, static_cast<unsigned>(first + i + ADDRESS_BIAS));
            }
            fixture::write_file(argv[2], image);
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
    std::fputs("usage: mkimage sample DIR | mkimage blank SECTORS FILE | mkimage wrap ISO FILE | mkimage unwrap FILE ISO | mkimage xa FILE\n",
               stderr);
    return 2;
}

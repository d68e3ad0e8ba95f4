// Makes the sample disc image of the demo, the plain images of the
// benchmarks and raw images of ISO 9660 images made by other tools.
//   mkimage sample DIR          DIR/sample.bin, DIR/title_new.txt, DIR/cue files
//   mkimage blank SECTORS FILE  an encoded image of SECTORS zero sectors
//   mkimage wrap ISO FILE       FILE, a raw image of the plain 2048-byte-sector
//                               ISO 9660 image ISO (Mode 2 Form 1 data sectors)
//   mkimage corpus DIR          seed inputs of the fuzz targets, in DIR/<target>:
//                               directory sectors (raw sectors and bare user
//                               data) and a volume descriptor for dir_walker,
//                               command lines for cli, chosen runs for patch_loop
#include <array>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <string>

#include "image_maker.h"

namespace {

int usage() {
    std::fputs("usage: mkimage sample DIR | mkimage blank SECTORS FILE | mkimage corpus DIR | "
               "mkimage wrap ISO FILE\n",
               stderr);
    return 2;
}

void write_cue(const std::string& cue, const std::string& bin_name) {
    const std::string text = "FILE \"" + bin_name + "\" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n";
    fixture::write_file(cue, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

// Directory sectors of made images: well-formed ones, and the damage the
// walker must survive (short, overlong and crossing records, no XA data).
void write_dir_walker_corpus(const std::string& dir) {
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
    raw("sample_volume_descriptor", sample.image, 16);
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

// Command lines, one argument after another with a zero byte between them:
// every option, offsets in every notation, help and "--" part-way, options
// missing their argument, unknown options, too few and too many operands.
void write_cli_corpus(const std::string& dir) {
    auto line = [&](const std::string& name, const std::vector<std::string>& args) {
        fixture::bytes b;
        for (const std::string& a : args) {
            if (!b.empty()) b.push_back(0);
            b.insert(b.end(), a.begin(), a.end());
        }
        fixture::write_file(dir + "/" + name, b);
    };
    line("offset_decimal", {"-o", "56448", "patch.bin", "image.bin"});
    line("offset_hex", {"-o", "0x9300", "patch.bin", "image.bin"});
    line("offset_octal", {"-o", "0156200", "patch.bin", "image.bin"});
    line("offset_negative", {"-o", "-1", "patch.bin", "image.bin"});
    line("offset_huge", {"-o", "99999999999999999999999", "patch.bin", "image.bin"});
    line("offset_joined", {"-o0x10", "patch.bin", "image.bin"});
    line("offset_zero", {"-o", "0", "patch.bin", "image.bin"});
    line("offset_not_a_number", {"-o", "sector", "patch.bin", "image.bin"});
    line("name_everything", {"-n", "EXAMPLE.EXE;1", "-r", "-p", "out.ppf", "-d", "My patch",
                             "-x", "patch.bin", "image.bin"});
    line("verify", {"-v", "orig.bin", "-o", "123456", "patch.bin", "image.bin"});
    line("list", {"-l", "x", "image.bin"});
    line("list_recursive_cluster", {"-lr", "x", "image.bin"});
    line("compare", {"-e", "other.bin", "image.bin"});
    line("help_midway", {"-o", "100", "-h", "patch.bin", "image.bin"});
    line("double_dash", {"-o", "100", "--", "-p", "image.bin"});
    line("operands_first", {"patch.bin", "image.bin", "-o", "100"});
    line("missing_argument_at_end", {"patch.bin", "image.bin", "-n"});
    line("missing_argument_alone", {"-o"});
    line("cluster_with_argument", {"-xrnNAME.TXT;1", "patch.bin", "image.bin"});
    line("unknown_option", {"-z", "-o", "100", "patch.bin", "image.bin"});
    line("neither_name_nor_offset", {"patch.bin", "image.bin"});
    line("too_many_operands", {"-o", "100", "patch.bin", "image.bin", "extra"});
    line("empty_arguments", {"-n", "", "", ""});
}

// Runs of the patch_loop target: eight bytes that choose the command line,
// then the patch (see fuzz/patch_loop_fuzz.cpp for the layout). Its image
// holds 30 whole sectors; A.TXT;1 starts at sector 24.
void write_patch_loop_corpus(const std::string& dir) {
    // Byte 0: options and image.
    constexpr int X = 1, P = 2, R = 4, D = 8, TAIL = 16, V_PATCH = 32, V_IMAGE = 64, N = 128;
    // Byte 2: what -o gets, and how it is written.
    constexpr int SECTOR = 0, INT32 = 1, WIDE = 2, NO_OFFSET = 3;
    constexpr int DEC = 0, HEX = 4, OCT = 8, PLUS = 12, JOINED = 16;
    // Byte 2: another mode instead of patching.
    constexpr int LIST = 32, COMPARE = 64, COMPARE_SELF = 96;
    std::uint32_t seed = 100;
    auto run = [&](const std::string& name, int flags, int pick, int form,
                   std::array<std::uint8_t, 5> value, std::size_t size) {
        fixture::bytes b{static_cast<std::uint8_t>(flags), static_cast<std::uint8_t>(pick),
                         static_cast<std::uint8_t>(form)};
        b.insert(b.end(), value.begin(), value.end());
        const fixture::bytes patch = fixture::random_bytes(size, ++seed);
        b.insert(b.end(), patch.begin(), patch.end());
        fixture::write_file(dir + "/" + name, b);
    };
    // Sector and remainder (little-endian) for the SECTOR kind.
    auto at = [](std::uint8_t sector, unsigned remainder) {
        return std::array<std::uint8_t, 5>{sector, static_cast<std::uint8_t>(remainder & 0xFF),
                                           static_cast<std::uint8_t>(remainder >> 8), 0, 0};
    };
    const std::array<std::uint8_t, 5> none{};
    run("sector_start", 0, 0, SECTOR | DEC, at(24, 0), 100);
    run("crossing_hex_ppf", P | D, 1 << 5, SECTOR | HEX, at(25, 2000), 500);
    run("remainder_2048_octal", 0, 0, SECTOR | OCT, at(28, 2048), 10);
    run("remainder_2049_refused", 0, 0, SECTOR | DEC, at(24, 2049), 10);
    run("remainder_2351_refused", P, 0, SECTOR | HEX, at(24, 2351), 10);
    run("past_the_end", P, 0, SECTOR | DEC, at(31, 0), 10);
    run("last_sector_full", P, 0, SECTOR | DEC, at(29, 1948), 100);
    run("last_sector_overflow", P, 0, SECTOR | DEC, at(29, 2000), 100);
    run("partial_sector_refused", TAIL | P, 0, SECTOR | DEC, at(29, 2000), 100);
    run("three_sectors_plus_joined", TAIL, 0, SECTOR | PLUS | JOINED, at(25, 7), 6244);
    run("name_ppf_long_desc", N | P | D, 0 | (3 << 5), NO_OFFSET, none, 3000);
    run("name_twice_recursive", N | R | P, 0, NO_OFFSET, none, 10);
    run("name_in_sub_dry_ppf", N | R | X | P | D, 2 | (6 << 5), NO_OFFSET, none, 100);
    run("name_case_folded", N | D, 1 | (4 << 5), NO_OFFSET, none, 50);
    run("name_directory", N, 3, NO_OFFSET, none, 20);
    run("name_missing", N | P, 4, NO_OFFSET, none, 20);
    run("name_empty", N, 5, NO_OFFSET, none, 20);
    run("name_and_offset", N, 4, SECTOR | HEX | JOINED, at(26, 5), 20);
    run("verify_own_bytes", V_IMAGE | N, 0, NO_OFFSET, none, 3000);
    run("verify_with_ppf", V_IMAGE | P, 0, SECTOR | DEC, at(23, 100), 3000);
    run("verify_patch_mismatch", V_PATCH, 0, SECTOR | DEC, at(24, 0), 200);
    run("verify_past_the_end", V_PATCH, 0, SECTOR | DEC, at(30, 0), 200);
    run("negative_hex", P, 0, INT32 | HEX, {0xFF, 0xFF, 0xFF, 0xFF, 0}, 10);
    run("negative_decimal", 0, 0, INT32 | DEC, {0x00, 0xFF, 0xFF, 0xFF, 0}, 10);
    run("huge_octal", 0, 0, WIDE | OCT, {0x00, 0x00, 0x01, 0x00, 7}, 10);
    run("huge_negative", 0, 0, WIDE | DEC, {0x00, 0x00, 0x00, 0x80, 0}, 10);
    run("offset_zero", P, 0, INT32 | HEX, none, 10);
    run("no_offset_no_name", 0, 0, NO_OFFSET, none, 10);
    run("ppf_is_image", P, 2 << 3, SECTOR | DEC, at(24, 0), 10);
    run("ppf_is_patch", P | X, 3 << 3, SECTOR | DEC, at(24, 0), 10);
    run("empty_patch_ppf", P | D, 7 << 5, SECTOR | DEC, at(24, 0), 0);
    run("dry_run_ppf_format_desc", X | P | D, 6 << 5, SECTOR | DEC, at(27, 1000), 2048);
    run("ppf_is_original", V_IMAGE | P, 1 << 3, SECTOR | DEC, at(24, 0), 100);
    run("list_recursive", R | P | N, 0, SECTOR | DEC | LIST, at(24, 0), 100);
    run("compare_patch_as_image", P | V_IMAGE, 0, NO_OFFSET | COMPARE, none, 6000);
    run("compare_image_with_itself", P, 0, SECTOR | DEC | COMPARE_SELF, at(24, 0), 10);
}

void write_corpus(const std::string& root) {
    namespace fs = std::filesystem;
    for (const char* target : {"dir_walker", "cli", "patch_loop"})
        fs::create_directories(fs::path(root) / target);
    write_dir_walker_corpus(root + "/dir_walker");
    write_cli_corpus(root + "/cli");
    write_patch_loop_corpus(root + "/patch_loop");
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
        if (what == "wrap" && argc == 4) {
            fixture::wrap_iso(fixture::read_file(argv[2])).save(argv[3]);
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

#include "corvaner_cli.h"

#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "build_info.h"

namespace {

constexpr int VERSION_MAJOR = 1;
constexpr int VERSION_MINOR = 1;
constexpr unsigned long VERSION_BUILD = 160;

// -o reads like strtol with base 0 on a 32-bit long: out-of-range values
// saturate, and a negative value keeps its 32-bit two's-complement pattern.
std::uint64_t parse_offset(const char* text) {
    long long v = std::strtoll(text, nullptr, 0);
    if (v > INT32_MAX) v = INT32_MAX;
    if (v < INT32_MIN) v = INT32_MIN;
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
}

}  // namespace

void print_banner(std::FILE* out) {
    std::fprintf(out, "\ncorvane by Ferrule of Lanthorn\n");
    std::fprintf(out, "Version %d.%d build %lu (%s@%s) - %s.\n", VERSION_MAJOR,
                 VERSION_MINOR, VERSION_BUILD, CORVANE_BUILD_USER,
                 CORVANE_BUILD_HOST, CORVANE_BUILD_DATE);
    std::fprintf(out, "If your .bin file breaks you get to keep both parts.\n\n");
}

void print_usage(std::FILE* out) {
    std::fputs("corvane -[hvonx] patch-file bin-file\n"
               "    -h        :  This help list\n"
               "    -v file   :  Specify original patch-file to verify first\n"
               "    -o offset :  Specify start offset into .bin file\n"
               "    -n name   :  Retrieve offset from name's start offset in .bin file\n"
               "    -e        :  Compare two bin files (patch file is 2nd bin)\n"
               "    -l        :  List directory and stop.\n"
               "    -r        :  Recurse sub directories when listing, searching for file\n"
               "    -p file   :  Produce a PPF-V2.0 patch file\n"
               "    -d desc   :  Set description field for PPF patch\n"
               "    -x        :  Dummy mode, do not write. Use with -p to just create PPF\n"
               "\n"
               "Offset can be entered in hex (0xffeedd) or dec (123456)\n"
               "and it is the offset into the .bin file that you want the first\n"
               "byte of your patch file to be written\n\n"
               "Name has a version string attached, like 'example.exe;1'\n"
               "One of either -n or -o must be specified\n",
               out);
}

bool arguments(run_state& run, int argc, char** argv) {
    run_settings& s = run.settings;
    optind = 0;  // full reset, so one process can parse several command lines
    int c;
    while ((c = getopt(argc, argv, "hv:len:o:rp:d:x")) != -1) {
        switch (c) {
            case 'h': return false;
            case 'v': s.file_orig = optarg; break;
            case 'o': s.offset = parse_offset(optarg); break;
            case 'n': s.file_name = optarg; break;
            case 'l': s.mode_listdir = 1; break;
            case 'r': s.mode_recurse = 1; break;
            case 'e': s.mode_checkedc = 1; break;
            case 'p': s.file_ppf = optarg; break;
            case 'd': s.str_desc = optarg; break;
            case 'x': s.mode_nowrite = 1; break;
            default:
                std::fprintf(run.out, "Unknown argument %c -- looks cool though\n", c);
                break;
        }
    }
    if (!s.mode_listdir && !s.mode_checkedc && s.offset == 0 && !s.file_name) {
        std::fprintf(run.out, "Specify either -n or -o!\n");
        return false;
    }
    if (argc - optind != 2) return false;
    s.file_patch = argv[optind];
    s.file_bin = argv[optind + 1];
    return true;
}

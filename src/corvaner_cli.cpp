#include "corvaner_cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "build_info.h"

namespace {

constexpr int VERSION_MAJOR = 1;
constexpr int VERSION_MINOR = 1;
constexpr unsigned long VERSION_BUILD = 160;

// -o takes a whole number up to 64 bits: decimal, hex with "0x" or octal
// with a leading "0", and nothing else (no sign, no spaces, no trailing
// characters). Returns false for anything else.
bool parse_offset(const char* text, std::uint64_t& offset) {
    if (*text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0') return false;
    offset = v;
    return true;
}

// A check run (-c) and the options that belong to it: one operand, the
// image or a cue sheet, and nothing of the other modes.
parse_result check_arguments(run_state& run, int argc, char** argv) {
    run_settings& s = run.settings;
    const char* refusal = nullptr;
    if (!s.mode_check)
        refusal = "-w and -k belong to a check run: give -c too";
    else if (s.mode_listdir || s.mode_checkedc || s.file_orig || s.file_name)
        refusal = "-c checks the whole image and takes none of -l, -e, -v and -n";
    else if (s.offset % SECTOR_SIZE != 0)
        refusal = "-o with -c is the byte offset of a sector: a multiple of 2352";
    else if (s.file_ppf && !s.mode_repair)
        refusal = "-p with -c writes the repairs: give -w too";
    if (refusal != nullptr) {
        std::fprintf(run.out, "%s -- refused\n", refusal);
        return parse_result::refused;
    }
    if (argc - optind != 1) return parse_result::usage;
    s.file_bin = argv[optind];
    return parse_result::ok;
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
               "corvane -c [-w] [-x] [-o offset] [-k count] [-p file] bin-file|cue-sheet\n"
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
               "    -c        :  Check every sector of the .bin file (or cue sheet's tracks)\n"
               "    -w        :  With -c, repair the EDC/ECC of bad sectors\n"
               "    -k count  :  With -c, check count sectors from the -o offset\n"
               "\n"
               "Offset can be entered in hex (0xffeedd) or dec (123456)\n"
               "and it is the offset into the .bin file that you want the first\n"
               "byte of your patch file to be written\n\n"
               "Name has a version string attached, like 'example.exe;1'\n"
               "One of either -n or -o must be specified\n",
               out);
}

run_mode mode_of(const run_settings& s) {
    if (s.mode_check) return run_mode::check;
    if (s.mode_listdir) return run_mode::list;
    if (s.mode_checkedc) return run_mode::compare;
    if (s.file_orig) return run_mode::verify;
    return run_mode::patch;
}

parse_result arguments(run_state& run, int argc, char** argv) {
    run_settings& s = run.settings;
    optind = 0;  // full reset, so one process can parse several command lines
    opterr = 0;  // the parser's complaints go to this run's error stream, below
    bool unknown = false;
    int c;
    while ((c = getopt(argc, argv, "hv:len:o:rp:d:xcwk:")) != -1) {
        switch (c) {
            case 'h': return parse_result::usage;
            case 'v': s.file_orig = optarg; break;
            case 'o':
                if (!parse_offset(optarg, s.offset)) {
                    std::fprintf(run.out,
                                 "Offset '%s' is not a whole number from 0 to "
                                 "0xFFFFFFFFFFFFFFFF -- refused\n",
                                 optarg);
                    return parse_result::refused;
                }
                break;
            case 'n': s.file_name = optarg; break;
            case 'l': s.mode_listdir = 1; break;
            case 'r': s.mode_recurse = 1; break;
            case 'e': s.mode_checkedc = 1; break;
            case 'p': s.file_ppf = optarg; break;
            case 'd': s.str_desc = optarg; break;
            case 'x': s.mode_nowrite = 1; break;
            case 'c': s.mode_check = 1; break;
            case 'w': s.mode_repair = 1; break;
            case 'k':
                if (!parse_offset(optarg, s.count) || s.count == 0) {
                    std::fprintf(run.out,
                                 "Count '%s' is not a whole number of sectors from 1 to "
                                 "0xFFFFFFFFFFFFFFFF -- refused\n",
                                 optarg);
                    return parse_result::refused;
                }
                break;
            default:
                if (optopt != 0 && std::strchr("vnopdk", optopt) != nullptr)
                    std::fprintf(run.err, "corvane: option requires an argument -- '%c'\n", optopt);
                else
                    std::fprintf(run.err, "corvane: invalid option -- '%c'\n", optopt);
                std::fprintf(run.out, "Unknown argument %c -- looks cool though\n", c);
                unknown = true;
                break;
        }
    }
    // A mistyped option may have meant anything: nothing is opened.
    if (unknown) return parse_result::refused_usage;
    s.mode = mode_of(s);
    if (s.mode == run_mode::check || s.mode_repair || s.count != 0)
        return check_arguments(run, argc, argv);
    if ((s.mode == run_mode::verify || s.mode == run_mode::patch) && s.offset == 0 &&
        !s.file_name) {
        std::fprintf(run.out, "Specify either -n or -o!\n");
        return parse_result::usage;
    }
    if (argc - optind != 2) return parse_result::usage;
    s.file_patch = argv[optind];
    s.file_bin = argv[optind + 1];
    return parse_result::ok;
}

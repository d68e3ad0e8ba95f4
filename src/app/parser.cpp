#include "app/parser.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/build_info.h"
#include "app/mode_table.h"
#include "platform/platform.h"

namespace {

// One step of the scan: an option and its value, or the complaint about an
// argument that could not be read as one (row null).
struct option_hit {
    const option_row* row = nullptr;
    const char* value = nullptr;
    bool long_form = false;
    std::string complaint;
};

// Reads argv the way GNU getopt_long does, the same on every system:
// options and operands may be mixed, "--" ends the options, "-" is an
// operand, short options group ("-rl") and take their value attached
// ("-ofoo") or as the next argument, long ones take "--opt=value" or
// "--opt value", and any beginning of a long name that fits only one
// option stands for it. Complaints keep glibc's wording.
class option_scanner {
public:
    option_scanner(int argc, char** argv) : argc_(argc), argv_(argv) {}

    // The next option; false when the arguments are used up.
    bool next(option_hit& hit) {
        hit = option_hit{};
        if (*group_ != '\0') {
            short_option(hit);
            return true;
        }
        while (at_ < argc_) {
            const char* arg = argv_[at_++];
            if (arg[0] != '-' || arg[1] == '\0') {
                operands.push_back(arg);
            } else if (std::strcmp(arg, "--") == 0) {
                while (at_ < argc_) operands.push_back(argv_[at_++]);
            } else if (arg[1] == '-') {
                long_option(hit, arg);
                return true;
            } else {
                group_ = arg + 1;
                short_option(hit);
                return true;
            }
        }
        return false;
    }

    std::vector<const char*> operands;

private:
    // The value of an option whose value is the next argument.
    const char* next_value() { return at_ < argc_ ? argv_[at_++] : nullptr; }

    void short_option(option_hit& hit) {
        const char letter = *group_++;
        for (const option_row& o : option_table())
            if (o.id == static_cast<unsigned char>(letter)) hit.row = &o;
        if (hit.row == nullptr) {
            hit.complaint = std::string("corvane: invalid option -- '") + letter + "'\n";
        } else if (hit.row->value != nullptr) {
            hit.value = *group_ != '\0' ? group_ : next_value();
            group_ = "";
            if (hit.value == nullptr) {
                hit.complaint = std::string("corvane: option requires an argument -- '") + letter + "'\n";
                hit.row = nullptr;
            }
        }
    }

    void long_option(option_hit& hit, const char* arg) {
        hit.long_form = true;
        const char* name = arg + 2;
        const char* equals = std::strchr(name, '=');
        const std::size_t length = equals ? static_cast<std::size_t>(equals - name) : std::strlen(name);
        std::vector<const option_row*> fits;
        for (const option_row& o : option_table()) {
            if (std::strncmp(o.name, name, length) != 0) continue;
            if (o.name[length] == '\0') {  // the whole name beats any abbreviation
                fits.assign(1, &o);
                break;
            }
            fits.push_back(&o);
        }
        if (fits.empty()) {
            hit.complaint = std::string("corvane: unrecognized option '") + arg + "'\n";
        } else if (fits.size() > 1) {
            hit.complaint = std::string("corvane: option '") + arg + "' is ambiguous; possibilities:";
            for (const option_row* o : fits) hit.complaint += std::string(" '--") + o->name + "'";
            hit.complaint += "\n";
        } else if (fits[0]->value == nullptr && equals != nullptr) {
            hit.complaint = std::string("corvane: option '--") + fits[0]->name + "' doesn't allow an argument\n";
        } else if (fits[0]->value == nullptr) {
            hit.row = fits[0];
        } else if ((hit.value = equals ? equals + 1 : next_value()) != nullptr) {
            hit.row = fits[0];
        } else {
            hit.complaint = std::string("corvane: option '--") + fits[0]->name + "' requires an argument\n";
        }
    }

    int argc_;
    char** argv_;
    int at_ = 1;
    const char* group_ = "";  // the rest of a group of short options
};

// Prints `text` unless `to` is null (the silent parse of wants_banner).
void say(std::FILE* to, const std::string& text) {
    if (to != nullptr) std::fputs(text.c_str(), to);
}

// Rules of single options that hold whatever the mode: said in one line.
const char* option_rule(const run_settings& s, option_set given, const mode_row& row) {
    if ((given & option_bit('s')).any() && (!(row.accepts & option_bit('s')).any() || (row.needs_place && (!s.file_name || s.offset != 0))))
        return "Option -s replaces a file found by -n in a patch run: it needs -n and takes no -o, -l, -e or -v";
    if ((given & option_bit(option_id::RAW2336)).any() &&
        (!(row.accepts & option_bit(option_id::RAW2336)).any() ||
         (row.needs_place && (!s.file_name || s.offset != 0))))
        return "Option --raw2336 takes Form 2 files as 2336-byte sectors: give -g, or -n without -o";
    if ((given & option_bit(option_id::RELOCATE)).any() && !(given & option_bit('s')).any())
        return "Option --relocate moves the file -s replaces when it cannot grow in place: it needs -s";
    if ((given & option_bit(option_id::XDELTA)).any() && !(row.accepts & option_bit(option_id::XDELTA)).any())
        return "Option --xdelta writes the patch of a run that changes the image: give -m, a patch run or -c -w";
    if ((given & option_bit(option_id::XDELTA)).any() && ppf_target(s) && !(given & option_bit('m')).any())
        return "Options -p, -P and --xdelta each name the run's patch: give one";
    if ((given & option_bit(option_id::LBA_LIST)).any() && !(given & option_bit(option_id::RELOCATE)).any())
        return "Option --lba-list lists the sectors a relocation leaves: it needs --relocate";
    return nullptr;
}

// Options of the PPF files that cannot go together, said in one line.
const char* ppf_conflict(const run_settings& s, option_set given) {
    if (s.file_ppf && s.file_ppf3) return "Options -p and -P each name the run's PPF file: give one";
    if (s.file_diz && !s.file_ppf3) return "Option --diz adds a text to a PPF 3.0 file: it needs -P";
    if (s.mode_undo && !s.file_ppf3 && !(given & option_bit('a')).any()) return "Option --undo needs -P or -a";
    return nullptr;
}

// Checks the settings against the row of their mode: the options it takes,
// its own refusals, and its operands.
parse_result accept(run_settings& s, option_set given, const mode_row& row,
                    const std::vector<const char*>& operands, int argc, std::FILE* out) {
    const char* refusal = option_rule(s, given, row);
    // An option the mode does not take: the mode says which it takes, or,
    // where it does not, the option's own mode does.
    const option_set refused = given & ~row.accepts;
    constexpr option_set check_only = option_bit('w') | option_bit('k');
    if (!refusal && row.refusal && (refused & ~check_only).any()) refusal = row.refusal;
    if (!refusal) refusal = ppf_conflict(s, given);
    if (!refusal && (refused & check_only).any()) refusal = "-w and -k belong to a check run: give -c too";
    if (!refusal && row.refuse) refusal = row.refuse(s);
    if (refusal != nullptr) {
        say(out, std::string(refusal) + " -- refused\n");
        return parse_result::refused;
    }
    if (row.needs_place && s.offset == 0 && !s.file_name) {
        say(out, "Specify either -n or -o!\n");
        // Nothing to do is a failure, but for a bare call that asks for help.
        return argc == 1 ? parse_result::usage : parse_result::refused_usage;
    }
    std::size_t count = operands.size();
    if (row.output_operand && count == static_cast<std::size_t>(row.operands) + 1) s.file_output = operands[--count];
    const bool image_alone = row.image_alone && count == 1;
    if (count != static_cast<std::size_t>(row.operands) && !image_alone) {
        if (row.takes != nullptr) say(out, std::string(row.takes) + ": " + row.example + "\n");
        return parse_result::refused_usage;
    }
    if (row.operands == 2 && !image_alone) s.file_patch = operands[0];
    s.file_bin = operands[count - 1];
    return parse_result::ok;
}

parse_result parse(run_settings& s, int argc, char** argv, std::FILE* out, std::FILE* err, const mode_row*& chosen) {
    option_scanner scan(argc, argv);
    bool unknown = false;
    option_set given;
    for (option_hit hit; scan.next(hit);) {
        if (hit.row != nullptr) given |= option_bit(hit.row->id);
        if (hit.row == nullptr) {
            say(err, hit.complaint);
            say(out, "Unknown argument ? -- looks cool though\n");
            unknown = true;
            continue;
        }
        if (hit.row->ends == option_end::help) return hit.long_form ? parse_result::help : parse_result::usage;
        // --version only when nothing before it was refused, so nothing has been printed.
        if (hit.row->ends == option_end::version && !unknown) return parse_result::version;
        if (hit.row->set == nullptr) continue;
        if (const std::string refusal = hit.row->set(s, hit.value); !refusal.empty()) {
            say(out, refusal);
            return parse_result::refused;
        }
    }
    // A mistyped option may have meant anything: nothing is opened.
    if (unknown) return parse_result::refused_usage;
    if (s.offset == 0) given &= ~option_bit('o');  // -o 0 is no offset
    const mode_row& row = mode_chosen(given);
    chosen = &row;
    return accept(s, given, row, scan.operands, argc, out);
}

}  // namespace

void print_version(std::FILE* out) {
    std::fprintf(out, "Version %d.%d build %lu (%s@%s) - %s.\n", CORVANE_VERSION_MAJOR,
                 CORVANE_VERSION_MINOR, static_cast<unsigned long>(CORVANE_VERSION_BUILD),
                 CORVANE_BUILD_USER, CORVANE_BUILD_HOST, CORVANE_BUILD_DATE);
}

void print_banner(std::FILE* out) {
    std::fprintf(out, "\ncorvane by Ferrule of Lanthorn\n");
    print_version(out);
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

void print_help_pointer(std::FILE* out) {
    std::fputs("Every mode (-a, -c, -g, -s and more) and long option: corvane --help\n", out);
}

void print_modes(std::FILE* out) {
    std::string selectors;
    for (const mode_row& row : mode_table())
        if (row.selector != 0) {
            selectors += selectors.empty() ? "" : ", ";
            // A long-only selector is named by its long form.
            for (const option_row& o : option_table())
                if (o.id == row.selector)
                    selectors += row.selector >= option_id::FIRST_LONG ? std::string("--") + o.name
                                                                       : std::string("-") + static_cast<char>(o.id);
        }
    std::fprintf(out, "\nModes (the first of %s given chooses; none of them: a patch run):\n", selectors.c_str());
    for (const mode_row& row : mode_table())
        if (row.example != nullptr) std::fprintf(out, "    %-44s %s\n", row.example, row.what);
}

void print_long_options(std::FILE* out) {
    std::fputs("\nLong options (--opt=value or --opt value; any unambiguous beginning will do):\n",
               out);
    for (const option_row& o : option_table()) {
        const std::string form = std::string("--") + o.name + (o.value ? std::string(" ") + o.value : "");
        if (o.id < option_id::FIRST_LONG)
            std::fprintf(out, "    -%c, %-20s %s\n", o.id, form.c_str(), o.help);
        else
            std::fprintf(out, "        %-20s %s\n", form.c_str(), o.help);
    }
}

parse_result arguments(run_state& run, int argc, char** argv, const mode_row*& row) {
    const parse_result result = parse(run.settings, argc, argv, run.out, run.err, row);
    run.quiet = run.settings.mode_quiet != 0;
    // A progress line on a terminal, unless the trace scrolls on the same
    // screen: it is then the sign of life itself.
    run.progress = run.settings.mode_no_progress == 0 && platform::stream_is_terminal(run.err) &&
                   (run.quiet || !platform::stream_is_terminal(run.out));
    return result;
}

bool wants_banner(int argc, char** argv) {
    run_settings scratch;
    const mode_row* row = nullptr;
    return parse(scratch, argc, argv, nullptr, nullptr, row) != parse_result::version && scratch.mode_quiet == 0;
}

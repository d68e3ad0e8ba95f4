// Fuzz target: the command-line parser.
//
// The input is split at NUL bytes into at most 16 arguments of at most 256
// bytes each; they follow the program name. Each command line is parsed
// twice, the second time right after the first, and must give the same
// settings both times (the parser keeps no state from one line to the next).
// The settings must hang together: every text value is (the tail of) one of
// the arguments, the offset is a 32-bit pattern, and a command line that is
// accepted names both files and says where to patch or what else to do.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "corvaner_cli.h"

namespace {

constexpr std::size_t MAX_ARGS = 16;
constexpr std::size_t MAX_ARG_LENGTH = 256;

void check(bool ok) {
    if (!ok) std::abort();
}

std::vector<std::string> split(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args;
    std::string current;
    for (std::size_t i = 0; i < size && args.size() < MAX_ARGS; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else if (current.size() < MAX_ARG_LENGTH) {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < MAX_ARGS && !current.empty()) args.push_back(current);
    return args;
}

struct parse_result {
    bool accepted = false;
    run_settings settings;
};

parse_result parse(const std::vector<std::string>& args, std::FILE* sink) {
    // Fresh, writable copies every time: getopt reorders argv.
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("corvane");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : storage) argv.push_back(a.data());
    argv.push_back(nullptr);

    run_state run;
    run.out = sink;
    run.err = sink;
    parse_result r;
    r.accepted = arguments(run, static_cast<int>(storage.size()), argv.data());
    r.settings = run.settings;
    return r;
}

// A value taken from the command line is an argument or the tail of one
// ("-ofoo", "-xvfile").
bool from_args(const std::optional<std::string>& value, const std::vector<std::string>& args) {
    if (!value) return true;
    for (const std::string& a : args)
        if (a.size() >= value->size() &&
            a.compare(a.size() - value->size(), value->size(), *value) == 0)
            return true;
    return false;
}

bool same(const run_settings& a, const run_settings& b) {
    return a.file_patch == b.file_patch && a.file_bin == b.file_bin &&
           a.file_orig == b.file_orig && a.file_name == b.file_name &&
           a.file_ppf == b.file_ppf && a.str_desc == b.str_desc && a.offset == b.offset &&
           a.mode_listdir == b.mode_listdir && a.mode_recurse == b.mode_recurse &&
           a.mode_checkedc == b.mode_checkedc && a.mode_nowrite == b.mode_nowrite;
}

bool is_flag(int v) { return v == 0 || v == 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* const sink = std::fopen("/dev/null", "w");
    opterr = 0;  // the parser reports unknown options itself
    const std::vector<std::string> args = split(data, size);

    const parse_result first = parse(args, sink);
    const parse_result second = parse(args, sink);
    check(first.accepted == second.accepted);
    check(same(first.settings, second.settings));

    const run_settings& s = first.settings;
    check(s.offset <= UINT32_MAX);
    check(is_flag(s.mode_listdir) && is_flag(s.mode_recurse) && is_flag(s.mode_checkedc) &&
          is_flag(s.mode_nowrite));
    for (const auto* value : {&s.file_patch, &s.file_bin, &s.file_orig, &s.file_name,
                              &s.file_ppf, &s.str_desc})
        check(from_args(*value, args));
    if (first.accepted) {
        check(s.file_patch.has_value() && s.file_bin.has_value());
        check(s.offset != 0 || s.file_name || s.mode_listdir || s.mode_checkedc);
    } else {
        // The operands are taken only once the whole line is accepted.
        check(!s.file_patch && !s.file_bin);
    }
    return 0;
}

#include "app/corvane_main.h"

#include <string>
#include <vector>

#include "app/parser.h"
#include "run/kit.h"
#include "app/mode_table.h"

namespace {

// Prints the file block of a mode that asks for it.
void print_files(run_output& run, const run_settings& s) {
    std::fprintf(run.out, "Patch File : %s\n", s.file_patch->c_str());
    std::fprintf(run.out, "Patch .bin : %s\n", s.file_bin->c_str());
    if (s.file_orig) std::fprintf(run.out, "Original   : %s\n", s.file_orig->c_str());
    if (s.file_ppf) std::fprintf(run.out, "PPF20 File : %s\n", s.file_ppf->c_str());
    if (s.file_ppf3) std::fprintf(run.out, "PPF30 File : %s\n", s.file_ppf3->c_str());
    std::fputs("\n", run.out);
}

// Files dropped on the program: their run, as a command line ("corvane -c
// IMAGE", "corvane -a PPF IMAGE"), or nothing when they are not one image or
// a PPF file and an image. Only a drop of two files of which one is no image
// is refused here, with its reason.
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

int run_tool(run_state& run, int argc, char** argv) {
    std::FILE* out = run.out;
    if (wants_banner(argc, argv)) print_banner(out);
    switch (arguments(run, argc, argv)) {
        case parse_result::ok: break;
        case parse_result::version: print_version(out); return STATUS_OK;
        case parse_result::usage: print_usage(out); return STATUS_OK;
        case parse_result::help: print_usage(out); print_long_options(out); return STATUS_OK;
        case parse_result::refused_usage: print_usage(out); return STATUS_FAIL;
        case parse_result::refused: return STATUS_FAIL;
    }
    run_settings& s = run.settings;
    const mode_row& row = row_of(s.mode);
    unique_fd bin;
    if (row.access == image_access::own) return row.run(run, bin);
    // A cue sheet stands for the file of its data track, which is the image
    // the run names and works on.
    std::string image;
    const data_track tracks = row.image == image_kind::raw_mode2 ? data_track::mode2 : data_track::any;
    if (const auto stop = image_of(run, *s.file_bin, tracks, image, &run.track_after_image)) return *stop;
    s.file_bin = image;
    if (row.file_block && !run.quiet) print_files(run, s);
    // A run that writes holds the image locked from before its first read to
    // its last write.
    bin = open_image(run, image, writes_image(s) ? file_access::write : file_access::read);
    if (!bin.valid()) return STATUS_FAIL;
    if (row.image != image_kind::any_file && refuse_iso_image(run, bin.get(), image)) return STATUS_FAIL;
    return row.run(run, bin);
}

}  // namespace

bool prepare_process() {
    if (!platform::prepare_process()) return false;
    // The trace runs to a line per sector: into a file or pipe it goes in
    // large blocks. A terminal keeps its line-by-line output.
    if (!platform::stdout_is_terminal()) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    return true;
}

int corvane_main(int argc, char** argv, std::FILE* out, std::FILE* err, bool own_console) {
    run_state run;
    run.out = out;
    run.err = err;
    int status = STATUS_FAIL;
    bool refused = false;
    std::vector<std::string> drop = own_console ? dropped(run, argc, argv, refused) : std::vector<std::string>{};
    if (refused) {
        status = STATUS_FAIL;
    } else if (!drop.empty()) {
        std::vector<char*> args;
        for (std::string& a : drop) args.push_back(a.data());
        args.push_back(nullptr);
        status = run_tool(run, static_cast<int>(drop.size()), args.data());
    } else {
        status = run_tool(run, argc, argv);
    }
    if (own_console) platform::wait_for_enter(out);
    if (std::fflush(out) != 0 || std::ferror(out) != 0) {
        std::fprintf(err,
                     "Standard output could not be written; the run itself ended with "
                     "status %d\n",
                     status);
        std::fflush(err);
        return STATUS_FAIL;
    }
    return status;
}

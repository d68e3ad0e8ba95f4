#include "app/corvane_main.h"

#include <string>
#include <vector>

#include "app/drop.h"
#include "app/mode_table.h"
#include "app/parser.h"
#include "format/ppf_layout.h"
#include "run/image.h"
#include "run/kit.h"

namespace {

// Prints the file block of a mode that asks for it.
void print_files(run_output& run, const run_settings& s) {
    if (s.file_patch) std::fprintf(run.out, "Patch File : %s\n", s.file_patch->c_str());
    std::fprintf(run.out, "Patch .bin : %s\n", s.file_bin->c_str());
    if (s.file_orig) std::fprintf(run.out, "Original   : %s\n", s.file_orig->c_str());
    if (s.file_ppf) std::fprintf(run.out, "PPF20 File : %s\n", s.file_ppf->c_str());
    if (s.file_ppf3) std::fprintf(run.out, "PPF30 File : %s\n", s.file_ppf3->c_str());
    if (s.file_xdelta) std::fprintf(run.out, "xdelta File : %s\n", s.file_xdelta->c_str());
    std::fputs("\n", run.out);
}

// An offset typed with a leading 0 is octal; one copied from -l's listing,
// which prints hexadecimal with leading zeros, reads as another offset.
void warn_octal_offset(run_output& run, const run_settings& s) {
    if (s.octal_offset.empty()) return;
    const std::size_t digits = s.octal_offset.find_first_not_of('0');
    std::fprintf(run.out, "Offset %s is read as octal (0x%llX); -l prints hexadecimal offsets: write 0x%s\n",
                 s.octal_offset.c_str(), static_cast<unsigned long long>(s.offset),
                 s.octal_offset.c_str() + digits);
}

// The -d text is cut to what the PPF file holds: said once, with the way
// to a longer text.
void warn_cut_description(run_output& run, const run_settings& s) {
    const bool ppf3 = s.file_ppf3.has_value();
    const std::size_t room = ppf3 ? PPF_DESCRIPTION_SIZE : PPF2_DESCRIPTION_TEXT;
    if (!s.str_desc || !ppf_target(s) || s.str_desc->size() <= room) return;
    std::fprintf(run.out, "Description of %zu bytes is cut to the %zu a PPF %s file holds; say more in %s\n",
                 s.str_desc->size(), room, ppf3 ? "3.0" : "2.0",
                 ppf3 ? "a file_id.diz text: --diz FILE" : "a PPF 3.0 file's file_id.diz text: -P PPF --diz FILE");
}

int run_tool(run_state& run, int argc, char** argv) {
    std::FILE* out = run.out;
    if (wants_banner(argc, argv)) print_banner(out);
    const mode_row* chosen = nullptr;
    switch (arguments(run, argc, argv, chosen)) {
        case parse_result::ok: break;
        case parse_result::version: print_version(out); return STATUS_OK;
        case parse_result::usage: print_usage(out); print_help_pointer(out); return STATUS_OK;
        case parse_result::help: print_usage(out); print_modes(out); print_long_options(out); return STATUS_OK;
        case parse_result::refused_usage: print_usage(out); print_help_pointer(out); return STATUS_FAIL;
        case parse_result::refused: return STATUS_FAIL;
    }
    run_settings& s = run.settings;
    const mode_row& row = *chosen;
    opened_image image;
    image.path = *s.file_bin;
    image.writes = run_writes(row, s);
    if (row.access == image_access::own) {
        warn_octal_offset(run, s);
        warn_cut_description(run, s);
        return row.run(run, image);
    }
    // A cue sheet stands for the file of its data track, which is the image
    // the run names and works on.
    const data_track tracks = row.image == image_kind::raw_mode2 ? data_track::mode2 : data_track::any;
    if (const auto stop = image_of(run, *s.file_bin, tracks, image)) return *stop;
    s.file_bin = image.path;
    if (row.file_block && !run.quiet) print_files(run, s);
    warn_octal_offset(run, s);
    warn_cut_description(run, s);
    // A run that writes holds the image locked from before its first read to
    // its last write.
    if (!open_image(run, image)) return STATUS_FAIL;
    if (row.image != image_kind::any_file && refuse_iso_image(run, image.fd.get(), image.path)) return STATUS_FAIL;
    return row.run(run, image);
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
    std::optional<int> stop;
    std::vector<std::string> drop = own_console ? dropped(run, argc, argv, stop) : std::vector<std::string>{};
    if (stop) {
        status = *stop;
    } else if (!drop.empty()) {
        std::vector<char*> args;
        for (std::string& a : drop) args.push_back(a.data());
        args.push_back(nullptr);
        run.dropped = true;
        status = run_tool(run, static_cast<int>(drop.size()), args.data());
        say_drop_result(run, drop, status);
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

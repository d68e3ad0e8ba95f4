// Extraction (-g): the -n file into OUTFILE, or every file of the tree into
// FOLDER. The image is only read. Every file is made new: OUTFILE through a
// temporary beside it renamed in, the tree's files inside FOLDER, never
// through a link and never outside it, whatever the names on the disc hold.
#include <cerrno>

#include "format/iso9660.h"
#include "io/new_file.h"
#include "modes/modes.h"
#include "ops/extract.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/settings.h"

namespace {

// The image as the run found it, for the check that it did not change. False
// after saying why not.
bool measure_image(run_output& run, int fd_bin, platform::file_info& image) {
    if (platform::query(fd_bin, image)) return true;
    report_errno(run, "Failed to stat .bin file");
    return false;
}

// What the run saw, for the summary and the exit status.
struct tally {
    std::uint64_t files = 0, folders = 0, bytes = 0;
    std::uint64_t warned = 0;   // sectors named in a warning
    std::uint64_t skipped = 0;  // files and directories that could not be read
};

// The trace: one line per file, its warnings, a line per problem and the
// summary, each through one function so that a quiet run can drop them.
void print_file_line(run_output& run, const dir_record& r, file_kind kind, const std::string& path) {
    tprintf(trace_stream(run), "Sector %llu | %llu sectors | %lu bytes | %s | %s\n",
                 static_cast<unsigned long long>(r.extent), static_cast<unsigned long long>(file_sectors(r)),
                 static_cast<unsigned long>(r.data_length), names_of(kind).column, path.c_str());
}

void print_warnings(run_output& run, const extract_result& x, const std::string& path, tally& t) {
    for (const std::uint64_t s : x.bad_edc)
        std::fprintf(run.out, "Warning: sector %llu of '%s' does not match its EDC -- extracted as stored\n",
                     static_cast<unsigned long long>(s), path.c_str());
    for (const std::uint64_t s : x.split_subheader)
        std::fprintf(run.out, "Warning: sector %llu of '%s' has two subheader copies that disagree -- extracted as stored\n",
                     static_cast<unsigned long long>(s), path.c_str());
    t.warned += x.bad_edc.size() + x.split_subheader.size();
}

void print_problem(run_output& run, const std::string& line, tally& t) {
    std::fprintf(run.out, "%s\n", line.c_str());
    ++t.skipped;
}

void print_summary(run_output& run, const tally& t) {
    std::fprintf(run.out, "\nExtracted %llu files (%llu bytes) and %llu directories; %llu sectors warned of, %llu not read\n",
                 static_cast<unsigned long long>(t.files), static_cast<unsigned long long>(t.bytes),
                 static_cast<unsigned long long>(t.folders), static_cast<unsigned long long>(t.warned),
                 static_cast<unsigned long long>(t.skipped));
}

int status_of(const tally& t) { return t.warned != 0 || t.skipped != 0 ? STATUS_BAD : STATUS_OK; }

xa_output output_form(const run_settings& s) { return s.mode_raw2336 ? xa_output::raw2336 : xa_output::cdxa; }

// The line saying a file's sectors run past the image's end; empty when they fit.
std::string past_end(const dir_record& r, const std::string& path, std::uint64_t image_sectors) {
    if (std::uint64_t{r.extent} + file_sectors(r) <= image_sectors) return {};
    return "File '" + path + "' at sector " + std::to_string(r.extent) + " (" + std::to_string(file_sectors(r)) +
           " sectors) runs past the end of the image (" + std::to_string(image_sectors) + " sectors)";
}

// Extracts one file into `out` (the host file `host`); false after reporting
// a failed read or write.
bool extract_one(run_output& run, int fd_bin, const dir_record& r, const std::optional<xa_field>& xa,
                 const run_settings& s, int out, const std::string& path, const std::string& host, tally& t) {
    const extract_result x = extract_file(fd_bin, r, xa.value_or(xa_field{}), output_form(s), out);
    if (x.read_failed) {
        if (errno != 0) report_errno(run, "Failed to read .bin file");
        else std::fprintf(run.out, "The image ended inside '%s'\n", path.c_str());
        return false;
    }
    if (x.write_failed) {
        report_errno(run, ("Failed to write extracted file '" + host + "'").c_str());
        return false;
    }
    print_file_line(run, r, x.kind, path);
    print_warnings(run, x, path, t);
    ++t.files;
    t.bytes += r.data_length;
    return true;
}

// The run's own output streams.
std::vector<platform::file_info> own_outputs(const run_output& run) {
    std::vector<platform::file_info> outputs;
    for (std::FILE* stream : {run.out, run.err})
        if (platform::file_info o; platform::query(stream, o)) outputs.push_back(o);
    return outputs;
}

// The files OUTFILE must not replace: the image (with the cue sheet it was
// given by, and the files that names) and the run's own output.
std::vector<kept_file> kept_for_outfile(const run_output& run, const platform::file_info& image,
                                        const std::vector<platform::file_info>& sheet) {
    std::vector<kept_file> kept{{image, "is the image itself"}};
    for (const platform::file_info& in : sheet) kept.push_back({in, "is an input of this run"});
    for (const platform::file_info& o : own_outputs(run)) kept.push_back({o, "is where this run's own output goes"});
    return kept;
}

// The path from "/" of the record a lookup found.
std::string disc_path(int fd_bin, const dir_record& r) {
    for (const tree_entry& e : plan_tree(fd_bin).entries)
        if (e.record.sector == r.sector && e.record.position == r.position) return e.path;
    std::string path(1, '/');  // (appended: GCC 12 misjudges "/" + string here)
    return path.append(printable_name(r.name));
}

int extract_named(run_state& run, int fd_bin, const std::vector<platform::file_info>& sheet) {
    const run_settings& s = run.settings;
    const std::string& outfile = *s.file_patch;
    const auto found = find_named(run, fd_bin, *s.file_name, s.mode_recurse != 0);
    if (!found) return STATUS_NAME;
    if (!lookup_fits(run, *found, std::nullopt)) return error_exit(run);
    const dir_record& r = found->record;
    const std::string path = disc_path(fd_bin, r);
    platform::file_info image;
    if (!measure_image(run, fd_bin, image)) return error_exit(run);
    if (const std::string past = past_end(r, path, image.size / SECTOR_SIZE); !past.empty()) {
        std::fprintf(run.out, "%s -- refused\n", past.c_str());
        return error_exit(run);
    }
    new_file out("Output file");
    if (!out.admit(run, outfile, kept_for_outfile(run, image, sheet))) return error_exit(run);
    if (out.replaces() && !s.mode_force) {
        std::fprintf(run.out, "Output file '%s' is there already (--force replaces it) -- refused\n", outfile.c_str());
        return error_exit(run);
    }
    const run_signals signals(run.out, true);
    if (!out.create(run)) return error_exit(run);
    tally t;
    const std::optional<xa_field> xa = xa_field_at(fd_bin, r);
    if (!extract_one(run, fd_bin, r, xa, s, out.fd(), path, outfile, t) || !out.commit(run)) return error_exit(run);
    print_summary(run, t);
    return status_of(t);
}

// Refuses a FOLDER that is there and not empty (or no folder), and a tree
// with two records bound for one host name or a name the host cannot hold. Prints why and returns false.
bool tree_fits(run_output& run, const std::string& folder, const tree_plan& plan) {
    const char* why = nullptr;
    switch (platform::examine_folder(folder)) {
        case platform::folder_state::missing:
        case platform::folder_state::empty: break;
        case platform::folder_state::not_empty: why = "is not empty"; break;
        case platform::folder_state::link: why = "is a symbolic link"; break;
        case platform::folder_state::not_folder: why = "is not a folder"; break;
        case platform::folder_state::unknown: report_errno(run, "Failed to read the output folder"); return false;
    }
    if (why != nullptr) {
        std::fprintf(run.out, "Output folder '%s' %s -- refused\n", folder.c_str(), why);
        return false;
    }
    for (const name_clash& c : plan.clashes)
        std::fprintf(run.out, "'%s' (sector %lu) and '%s' (sector %lu) would both be written as '%s' -- refused\n",
                     c.first.c_str(), static_cast<unsigned long>(c.first_extent), c.second.c_str(),
                     static_cast<unsigned long>(c.second_extent), c.host.c_str());
    for (const long_name& n : plan.too_long)
        std::fprintf(run.out, "'%s' would take a name of %llu bytes here, past the %llu this system holds -- refused\n",
                     n.path.c_str(), static_cast<unsigned long long>(n.length),
                     static_cast<unsigned long long>(platform::host_name_limit()));
    return plan.clashes.empty() && plan.too_long.empty();
}

int extract_tree(run_state& run, int fd_bin) {
    const run_settings& s = run.settings;
    const std::string& folder = *s.file_patch;
    const tree_plan plan = plan_tree(fd_bin);
    if (!tree_fits(run, folder, plan)) return error_exit(run);
    platform::file_info image;
    if (!measure_image(run, fd_bin, image)) return error_exit(run);
    const run_signals signals(run.out, true);
    tally t;
    for (const std::string& line : plan.problems) print_problem(run, line, t);
    std::vector<platform::folder_handle> folders(plan.entries.size());
    platform::folder_handle top;
    if ((platform::examine_folder(folder) == platform::folder_state::missing && !platform::make_folder(folder)) ||
        !platform::open_folder(folder, top)) {
        report_errno(run, "Failed to make the output folder");
        return error_exit(run);
    }
    for (std::size_t i = 0; i < plan.entries.size(); ++i) {
        if (signals.interrupted(run, "between two files")) return error_exit(run);
        const tree_entry& e = plan.entries[i];
        const platform::folder_handle& parent = e.parent == tree_entry::NO_PARENT ? top : folders[e.parent];
        if (e.record.is_directory) {
            if (!platform::make_folder_in(parent, e.host, folders[i])) {
                report_errno(run, ("Failed to make folder '" + host_path(plan, i) + "'").c_str());
                return error_exit(run);
            }
            ++t.folders;
            continue;
        }
        if (const std::string past = past_end(e.record, e.path, image.size / SECTOR_SIZE); !past.empty()) {
            print_problem(run, past + " -- not extracted", t);
            continue;
        }
        unique_fd out = platform::create_in(parent, e.host);
        if (!out.valid()) {
            report_errno(run, ("Failed to create '" + host_path(plan, i) + "'").c_str());
            return error_exit(run);
        }
        bool ok = extract_one(run, fd_bin, e.record, e.xa, s, out.get(), e.path, host_path(plan, i), t);
        if (ok && !out.close()) {
            report_errno(run, ("Failed to close extracted file '" + host_path(plan, i) + "'").c_str());
            ok = false;
        }
        if (!ok) {
            (void)platform::remove_in(parent, e.host);  // no file half-written
            return error_exit(run);
        }
    }
    print_summary(run, t);
    return status_of(t);
}

}  // namespace

int extract_mode(run_state& run, opened_image& image) {
    const run_settings& s = run.settings;
    tprintf(trace_stream(run), "Extract .bin : %s\n%s : %s\n\n", s.file_bin->c_str(),
                 s.file_name ? "Output file " : "Output folder", s.file_patch->c_str());
    return s.file_name ? extract_named(run, image.fd.get(), image.sheet_files) : extract_tree(run, image.fd.get());
}

// Putting back a whole tree (-s --tree FOLDER): FOLDER as -g wrote it, with
// some files edited; or the files a list names (--file-list), kept anywhere;
// or both, the list's lines taking the place of the folder's files. Every
// file of the disc whose host file differs is replaced as -s would replace
// it, all of them planned together and written by the one writer in one
// run: one patch file, one write pass.
#include <algorithm>
#include <cerrno>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "format/cdxa.h"
#include "modes/modes.h"
#include "modes/sources.h"
#include "ops/extract.h"
#include "ops/file_list.h"
#include "ops/tree_plan.h"
#include "run/image.h"

namespace {

// A host path as the host compares names: each part's key.
std::string path_key(const std::string& path) {
    std::string key;
    std::size_t from = 0;
    while (from <= path.size()) {
        const std::size_t end = std::min(path.find('/', from), path.size());
        if (!key.empty()) key += '/';
        key += platform::host_key(std::string_view(path).substr(from, end - from));
        from = end + 1;
    }
    return key;
}

// Every file under `folder` (paths below it, '/' between parts), folders
// entered once each (a link back to a folder above is not followed round).
// False after reporting a folder that cannot be read.
using folder_ids = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
bool host_files(run_output& run, const std::string& folder, const std::string& below, std::vector<std::string>& files,
                folder_ids& entered) {
    std::vector<std::string> names;
    const std::string here = below.empty() ? folder : folder + "/" + below;
    if (!platform::folder_names(here, names)) {
        report_errno(run, ("Failed to read folder '" + here + "'").c_str());
        return false;
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string rel = below.empty() ? name : below + "/" + name;
        platform::file_info info;
        if (platform::query(folder + "/" + rel, info) && info.directory) {
            const std::pair id{info.device, info.inode};
            if (std::find(entered.begin(), entered.end(), id) != entered.end()) continue;
            entered.push_back(id);
            if (!host_files(run, folder, rel, files, entered)) return false;
        } else {
            files.push_back(rel);
        }
    }
    return true;
}

// A changed file, its host file open, and what the writer lays in.
struct put_back {
    tree_change change;
    std::string host;
    data_run data;
    std::optional<xa_data> xa;
};

// True when the host file holds what the disc file holds: a Form 1 file's
// bytes, or a Form 2 or interleaved file's sectors from their subheader on.
// False too when the image cannot be read there (the run reads it again).
// Both are read a chunk of sectors at a time, into buffers kept from one
// file to the next.
struct compare_buffers {
    static constexpr std::uint64_t CHUNK = 64;  // sectors
    std::vector<std::uint8_t> disc = std::vector<std::uint8_t>(CHUNK * SECTOR_SIZE);
    std::vector<std::uint8_t> host = std::vector<std::uint8_t>(CHUNK * SECTOR_SIZE);
};

// Without `xa`, where the file's sectors are not yet known to be Form 1,
// `form2` comes back true, and the answer false, at the first Form 2 sector.
bool same_content(int fd_bin, const dir_record& r, const data_file& host, const std::optional<xa_data>& xa,
                  compare_buffers& buffers, bool& form2) {
    const std::uint64_t sectors = xa ? xa->input.sectors : user_data_sectors(host.info.size);
    if (xa ? sectors != xa->file.sectors : host.info.size != r.data_length) return false;
    // Bytes of the host file a sector holds, and where the disc's copy of them starts.
    const std::size_t piece = xa ? xa->input.piece : USER_DATA_SIZE;
    const std::size_t compared = xa ? SECTOR_SIZE - SUBHEADER : USER_DATA_SIZE;
    const std::size_t disc_at = xa ? SUBHEADER : USER_DATA;
    const std::uint64_t host_at = xa ? xa->input.offset_of(0) : 0;
    const std::uint64_t host_end = xa ? xa->input.offset_of(sectors) : host.info.size;
    constexpr std::uint64_t CHUNK = compare_buffers::CHUNK;
    const std::span<std::uint8_t> disc(buffers.disc), mine(buffers.host);  // a piece is at most a sector
    for (std::uint64_t first = 0; first < sectors; first += CHUNK) {
        const auto count = static_cast<std::size_t>(std::min(CHUNK, sectors - first));
        const auto disc_bytes = disc.first(count * SECTOR_SIZE);
        if (pread_full(fd_bin, disc_bytes, (r.extent + first) * SECTOR_SIZE) != disc_bytes.size()) return false;
        const std::uint64_t from = host_at + first * piece;
        const auto host_bytes =
            mine.first(static_cast<std::size_t>(std::min<std::uint64_t>(count * piece, host_end - from)));
        if (pread_full(host.fd.get(), host_bytes, from) != host_bytes.size()) return false;
        for (std::uint64_t i = 0; i < count; ++i) {
            if (!xa && form_of(disc_bytes.subspan(static_cast<std::size_t>(i * SECTOR_SIZE)).first<SECTOR_SIZE>()) ==
                           sector_form::form2) {
                form2 = true;
                return false;
            }
            const std::size_t at = static_cast<std::size_t>(i * piece);
            const std::size_t n = std::min(piece, host_bytes.size() - at);
            // An input sector of 2352 bytes carries a sync and header the run rebuilds.
            const std::size_t length = xa ? compared : n;
            const auto theirs = disc_bytes.subspan(static_cast<std::size_t>(i * SECTOR_SIZE) + disc_at, length);
            const auto ours = host_bytes.subspan(at + n - length, length);
            if (!std::equal(theirs.begin(), theirs.end(), ours.begin())) return false;
        }
    }
    return true;
}

// The line of a changed file in the plan.
void print_change(run_output& run, const tree_change& c) {
    const auto old_size = static_cast<unsigned long long>(c.found.record.data_length);
    const auto new_size = static_cast<unsigned long long>(c.new_size);
    const auto first = static_cast<unsigned long long>(c.found.record.extent);
    const std::uint64_t had = user_data_sectors(c.found.record.data_length), needs = user_data_sectors(c.new_size);
    if (const auto& m = c.plan.moved)
        tprintf(trace_stream(run), "Moved '%s' from sector %llu to %llu (%llu -> %llu bytes)\n", c.path.c_str(), first,
                static_cast<unsigned long long>(m->new_first), old_size, new_size);
    else if (needs > had)
        tprintf(trace_stream(run), "Grown '%s' into sectors %llu to %llu (%llu -> %llu bytes)\n", c.path.c_str(),
                static_cast<unsigned long long>(first + had), static_cast<unsigned long long>(first + needs - 1),
                old_size, new_size);
    else
        tprintf(trace_stream(run), "Replaced '%s' in place (%llu -> %llu bytes)\n", c.path.c_str(), old_size, new_size);
}

// A file of the disc and the host file that holds what it should hold.
struct pairing {
    std::string host;
    std::string open_failed;  // the report when the host file cannot be opened
};

// The host files of the folder, each paired with the disc file it names.
// False after refusing the run: the folder cannot be read, or a host file
// names nothing on the disc (unless --skip-new).
bool pair_folder(run_state& run, const tree_plan& tree, std::map<std::size_t, pairing>& pairs) {
    const std::string& folder = *run.settings.file_patch;
    std::map<std::string, std::size_t> by_key;
    for (std::size_t i = 0; i < tree.entries.size(); ++i)
        if (!tree.entries[i].record.is_directory) by_key[path_key(host_path(tree, i))] = i;
    std::vector<std::string> files;
    folder_ids entered;
    if (platform::file_info top; platform::query(folder, top)) entered.emplace_back(top.device, top.inode);
    if (!host_files(run, folder, "", files, entered)) return false;
    std::vector<std::string> strangers;
    for (const std::string& f : files) {
        const auto named = by_key.find(path_key(f));
        if (named == by_key.end())
            strangers.push_back(f);
        else
            pairs[named->second] = {folder + "/" + f, "Failed to open host file"};
    }
    if (!strangers.empty() && !run.settings.mode_skip_new) {
        for (const std::string& f : strangers)
            std::fprintf(run.out, "Host file '%s/%s' names no file of the disc\n", folder.c_str(), f.c_str());
        std::fprintf(run.out, "%zu host files name nothing on the disc (--skip-new leaves them out) -- refused\n",
                     strangers.size());
        return false;
    }
    return true;
}

// The list file's text. Returns the exit status when the run stops here.
std::optional<int> read_list(run_state& run, const std::string& path, std::string& text) {
    constexpr std::uint64_t MAX_LIST = std::uint64_t{16} << 20;
    data_file list;
    if (const auto stop = open_data(run, path, "File list", "Failed to open file list", list)) return stop;
    if (list.info.size > MAX_LIST) {
        std::fprintf(run.out, "File list '%s' is longer than %llu bytes -- refused\n", path.c_str(),
                     static_cast<unsigned long long>(MAX_LIST));
        return error_exit(run);
    }
    text.resize(static_cast<std::size_t>(list.info.size));
    if (pread_full(list.fd.get(), std::span(reinterpret_cast<std::uint8_t*>(text.data()), text.size()), 0) ==
        text.size())
        return std::nullopt;
    report_errno(run, "Failed to read file list");
    return error_exit(run);
}

// The list's lines, each paired with the disc file it names, in place of the
// folder's host file for it. A line that cannot be taken is named, all of
// them before the run is refused. Returns the exit status when the run stops.
std::optional<int> pair_list(run_state& run, const tree_plan& tree, std::map<std::size_t, pairing>& pairs) {
    const std::string& path = *run.settings.file_list;
    std::string text;
    if (const auto stop = read_list(run, path, text)) return stop;
    const file_list list = parse_file_list(text);
    std::vector<list_problem> problems = list.problems;
    std::map<std::size_t, std::size_t> line_of;  // entry -> the line naming it
    for (const list_line& line : list.lines) {
        const std::vector<std::size_t> named = disc_files_named(tree, line.disc);
        if (named.size() != 1) {
            problems.push_back({line.number, "'" + line.disc + "' names " +
                                                 (named.empty() ? "no file of the disc" : "several files: give its version")});
        } else if (const auto [at, fresh] = line_of.emplace(named[0], line.number); !fresh) {
            problems.push_back({line.number, "'" + tree.entries[named[0]].path + "' is named on line " +
                                                 std::to_string(at->second) + " too"});
        } else {
            pairs[named[0]] = {line.host, path + " line " + std::to_string(line.number) + ": Failed to open host file '" +
                                              line.host + "'"};
        }
    }
    if (problems.empty()) return std::nullopt;
    std::sort(problems.begin(), problems.end(),
              [](const list_problem& a, const list_problem& b) { return a.number < b.number; });
    for (const list_problem& p : problems)
        std::fprintf(run.out, "%s line %zu: %s\n", path.c_str(), p.number, p.why.c_str());
    std::fprintf(run.out, "The file list cannot be taken (%zu lines): nothing written -- refused\n", problems.size());
    return error_exit(run);
}

}  // namespace

int tree_mode(run_state& run, opened_image& image) {
    const run_settings& s = run.settings;
    const int fd = image.fd.get();
    tprintf(trace_stream(run), "Put back into .bin : %s\n", s.file_bin->c_str());
    if (s.mode_tree) tprintf(trace_stream(run), "From folder : %s\n", s.file_patch->c_str());
    if (s.file_list) tprintf(trace_stream(run), "From list : %s\n", s.file_list->c_str());
    tprintf(trace_stream(run), "\n");
    if (s.mode_tree) {
        if (platform::file_info f; !platform::query(*s.file_patch, f) || !f.directory) {
            std::fprintf(run.out, "Folder '%s' is no folder -- refused\n", s.file_patch->c_str());
            return error_exit(run);
        }
    }
    tree_plan tree = plan_tree(fd);
    if (!s.mode_tree) {  // the host names -g would give do not matter to a list
        tree.clashes.clear();
        tree.too_long.clear();
    }
    for (const std::string& line : tree.problems) std::fprintf(run.out, "%s\n", line.c_str());
    for (const name_clash& c : tree.clashes)
        std::fprintf(run.out, "'%s' and '%s' would both be '%s' in the folder\n", c.first.c_str(), c.second.c_str(),
                     c.host.c_str());
    for (const long_name& n : tree.too_long)
        std::fprintf(run.out, "'%s' would take a name of %llu bytes here, past the %llu this system holds\n",
                     n.path.c_str(), static_cast<unsigned long long>(n.length),
                     static_cast<unsigned long long>(platform::host_name_limit()));
    if (!tree.problems.empty() || !tree.clashes.empty() || !tree.too_long.empty()) {
        std::fputs("The disc's tree cannot be matched with the folder -- refused\n", run.out);
        return error_exit(run);
    }
    std::map<std::size_t, pairing> pairs;  // disc file's entry -> its host file
    if (s.mode_tree && !pair_folder(run, tree, pairs)) return error_exit(run);
    if (s.file_list)
        if (const auto stop = pair_list(run, tree, pairs)) return *stop;
    const char* unpaired = s.mode_tree ? "not in the folder" : "not listed";

    // Each file compared with its host file.
    std::vector<std::unique_ptr<put_back>> changed;
    std::uint64_t kept = 0, missing = 0;
    compare_buffers buffers;
    for (std::size_t i = 0; i < tree.entries.size(); ++i) {
        const tree_entry& e = tree.entries[i];
        if (e.record.is_directory) continue;
        const auto paired = pairs.find(i);
        if (paired == pairs.end()) {
            if (s.mode_tree) tprintf(trace_stream(run), "Left '%s': not in the folder\n", e.path.c_str());
            ++missing;
            continue;
        }
        auto p = std::make_unique<put_back>();
        p->host = paired->second.host;
        if (const auto stop = open_data(run, p->host, "Host", paired->second.open_failed.c_str(), p->data.patch))
            return *stop;
        p->data.found = dir_lookup{1, std::uint64_t{e.record.extent} * SECTOR_SIZE, e.record, false};
        // A Form 1 file the host file holds as it is: the disc read once. Any
        // other (a Form 2 sector met, a change) is looked at whole. --raw2336
        // is the form of the Form 2 and interleaved files alone, as -g wrote
        // them: a Form 1 file stays a plain file.
        bool form2 = false;
        if (same_content(fd, e.record, p->data.patch, std::nullopt, buffers, form2)) {
            tprintf(trace_stream(run), "Kept '%s'\n", e.path.c_str());
            ++kept;
            continue;
        }
        if (const auto stop = open_xa_data(run, fd, p->data, p->data.patch, "Host", p->xa, true)) return *stop;
        if (p->xa && same_content(fd, e.record, p->data.patch, p->xa, buffers, form2)) {
            tprintf(trace_stream(run), "Kept '%s'\n", e.path.c_str());
            ++kept;
            continue;
        }
        p->change.found = *p->data.found;
        p->change.path = e.path;
        p->change.new_size = p->xa ? p->xa->input.sectors * USER_DATA_SIZE : p->data.patch.info.size;
        p->change.movable = !p->xa;
        changed.push_back(std::move(p));
    }
    char summary[200];
    if (changed.empty()) {
        std::snprintf(summary, sizeof summary,
                      "Nothing to put back: %llu files kept, %llu %s\n",
                      static_cast<unsigned long long>(kept), static_cast<unsigned long long>(missing), unpaired);
        std::fputs(summary, run.out);
        return STATUS_OK;
    }
    std::vector<tree_change> changes;
    for (const auto& p : changed) changes.push_back(p->change);
    if (!plan_tree_changes(run, fd, changes, s.mode_relocate != 0, image.track_after)) {
        std::fputs("The tree does not fit the disc: nothing written -- refused\n", run.out);
        return error_exit(run);
    }
    std::uint64_t moved = 0, grown = 0;
    std::vector<write_part> parts;
    std::vector<std::unique_ptr<sector_source>> sources;
    for (std::size_t i = 0; i < changed.size(); ++i) {
        put_back& p = *changed[i];
        p.change.plan = std::move(changes[i].plan);
        const tree_change& c = p.change;
        print_change(run, c);
        moved += c.plan.moved ? 1U : 0U;
        grown += !c.plan.moved && user_data_sectors(c.new_size) > user_data_sectors(c.found.record.data_length);
        data_run& d = p.data;
        d.offset = (c.plan.moved ? c.plan.moved->new_first : c.found.record.extent) * SECTOR_SIZE;
        if (!p.xa) {
            if (const auto stop = place_window(run, fd, d)) return *stop;
            sources.push_back(std::make_unique<form1_patch>(d, &c.plan));
        } else {
            if (!platform::query(fd, d.image)) {
                report_errno(run, "Failed to stat .bin file");
                return error_exit(run);
            }
            sources.push_back(std::make_unique<form2_sectors>(d, *p.xa));
        }
        parts.push_back({sources.back().get(), &c.plan, &p.host});
    }
    std::snprintf(summary, sizeof summary,
                  "Put back %zu files (%llu grown in place, %llu moved); %llu kept, %llu %s\n",
                  changed.size(), static_cast<unsigned long long>(grown), static_cast<unsigned long long>(moved),
                  static_cast<unsigned long long>(kept), static_cast<unsigned long long>(missing), unpaired);
    platform::file_info now;
    if (!platform::query(fd, now)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    write_job job{image.fd, image.writes, now, {}, nullptr, s.file_lba_list.has_value(), image.sheet_files};
    job.says_start = false;
    job.summary = summary;
    return write_image(run, job, std::move(parts));
}

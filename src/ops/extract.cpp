#include "ops/extract.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <map>
#include <memory>
#include <set>
#include <utility>

#include "format/dir_walk.h"

namespace {

constexpr std::uint64_t CHUNK_SECTORS = 64;  // sectors read per call while extracting

// The name a record is written under, before the host's rules: without
// its ";N" version, unless another record of its directory differs from it
// in the version alone (or there is nothing before the ';').
std::vector<std::string> leaf_names(const std::vector<dir_record>& records) {
    auto stem = [](const std::string& name) { return name.substr(0, name.find(';')); };
    std::map<std::string, std::set<std::string>> versions;  // stem -> the full names with it
    for (const dir_record& r : records) versions[stem(r.name)].insert(r.name);
    std::vector<std::string> names;
    for (const dir_record& r : records) {
        const std::string s = stem(r.name);
        names.push_back(s.empty() || versions[s].size() > 1 ? r.name : s);
    }
    return names;
}

// Plans the tree: each directory is read whole, its records placed under
// their host names, then its subdirectories entered in turn.
class tree_planner final : public dir_visitor {
public:
    tree_plan plan;

    bool reached(const dir_span& d) override {
        if (!d.past_end) return true;
        problem(d, " runs past the end of the image -- not read");
        return false;
    }

    void refused(const dir_span& d, dir_refusal why) override {
        problem(d, why == dir_refusal::too_deep ? " lies too deep -- not entered"
                                                : " was read before: the tree loops here -- not entered");
    }

    bool read(int fd, const dir_span& d, std::uint64_t sector, sector_span buffer) override {
        if (dir_visitor::read(fd, d, sector, buffer)) return true;
        plan.problems.push_back("Directory '" + shown() + "': sector " + std::to_string(sector) +
                                " cannot be read -- rest not read");
        return false;
    }

    void sector(dir_walk&, std::uint64_t sector, std::span<const std::uint8_t, SECTOR_SIZE> buffer,
                const dir_sector& found) override {
        for (const dir_record& r : found.records) {
            if (r.name.empty() || static_cast<unsigned char>(r.name[0]) <= 1) continue;
            records_.push_back(r);
            fields_.push_back(xa_field_of(buffer.subspan(r.position, buffer[r.position])));
        }
        if (found.end == walk_end::malformed)
            plan.problems.push_back("Directory '" + shown() + "': malformed record in sector " +
                                    std::to_string(sector) + " -- rest of the sector skipped");
    }

    void left(dir_walk& walk, const dir_span&, bool) override;

    // Enters a directory: `index` is its entry (NO_PARENT: the root).
    void enter(dir_walk& walk, const dir_record& dir, const std::string& path, std::size_t index) {
        const std::string here = std::exchange(path_, path);
        const std::size_t above = std::exchange(index_, index);
        walk.enter(dir);
        path_ = here;
        index_ = above;
    }

private:
    std::string shown() const { return path_.empty() ? "/" : path_; }
    void problem(const dir_span& d, const char* what) {
        plan.problems.push_back("Directory '" + shown() + "' at sector " + std::to_string(d.first) + what);
    }

    std::string path_;                          // of the directory entered
    std::size_t index_ = tree_entry::NO_PARENT;  // its entry
    std::vector<dir_record> records_;           // what it holds, as read so far
    std::vector<std::optional<xa_field>> fields_;
};

void tree_planner::left(dir_walk& walk, const dir_span&, bool) {
    // Taken out first: the subdirectories entered below gather their own.
    const std::vector<dir_record> records = std::exchange(records_, {});
    const std::vector<std::optional<xa_field>> fields = std::exchange(fields_, {});
    const std::vector<std::string> leaves = leaf_names(records);
    std::map<std::string, std::size_t> taken;  // host key -> record
    std::vector<std::size_t> placed;
    for (std::size_t i = 0; i < records.size(); ++i) {
        tree_entry e;
        e.record = records[i];
        e.path = path_ + "/" + printable_name(records[i].name);
        e.host = platform::host_name(leaves[i]);
        e.parent = index_;
        e.xa = fields[i];
        if (e.host.size() > platform::host_name_limit()) plan.too_long.push_back({e.path, e.host.size()});
        const auto [at, fresh] = taken.emplace(platform::host_key(e.host), plan.entries.size());
        if (!fresh) {
            const tree_entry& before = plan.entries[at->second];
            plan.clashes.push_back({before.path, e.path, before.record.extent, e.record.extent, ""});
            plan.entries.push_back(std::move(e));
            plan.clashes.back().host = host_path(plan, plan.entries.size() - 1);
            continue;
        }
        placed.push_back(plan.entries.size());
        plan.entries.push_back(std::move(e));
    }
    for (const std::size_t at : placed) {
        if (!plan.entries[at].record.is_directory) continue;
        const dir_record sub = plan.entries[at].record;  // copied: entries grow
        enter(walk, sub, plan.entries[at].path, at);
    }
}

}  // namespace

tree_plan plan_tree(int fd_bin) {
    tree_planner planner;
    dir_walk walk(fd_bin, planner);
    planner.enter(walk, root_directory(fd_bin), "", tree_entry::NO_PARENT);
    return std::move(planner.plan);
}

std::string host_path(const tree_plan& plan, std::size_t entry) {
    std::string path = plan.entries[entry].host;
    for (std::size_t up = plan.entries[entry].parent; up != tree_entry::NO_PARENT; up = plan.entries[up].parent)
        path = plan.entries[up].host + "/" + path;
    return path;
}

std::optional<xa_field> xa_field_at(int fd_bin, const dir_record& record) {
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    if (read_sector_quietly(fd_bin, buffer, record.sector) < 0) return std::nullopt;
    const std::size_t data_end = user_data_at(buffer) + USER_DATA_SIZE;
    if (record.position >= data_end) return std::nullopt;
    const std::size_t length = std::min<std::size_t>(buffer[record.position], data_end - record.position);
    return xa_field_of(std::span(buffer).subspan(record.position, length));
}

std::uint64_t file_sectors(const dir_record& record) { return user_data_sectors(record.data_length); }

namespace {

// One pass over a file's sectors. With `xa` false it writes Form 1 user
// data and gives up (returning false) at the first Form 2 sector.
bool extract_pass(int fd_bin, const dir_record& record, const xa_field& field, xa_output form, bool xa, int out,
                  extract_result& result) {
    const std::uint64_t count = file_sectors(record);
    // Made once for the run: a tree of many files must not fault in fresh
    // pages for every one.
    static std::vector<std::uint8_t> sectors(CHUNK_SECTORS * SECTOR_SIZE);
    static std::vector<std::uint8_t> gathered(CHUNK_SECTORS * SECTOR_SIZE);
    std::uint64_t at = 0;  // where the next bytes go in the output
    if (xa && form == xa_output::cdxa) {
        const auto header = cdxa_header(field, count);
        if (!header) {
            errno = EFBIG;
            result.write_failed = true;
            return true;
        }
        if (pwrite_full(out, *header, 0) != header->size()) {
            result.write_failed = true;
            return true;
        }
        at = header->size();
    }
    bool form1 = false, form2 = false;
    std::uint64_t left = record.data_length;
    for (std::uint64_t done = 0; done < count;) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SECTORS, count - done));
        const auto chunk = std::span(sectors).first(n * SECTOR_SIZE);
        if (pread_full(fd_bin, chunk, (record.extent + done) * SECTOR_SIZE) != chunk.size()) {
            result.read_failed = true;
            return true;
        }
        std::size_t fill = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto sector = chunk.subspan(i * SECTOR_SIZE).first<SECTOR_SIZE>();
            const std::uint64_t index = record.extent + done + i;
            const bool is_form2 = form_of(sector) == sector_form::form2;
            if (is_form2 && !xa) return false;
            (is_form2 ? form2 : form1) = true;
            if (!edc_matches(sector)) result.bad_edc.push_back(index);
            if (!subheader_copies_agree(sector)) result.split_subheader.push_back(index);
            if (!xa) {
                const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(left, USER_DATA_SIZE));
                std::copy_n(user_data_of(sector).begin(), take, gathered.begin() + static_cast<std::ptrdiff_t>(fill));
                fill += take;
                left -= take;
            } else if (form == xa_output::raw2336) {
                const auto piece = raw2336_of(sector);
                std::copy(piece.begin(), piece.end(), gathered.begin() + static_cast<std::ptrdiff_t>(fill));
                fill += piece.size();
            }
        }
        const std::span<const std::uint8_t> bytes =
            xa && form == xa_output::cdxa ? std::span<const std::uint8_t>(chunk) : std::span(gathered).first(fill);
        if (pwrite_full(out, bytes, at) != bytes.size()) {
            result.write_failed = true;
            return true;
        }
        at += bytes.size();
        done += n;
    }
    result.kind = file_kind_of(form1, form2);
    return true;
}

}  // namespace

extract_result extract_file(int fd_bin, const dir_record& record, const xa_field& field, xa_output form,
                            int out) {
    extract_result result;
    if (extract_pass(fd_bin, record, field, form, false, out, result)) return result;
    // A Form 2 sector: the file is written anew, whole sectors from its start
    // (longer than the user data written so far, so nothing of that remains).
    result = extract_result{};
    (void)extract_pass(fd_bin, record, field, form, true, out, result);
    return result;
}

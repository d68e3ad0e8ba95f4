#include "run/ppf_session.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "format/ppf_layout.h"
#include "ops/ppf_apply.h"

namespace {

// A whole PPF file read into memory and its records, or nothing.
struct read_patch {
    std::optional<platform::bulk_buffer> buffer;
    ppf_patch patch;
    std::span<const std::uint8_t> bytes() const { return buffer->bytes(); }
};

bool read_patch_file(int fd, std::uint64_t size, read_patch& out) {
    const platform::bulk_buffer& b = out.buffer.emplace(static_cast<std::size_t>(size));
    if (!b.valid() || pread_full(fd, b.bytes(), 0) != size) return false;
    return read_ppf(b.bytes(), UINT64_MAX, out.patch).empty();
}

// True when every byte that a record of `part` sets, a record of `whole`
// sets to the same value, and `whole` sets more bytes.
bool strict_part(const read_patch& part, const read_patch& whole) {
    if (whole.patch.bytes <= part.patch.bytes) return false;
    std::vector<ppf_record> records;
    for_each_record(whole.patch, whole.bytes(), [&](const ppf_record& r) {
        records.push_back(r);
        return true;
    });
    std::sort(records.begin(), records.end(),
              [](const ppf_record& a, const ppf_record& b) { return a.image_at < b.image_at; });
    const auto old = whole.bytes();
    const auto now = part.bytes();
    return for_each_record(part.patch, now, [&](const ppf_record& r) {
        for (std::uint64_t at = r.image_at; at < r.image_at + r.length;) {
            auto w = std::upper_bound(records.begin(), records.end(), at,
                                      [](std::uint64_t x, const ppf_record& y) { return x < y.image_at; });
            if (w == records.begin() || at >= std::prev(w)->image_at + std::prev(w)->length) return false;
            --w;
            const std::uint64_t n = std::min(r.image_at + r.length, w->image_at + w->length) - at;
            if (!std::equal(now.begin() + static_cast<std::ptrdiff_t>(r.file_at + (at - r.image_at)),
                            now.begin() + static_cast<std::ptrdiff_t>(r.file_at + (at - r.image_at) + n),
                            old.begin() + static_cast<std::ptrdiff_t>(w->file_at + (at - w->image_at))))
                return false;
            at += n;
        }
        return true;
    });
}

}  // namespace

bool fits_ppf2(run_output& run, const run_settings& s, std::uint64_t image_size) {
    if (!s.file_ppf || image_size <= UINT32_MAX) return true;
    std::fprintf(run.out, "Image of %llu bytes is beyond the 4 GiB a PPF 2.0 file can describe -- refused\n",
                 static_cast<unsigned long long>(image_size));
    return false;
}


bool ppf_session::start(run_output& run, const run_settings& s,
                        const std::vector<platform::file_info>& inputs, std::vector<std::uint8_t> diz) {
    const auto& target = ppf_target(s);
    if (!target) return true;
    target_ = *target;
    // The run's own output must not land in the PPF file either.
    std::vector<platform::file_info> outputs;
    for (std::FILE* stream : {run.out, run.err})
        if (platform::file_info o; platform::query(stream, o)) outputs.push_back(o);
    if (!ppf_.create_temporary(run, target_, inputs, outputs)) return false;
    force_ = s.mode_force != 0;
    records_ = s.file_ppf3 ? ppf3_records(s.mode_undo != 0, std::move(diz)) : ppf2_records();
    return true;
}

bool ppf_session::begin(run_output& run, int fd_bin, std::uint64_t image_size,
                        const std::optional<std::string>& description) {
    return records_->begin(run, ppf_, fd_bin, image_size, description);
}

bool ppf_session::sectors(run_output& run, std::span<const std::uint8_t> old_bytes,
                          std::span<const std::uint8_t> new_bytes, std::uint64_t first) {
    return records_->sectors(run, ppf_, old_bytes, new_bytes, first);
}

bool ppf_session::finish(run_output& run, std::uint64_t) {
    if (!records_->end(run, ppf_)) return false;
    if (records_->records() == 0) {
        std::fprintf(run.out, "PPF file '%s' would hold no record: the run changes no byte -- refused\n",
                     target_.c_str());
        return false;
    }
    return keeps_whole_patch(run) && ppf_.commit(run);
}

// A run that finishes an interrupted one writes only what was still to be
// written: put over the first run's file, that would leave a patch that
// gives a wrong image with valid sectors. Such a file is kept, unless
// --force.
bool ppf_session::keeps_whole_patch(run_output& run) {
    const std::string old_path = ppf_.replaced();
    if (force_ || old_path.empty()) return true;
    const unique_fd old_fd = platform::open_read(old_path);
    platform::file_info old_info;
    read_patch whole, part;
    if (!old_fd.valid() || !platform::query(old_fd.get(), old_info) || !old_info.regular ||
        !read_patch_file(old_fd.get(), old_info.size, whole) ||
        !read_patch_file(ppf_.written_fd(), ppf_.size(), part) || !strict_part(part, whole))
        return true;
    std::fprintf(run.out,
                 "PPF file '%s' holds %llu records, and the %llu of this run are all among them: it is "
                 "the whole patch of an earlier run of this change -- refused (--force replaces it)\n",
                 target_.c_str(), static_cast<unsigned long long>(whole.patch.records),
                 static_cast<unsigned long long>(part.patch.records));
    return false;
}

void print_finish_hint(run_output& run, const run_settings& s, bool ppf_written) {
    const auto& target = patch_target(s);
    const char* noun = patch_noun(s);
    if (target && ppf_written)
        std::fprintf(run.out,
                     "%s '%s' is complete: it was written before the image.\n"
                     "Running the same command again finishes the image; give it another %s "
                     "name, or none: '%s' stays the whole patch.\n",
                     noun, target->c_str(), noun, target->c_str());
    else
        std::fputs("Running the same command again finishes the image.\n", run.out);
}

bool load_diz(run_state& run, std::vector<std::uint8_t>& diz) {
    const auto& path = run.settings.file_diz;
    if (!path) return true;
    const unique_fd fd = platform::open_read(*path);
    platform::file_info info;
    if (!fd.valid() || !platform::query(fd.get(), info)) {
        report_errno(run, "Failed to open file_id.diz file");
        return false;
    }
    if (!info.regular || info.size > MAX_DIZ) {
        std::fprintf(run.out, "file_id.diz file '%s' is not a regular file of at most %zu bytes -- refused\n",
                     path->c_str(), MAX_DIZ);
        return false;
    }
    if (info.size == 0) {
        std::fprintf(run.out, "file_id.diz file '%s' is empty: there is no text to carry -- refused\n",
                     path->c_str());
        return false;
    }
    diz.resize(static_cast<std::size_t>(info.size));
    if (read_full(fd.get(), diz) == diz.size()) return true;
    report_errno(run, "Failed to read file_id.diz file");
    return false;
}


std::uint64_t ppf_size_bound(const run_settings& s, std::uint64_t sectors) {
    if (s.file_ppf) return PPF2_HEADER_SIZE + PPF2_SECTOR_SIZE * sectors;
    // PPF 3.0: a record head for every 255 bytes, and the bytes twice with undo data.
    const std::uint64_t record_bytes = SECTOR_SIZE * (s.mode_undo ? 2 : 1) + 10 * PPF3_RECORD_HEAD;
    if (s.file_ppf3) return PPF2_HEADER_SIZE + MAX_DIZ + 36 + record_bytes * sectors;
    return 0;
}

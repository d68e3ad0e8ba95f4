#include "run/writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "io/new_file.h"
#include "io/progress.h"
#include "run/ppf_session.h"
#include "run/xdelta_session.h"

bool run_input::load(run_output& run) {
    if (streamed()) return true;
    whole_ = std::make_unique<platform::bulk_buffer>(static_cast<std::size_t>(size_));
    if (!whole_->valid()) {
        std::fprintf(run.out, "Patch of %llu bytes does not fit in memory -- refused\n",
                     static_cast<unsigned long long>(size_));
        return false;
    }
    const std::size_t got = pread_full(fd_, whole_->bytes(), at_);
    if (got == size_) return true;
    if (errno != 0) report_errno(run, "Failed to read patch file");
    else
        std::fprintf(run.out, "Patch file ended after %llu of its %llu bytes -- refused\n",
                     static_cast<unsigned long long>(at_ + got), static_cast<unsigned long long>(at_ + size_));
    return false;
}

std::span<const std::uint8_t> run_input::bytes(std::uint64_t at, std::size_t count,
                                               std::vector<std::uint8_t>& scratch) const {
    if (streamed()) {
        scratch.resize(count);
        return std::span(scratch).first(pread_full(fd_, scratch, at_ + at));
    }
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - std::min(at, size_)));
    return whole_->bytes().subspan(static_cast<std::size_t>(std::min(at, size_)), n);
}

namespace {

// Sectors read per system call when the target sectors are checked.
constexpr std::size_t CHECK_SECTORS = 128;

const_sector sector_in(std::span<const std::uint8_t> bytes, std::size_t i) {
    return const_sector(bytes.data() + i * SECTOR_SIZE, SECTOR_SIZE);
}


// A sector the run may not rewrite: no data sector at all (a sector never
// written, all zero, is written as a new one), not Mode 2, not at its own
// address; under the Form 1 rules (`form2` false) also a Form 2 sector, or
// one whose subheader's copies disagree on its form. Prints what it is.
bool foreign_sector(run_state& run, const_sector b, std::uint64_t sector, bool form2) {
    const auto index = static_cast<unsigned long long>(sector);
    if (!has_sync(b)) {
        if (std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; })) return false;
        std::fprintf(run.out,
                     "Sector %llu is not a data sector (no sync pattern, not blank) -- refused\n",
                     index);
        return true;
    }
    if (b[MODE_BYTE] != 2) {
        std::fprintf(run.out, "Sector %llu is a Mode %u sector, not Mode 2%s -- refused\n", index,
                     static_cast<unsigned>(b[MODE_BYTE]), form2 ? "" : " Form 1");
        return true;
    }
    if (!form2 && (b[SUBMODE_BYTE] & SUBMODE_FORM2) != 0) {
        std::fprintf(run.out,
                     "Sector %llu is a Mode 2 Form 2 sector (submode %02X), not Form 1 -- "
                     "refused\n",
                     index, static_cast<unsigned>(b[SUBMODE_BYTE]));
        return true;
    }
    if (!form2 && ((b[SUBMODE_BYTE] ^ b[SUBMODE_COPY_BYTE]) & SUBMODE_LAYOUT) != 0) {
        std::fprintf(run.out,
                     "Sector %llu has a subheader whose copies disagree on its form (submode %02X "
                     "and %02X) -- refused\n",
                     index, static_cast<unsigned>(b[SUBMODE_BYTE]), static_cast<unsigned>(b[SUBMODE_COPY_BYTE]));
        return true;
    }
    const auto want = header_address(sector + ADDRESS_BIAS);
    if (!std::equal(want.begin(), want.end(), b.begin() + HEADER)) {
        std::fprintf(run.out,
                     "Sector %llu carries address %02X:%02X:%02X, not %02X:%02X:%02X of its "
                     "place in the image -- refused\n",
                     index, b[HEADER], b[HEADER + 1], b[HEADER + 2], want[0], want[1], want[2]);
        return true;
    }
    return false;
}

bool reserve_sectors(run_output& run, int fd, std::uint64_t first, std::uint64_t count) {
    if (platform::reserve(fd, first * SECTOR_SIZE, count * SECTOR_SIZE)) return true;
    std::fprintf(run.out, "No room on disk for sectors %llu to %llu of the image: %s -- refused\n",
                 static_cast<unsigned long long>(first), static_cast<unsigned long long>(first + count - 1),
                 platform::error_text(errno));
    return false;
}

// True when the file open on `fd` still has the `size` it had when the run
// started; else says that the `what` changed its length and returns false.
bool kept_length(run_output& run, int fd, std::uint64_t size, const char* what) {
    platform::file_info now;
    if (platform::query(fd, now) && now.size == size) return true;
    clear_progress(run);
    std::fprintf(run.out, "The %s changed its length during the run: %llu bytes at its start, %llu now\n",
                 what, static_cast<unsigned long long>(size), static_cast<unsigned long long>(now.size));
    return false;
}

// Reads whole raw sectors of the image from `first` on into `out`. False
// after saying why not: a failed read, or an image cut short since the run
// started.
bool read_sectors(run_output& run, int fd, std::span<std::uint8_t> out, std::uint64_t first) {
    if (pread_full(fd, out, first * SECTOR_SIZE) == out.size()) return true;
    if (errno != 0) report_errno(run, "\nFailed to read sector");
    else
        std::fprintf(run.out, "\nThe image ends before sector %llu: it was cut short during the run\n",
                     static_cast<unsigned long long>(first + out.size() / SECTOR_SIZE - 1));
    return false;
}

// Reads sectors as read_sectors does; those from `exists_to` on, past the
// image's end before it grows, are new sectors: all zero.
bool read_old(run_state& run, int fd, std::span<std::uint8_t> out, std::uint64_t first, std::uint64_t exists_to) {
    const std::uint64_t have = first < exists_to ? std::min<std::uint64_t>(exists_to - first, out.size() / SECTOR_SIZE) : 0;
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(have * SECTOR_SIZE), out.end(), 0);
    return have == 0 || read_sectors(run, fd, out.first(static_cast<std::size_t>(have) * SECTOR_SIZE), first);
}

// True when `a` and `b` name one file, whether it exists yet or not: the
// same file, or the same name in the same folder.
bool same_name(const std::string& a, const std::string& b) {
    platform::file_info x, y;
    if (platform::query(a, x) && platform::query(b, y)) return platform::same_file(x, y);
    const std::string in_a = platform::folder_of(a), in_b = platform::folder_of(b);
    return a.substr(in_a.size()) == b.substr(in_b.size()) && platform::query(in_a.empty() ? "." : in_a, x) &&
           platform::query(in_b.empty() ? "." : in_b, y) && platform::same_file(x, y);
}

// The postgap a growing image ends with: the sectors it is modelled on, as
// they are, and as they become after the moved file.
struct postgap {
    std::vector<std::uint8_t> old_bytes;  // the image's bytes where the postgap goes (zero past its end)
    std::vector<std::uint8_t> new_bytes;
};

// One run of the writer.
class writer {
public:
    writer(run_state& run, const write_job& job, std::vector<write_part> parts)
        : run_(run), job_(job), parts_(std::move(parts)), bin_(job.bin.get()) {
        std::stable_sort(parts_.begin(), parts_.end(), [](const write_part& a, const write_part& b) {
            return a.source->first() < b.source->first();
        });
        for (const write_part& p : parts_) {
            if (!p.replace) continue;
            plans_.push_back(p.replace);
            const relocation* r = p.replace->moved ? &*p.replace->moved : nullptr;
            if (r && r->grows) grows_ = r;
            const std::vector<std::uint64_t> own = record_sectors(*p.replace);
            directories_.insert(directories_.end(), own.begin(), own.end());
        }
        std::sort(directories_.begin(), directories_.end());
        directories_.erase(std::unique(directories_.begin(), directories_.end()), directories_.end());
    }

    int run();

private:
    bool refuse();
    bool admit(const run_signals& signals);
    bool reserve();
    bool build_postgap();
    bool build_batch(const write_part& part, std::uint64_t from, batch& b);
    bool take_sector(std::uint64_t sector, batch& b);
    bool build_directory(std::uint64_t sector, batch& b);
    bool build_descriptor(std::uint64_t sector, batch& b);
    bool short_input(const write_part& part, std::uint64_t sector);
    bool write_patch(patch_session& patch, const run_signals& signals);
    bool commit(batch& b, const write_part* part);
    bool write_whole(std::span<const std::uint8_t> bytes, std::uint64_t first, const std::string& what);
    bool write_sectors(const run_signals& signals);
    bool interrupted(const run_signals& signals);
    void cut_back();
    std::vector<platform::file_info> inputs();
    bool admit_sector_list(new_file& list);

    static std::uint64_t end(const write_part& p) { return p.source->first() + p.source->count(); }
    bool growing(const write_part& p) const { return grows_ && p.replace && p.replace->moved && &*p.replace->moved == grows_; }
    bool boot_catalog(std::uint64_t sector) const {
        return std::any_of(plans_.begin(), plans_.end(), [&](const replace_plan* p) { return boot_catalog_sector(*p, sector); });
    }
    std::uint64_t source_sectors() const {
        std::uint64_t n = 0;
        for (const write_part& p : parts_) n += p.source->count();
        return n;
    }

    run_state& run_;
    const write_job& job_;
    std::vector<write_part> parts_;  // in ascending order of their first sectors
    std::vector<const replace_plan*> plans_;
    int bin_;
    const relocation* grows_ = nullptr;  // the image grows by a moved file
    std::vector<std::uint64_t> directories_;
    postgap tail_;
    // A growing image's sectors after its volume that the moved file takes,
    // as they were.
    std::vector<std::uint8_t> overwritten_;
    progress_meter* meter_ = nullptr;  // the run's progress line
    std::uint64_t done_ = 0;           // bytes of sectors through a pass, for it
    bool ppf_written_ = false;  // the patch file (PPF or xdelta) is in place
    bool wrote_ = false;       // a write of the image was begun
    bool tree_begun_ = false;  // the directory sectors are being rewritten
};

// Everything the writer refuses before it reads a sector: a patch that is
// the image, the source's own refusals, a PPF 2.0 file of an image that
// grows or is too large for it, and files a file-size limit would cut
// short. Prints why and returns false.
bool writer::refuse() {
    const run_settings& s = run_.settings;
    // Patching an image with itself would read back its own rewritten sectors.
    for (const write_part& p : parts_) {
        if (!platform::same_file(job_.image, p.source->input().info())) continue;
        std::fprintf(run_.out, "%s file '%s' is the .bin file itself -- refused\n", p.name ? "Host" : "Patch",
                     (p.name ? *p.name : *s.file_patch).c_str());
        return false;
    }
    for (const write_part& p : parts_)
        if (!p.source->refuse(run_)) return false;
    if (grows_ && s.file_ppf) {
        std::fprintf(run_.out,
                     "PPF 2.0 file '%s' records the image's size, and the move grows the image: give -P "
                     "-- refused\n",
                     s.file_ppf->c_str());
        return false;
    }
    if (!fits_ppf2(run_, s, job_.image.size)) return false;
    // A file-size limit would stop the writes part-way, inside a sector: the
    // run is refused before the first instead.
    std::uint64_t last_end = 0;
    for (const write_part& p : parts_)
        if (p.source->count() != 0) last_end = std::max(last_end, end(p));
    for (const std::uint64_t sector : directories_) last_end = std::max(last_end, sector + 1);
    if (grows_) last_end = std::max(last_end, grows_->end_sectors());
    const std::uint64_t need = job_.writes ? last_end * SECTOR_SIZE : 0;
    // PPF 3.0 records a grown image's appended sectors too.
    std::uint64_t recorded = source_sectors() + directories_.size();
    if (grows_) recorded += grows_->descriptors.size() + relocation::POSTGAP_SECTORS;
    if (s.file_ppf3 && grows_) recorded += grows_->end_sectors();
    return fits_size_limit(run_, std::max(need, ppf_size_bound(s, recorded)));
}

// Reads every sector the run rewrites before anything is written and checks
// that it may: the source's target sectors (a moved file past the image's
// end lies on sectors its plan found blank), under the source's rules, and
// the directory sectors of a replaced file, under the Form 1 rules. A
// growing image's postgap is read and built too.
bool writer::admit(const run_signals& signals) {
    std::vector<std::uint8_t> chunk(CHECK_SECTORS * SECTOR_SIZE);
    for (const write_part& p : parts_) {
        if (growing(p)) continue;
        sector_source& source = *p.source;
        for (std::uint64_t from = source.first(); from < end(p); from += CHECK_SECTORS) {
            if (signals.interrupted(run_, "before its first write")) return false;
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(CHECK_SECTORS, end(p) - from));
            if (!read_sectors(run_, bin_, std::span(chunk).first(n * SECTOR_SIZE), from)) return false;
            for (std::size_t i = 0; i < n; ++i) {
                if (foreign_sector(run_, sector_in(chunk, i), from + i, source.takes_form2())) return false;
                source.admitted(run_, sector_in(chunk, i), from + i);
            }
        }
    }
    std::array<std::uint8_t, SECTOR_SIZE> sector{};
    for (const std::uint64_t at : directories_)
        if (!read_sectors(run_, bin_, sector, at) || foreign_sector(run_, sector, at, false)) return false;
    return !grows_ || build_postgap();
}

// Reserves room on disk for the sectors the source writes and, where the
// image grows, for its postgap: a full disk stops the run here.
bool writer::reserve() {
    if (!job_.writes) return true;
    for (const write_part& p : parts_) {
        const bool ok = growing(p) ? reserve_sectors(run_, bin_, grows_->new_first, grows_->end_sectors() - grows_->new_first)
                                   : p.source->count() == 0 || reserve_sectors(run_, bin_, p.source->first(), p.source->count());
        if (!ok) return false;
    }
    return true;
}

// Reads the old postgap's sectors (and what lies where the new one goes)
// before anything is written, and builds the new one. False after a failed
// read.
bool writer::build_postgap() {
    const relocation& r = *grows_;
    const std::size_t bytes = relocation::POSTGAP_SECTORS * SECTOR_SIZE;
    tail_.new_bytes.resize(bytes);
    tail_.old_bytes.resize(bytes);
    overwritten_.resize(r.new_first < r.image_sectors ? static_cast<std::size_t>((r.image_sectors - r.new_first) * SECTOR_SIZE) : 0);
    if (!read_sectors(run_, bin_, tail_.new_bytes, r.tail_from) ||
        (!overwritten_.empty() && !read_sectors(run_, bin_, overwritten_, r.new_first)) ||
        !read_old(run_, bin_, tail_.old_bytes, r.new_first + r.new_sectors, r.image_sectors))
        return false;
    for (std::size_t i = 0; i < relocation::POSTGAP_SECTORS; ++i)
        rebuild_postgap_sector(std::span<std::uint8_t, SECTOR_SIZE>(tail_.new_bytes.data() + i * SECTOR_SIZE, SECTOR_SIZE),
                               r.new_first + r.new_sectors + i, r.tail_from + i < r.old_volume);
    return true;
}

// Reads the batch of target sectors from `from` on and has the source lay
// its input into copies of them. False after a failed or short read of the
// image.
bool writer::build_batch(const write_part& part, std::uint64_t from, batch& b) {
    b.directory = false;
    b.first = from;
    b.count = static_cast<std::size_t>(std::min<std::uint64_t>(BATCH_SECTORS, end(part) - from));
    if (!read_old(run_, bin_, std::span(b.old_bytes).first(b.count * SECTOR_SIZE), from,
                  grows_ ? grows_->image_sectors : UINT64_MAX))
        return false;
    part.source->fill(b);
    return true;
}

// A batch of the one sector of the tree at `sector`, its new bytes a copy of
// its old ones. False after a failed or short read.
bool writer::take_sector(std::uint64_t sector, batch& b) {
    b.directory = true;
    b.first = sector;
    b.count = b.complete = 1;
    if (!read_sectors(run_, bin_, std::span(b.old_bytes).first(SECTOR_SIZE), sector)) return false;
    std::copy_n(b.old_bytes.begin(), SECTOR_SIZE, b.new_bytes.begin());
    return true;
}

// A directory sector with the new size in every record of the file it
// holds, rebuilt. False after a failed or short read.
bool writer::build_directory(std::uint64_t sector, batch& b) {
    if (!take_sector(sector, b)) return false;
    for (const replace_plan* plan : plans_) update_records(b.sector(0), *plan, sector);
    encode_sectors(b.rebuilt(), sector);
    return true;
}

// A volume descriptor sector with the grown volume's size, rebuilt. False
// after a failed or short read.
bool writer::build_descriptor(std::uint64_t sector, batch& b) {
    if (!take_sector(sector, b)) return false;
    set_volume_size(b.sector(0), sector, grows_->volume_sectors);
    return true;
}

// The input's short read: the sector's trace stops at its read, and the
// source says what fell short.
bool writer::short_input(const write_part& part, std::uint64_t sector) {
    clear_progress(run_);
    std::string trace;
    append_index(trace, sector);
    append_read_sector(trace);
    print_trace(run_, trace);
    part.source->report_short(run_, sector);
    return false;
}

// Starts the patch file (PPF or xdelta), gives it every rebuilt sector
// (the source's, a replaced file's directory sectors, a grown image's volume
// descriptors and postgap) in ascending order of their offsets, and puts it
// in place. False after saying why not.
bool writer::write_patch(patch_session& patch, const run_signals& signals) {
    if (!patch.begin(run_, bin_, job_.image.size, run_.settings.str_desc)) return false;
    batch b;
    auto add = [&] { return patch.sectors(run_, b.old_sectors(), b.new_sectors(), b.first); };
    // Every rebuilt sector in ascending order: the directory sectors (and,
    // where the image grows, the volume descriptors) before, between or after
    // the parts' sectors, wherever they lie; a moved file's new postgap
    // follows it.
    enum class kind { part, directory, descriptor, postgap };
    struct item {
        std::uint64_t sector;
        kind what;
        const write_part* part;
    };
    std::vector<item> items;
    for (const write_part& p : parts_) items.push_back({p.source->first(), kind::part, &p});
    for (const std::uint64_t sector : directories_) items.push_back({sector, kind::directory, nullptr});
    if (grows_) {
        for (const std::uint64_t sector : grows_->descriptors) items.push_back({sector, kind::descriptor, nullptr});
        items.push_back({grows_->new_first + grows_->new_sectors, kind::postgap, nullptr});
    }
    std::stable_sort(items.begin(), items.end(), [](const item& x, const item& y) { return x.sector < y.sector; });
    for (const item& e : items) {
        switch (e.what) {
        case kind::directory:
        case kind::descriptor:
            if (!(e.what == kind::descriptor ? build_descriptor(e.sector, b) : build_directory(e.sector, b)) || !add())
                return false;
            break;
        case kind::postgap:
            if (!patch.sectors(run_, tail_.old_bytes, tail_.new_bytes, e.sector)) return false;
            break;
        case kind::part:
            for (std::uint64_t from = e.sector; from < end(*e.part); from += BATCH_SECTORS) {
                if (signals.interrupted(run_, "before its first write")) return false;
                if (!build_batch(*e.part, from, b)) return false;
                if (b.complete != b.count) return short_input(*e.part, from + b.complete);
                if (!add()) return false;
                meter_->update(done_ += b.count * SECTOR_SIZE);
            }
            break;
        }
    }
    return patch.finish(run_, grows_ ? grows_->end_sectors() * SECTOR_SIZE : job_.image.size);
}

// Writes the batch's rebuilt sectors back (unless the run is dry) and traces
// each. On a failed write, the sectors before the failing one are written
// and traced, the failing one's trace line stops where the write failed,
// and a sector the write left torn gets its old bytes back. False after a
// failure has been reported.
bool writer::commit(batch& b, const write_part* part) {
    const std::span<const std::uint8_t> sectors = b.rebuilt();
    std::size_t done = sectors.size();
    wrote_ = wrote_ || (job_.writes && !sectors.empty());
    if (job_.writes && !sectors.empty()) done = pwrite_full(bin_, sectors, b.first * SECTOR_SIZE);
    const int write_errno = errno;
    const std::size_t written = done / SECTOR_SIZE;
    std::string trace;
    for (std::size_t i = 0; i < b.complete; ++i) {
        append_index(trace, b.first + i);
        append_read_sector(trace);
        if (b.directory) {
            if (boot_catalog(b.first)) trace += " | BOOT CATALOG";
            else append_directory(trace);
            append_rebuilt(trace);
        } else {
            part->source->trace(trace, b, i);
        }
        if (i == written) {
            trace.pop_back();  // the line stops where the write failed
            break;
        }
    }
    print_trace(run_, trace);
    if (done == sectors.size()) return true;
    errno = write_errno;
    report_errno(run_, "\nFailed to write sector");
    const std::uint64_t broken = b.first + written;
    const bool torn = done % SECTOR_SIZE != 0 &&
                      pwrite_full(bin_, sector_in(b.old_bytes, written), broken * SECTOR_SIZE) != SECTOR_SIZE;
    if (torn)
        std::fprintf(run_.out, "Sector %llu is torn: part of it holds the patch, the rest its old bytes\n",
                     static_cast<unsigned long long>(broken));
    else
        std::fprintf(run_.out, "Sector %llu and those after it keep their old bytes\n",
                     static_cast<unsigned long long>(broken));
    return false;
}

// Writes `bytes` of whole sectors from sector `first` on (unless the run is
// dry) after the trace line `what`. False after reporting a failed write.
bool writer::write_whole(std::span<const std::uint8_t> bytes, std::uint64_t first, const std::string& what) {
    print_trace(run_, what);
    wrote_ = wrote_ || job_.writes;
    if (!job_.writes || pwrite_full(bin_, bytes, first * SECTOR_SIZE) == bytes.size()) return true;
    report_errno(run_, "\nFailed to write sector");
    return false;
}

// True, after saying what the run leaves and how to finish it, when a
// signal stops the write pass.
bool writer::interrupted(const run_signals& signals) {
    if (!signals.interrupted(run_, "after the sectors traced above")) return false;
    if (job_.writes) print_finish_hint(run_, run_.settings, ppf_written_);
    return true;
}

// The write pass: the source's sectors a batch at a time, a grown image's
// postgap, then the tree: the directory sectors of a replaced file and a
// grown volume's descriptors.
bool writer::write_sectors(const run_signals& signals) {
    batch b;
    for (const write_part& p : parts_)
        for (std::uint64_t from = p.source->first(); from < end(p); from += BATCH_SECTORS) {
            if (interrupted(signals)) return false;
            if (!build_batch(p, from, b)) return false;
            // An image cut short meanwhile is not written past its new end
            // with sectors read before the cut.
            const std::uint64_t batch_end = (from + b.count) * SECTOR_SIZE;
            platform::file_info now;
            if (job_.writes && batch_end <= job_.image.size && platform::query(bin_, now) && now.size < batch_end) {
                (void)kept_length(run_, bin_, job_.image.size, "image");
                return false;
            }
            if (!commit(b, &p)) return false;
            if (b.complete != b.count) return short_input(p, from + b.complete);
            meter_->update(done_ += b.count * SECTOR_SIZE);
        }
    // A growing image takes its postgap too before the tree names the file.
    if (grows_) {
        const std::uint64_t first = grows_->new_first + grows_->new_sectors;
        char line[120];
        std::snprintf(line, sizeof line, "Postgap: sectors %llu to %llu, as sectors %llu to %llu were\n",
                      static_cast<unsigned long long>(first),
                      static_cast<unsigned long long>(first + relocation::POSTGAP_SECTORS - 1),
                      static_cast<unsigned long long>(grows_->tail_from),
                      static_cast<unsigned long long>(grows_->tail_from + relocation::POSTGAP_SECTORS - 1));
        if (interrupted(signals) || !write_whole(tail_.new_bytes, first, line))
            return false;
    }
    tree_begun_ = true;
    for (const std::uint64_t sector : directories_)
        if (!build_directory(sector, b) || !commit(b, nullptr)) return false;
    if (grows_)
        for (const std::uint64_t sector : grows_->descriptors) {
            if (!build_descriptor(sector, b)) return false;
            std::string trace;
            append_index(trace, sector);
            append_read_sector(trace);
            trace += " | VOLUME SIZE(" + std::to_string(grows_->volume_sectors) + ")";
            append_rebuilt(trace);
            if (!write_whole(b.rebuilt(), sector, trace)) return false;
        }
    return true;
}

// Before the tree names the moved file, a grown image goes back to what it
// was: the sectors after its volume that the file took get their old bytes
// back, and the image its length.
void writer::cut_back() {
    if (!grows_ || !job_.writes || tree_begun_) return;
    const auto first = static_cast<unsigned long long>(grows_->new_first);
    const auto last = static_cast<unsigned long long>(grows_->image_sectors - 1);
    platform::file_info now;
    const bool longer = platform::query(bin_, now) && now.size != job_.image.size;
    bool restored = true;
    if (wrote_ && !overwritten_.empty()) {
        restored = pwrite_full(bin_, overwritten_, grows_->new_first * SECTOR_SIZE) == overwritten_.size();
        char what[120];
        std::snprintf(what, sizeof what, "Failed to give sectors %llu to %llu their old bytes back", first, last);
        if (!restored) report_errno(run_, what);
        else if (longer) std::fprintf(run_.out, "Sectors %llu to %llu have their old bytes back\n", first, last);
        else
            std::fprintf(run_.out, "Sectors %llu to %llu have their old bytes back: the image is as it was\n", first,
                         last);
    }
    if (!longer) return;
    if (!platform::truncate(bin_, job_.image.size)) {
        char what[120];
        std::snprintf(what, sizeof what, "Failed to cut the image back to its %llu bytes",
                      static_cast<unsigned long long>(job_.image.size));
        report_errno(run_, what);
    } else if (restored) {
        std::fprintf(run_.out, "The image is cut back to its %llu bytes: it is as it was\n",
                     static_cast<unsigned long long>(job_.image.size));
    }
}

// Every file the run reads: the image (with the cue sheet it was given by,
// and the files that names), the patch, and the file_id.diz text.
std::vector<platform::file_info> writer::inputs() {
    std::vector<platform::file_info> files{job_.image};
    for (const write_part& p : parts_) files.push_back(p.source->input().info());
    files.insert(files.end(), job_.sheet.begin(), job_.sheet.end());
    if (platform::file_info diz; run_.settings.file_diz && platform::query(*run_.settings.file_diz, diz))
        files.push_back(diz);
    return files;
}

// The sector list may not land on an input, the run's own output or its
// PPF file (which need not exist yet). False after saying why not.
bool writer::admit_sector_list(new_file& list) {
    const run_settings& s = run_.settings;
    const std::string& path = *s.file_lba_list;
    if (!admit_output(run_, list, path, inputs())) return false;
    std::string ppf;
    if (patch_target(s) && platform::resolve_links(*patch_target(s), ppf) && same_name(ppf, path)) {
        std::fprintf(run_.out, "Sector list '%s' is the %s of this run -- refused\n", path.c_str(), patch_noun(s));
        return false;
    }
    return true;
}

int writer::run() {
    const run_settings& s = run_.settings;
    if (!refuse()) return error_exit(run_);
    // The sector list is judged now and created with the PPF file, before
    // the image's first write; it is put in place once the image is whole.
    std::optional<new_file> list;
    if (job_.sector_list && !plans_.empty() && !admit_sector_list(list.emplace("Sector list"))) return error_exit(run_);
    // From the first read of the target sectors on, a signal stops the run
    // only between batches of sectors.
    const run_signals signals(run_.out, true);
    const auto fail = [&] {
        cut_back();
        return error_exit(run_);
    };
    // Several inputs share the memory of the largest (or 64 MiB): those read
    // whole go first, the rest are read as the run goes.
    std::uint64_t budget = 64ULL << 20;
    for (const write_part& p : parts_)
        if (!p.source->input().streamed()) budget = std::max(budget, p.source->input().size());
    for (const write_part& p : parts_) {
        run_input& in = p.source->input();
        if (in.streamed()) continue;
        if (in.size() > budget) in.stream();
        else budget -= in.size();
    }
    for (const write_part& p : parts_)
        if (!p.source->load(run_)) return fail();
    if (!admit(signals) || !reserve()) return fail();
    const bool write = job_.writes;
    ppf_session ppf;
    xdelta_session xdelta;
    patch_session* patch = nullptr;
    if (ppf_target(s)) {
        std::vector<std::uint8_t> diz;
        if (!load_diz(run_, diz)) return fail();
        if (!ppf.start(run_, s, inputs(), std::move(diz))) {
            cut_back();
            return STATUS_FAIL;
        }
        patch = &ppf;
    } else if (s.file_xdelta) {
        if (!xdelta.start(run_, s, inputs())) {
            cut_back();
            return STATUS_FAIL;
        }
        patch = &xdelta;
    }
    if (list && !list->create(run_)) return fail();
    if (job_.says_start) print_start(run_, job_.start);
    tprintf(trace_stream(run_), "Patching .bin file\n");
    // Each pass reads (and the last writes) every sector of the source.
    progress_meter meter(run_, (patch ? 2 : 1) * source_sectors() * SECTOR_SIZE);
    meter_ = &meter;
    if (patch && !write_patch(*patch, signals)) return fail();
    ppf_written_ = patch != nullptr;
    if (!write_sectors(signals)) return fail();
    meter.clear();
    for (const replace_plan* plan : plans_) print_record_changes(run_, *plan);
    std::fputs(job_.summary.c_str(), run_.out);

    // Success is reported only once everything written is on disk, and the
    // files are still what the run started with.
    if (write && !platform::sync_file(bin_)) {
        report_errno(run_, "Failed to sync .bin file");
        return error_exit(run_);
    }
    const std::uint64_t image_size = grows_ && write ? grows_->end_sectors() * SECTOR_SIZE : job_.image.size;
    if (!kept_length(run_, bin_, image_size, "image")) return error_exit(run_);
    for (const write_part& p : parts_)
        if (!kept_length(run_, p.source->input().fd(), p.source->input().info().size,
                         p.name ? ("file '" + *p.name + "'").c_str() : "patch file"))
            return error_exit(run_);
    if (!finish_writes(run_, {&job_.bin}, false)) return error_exit(run_);
    if (list) {
        const std::string table = sector_table(plans_);
        const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(table.data()), table.size());
        if (write_full(list->fd(), bytes) != bytes.size()) {
            report_errno(run_, ("Failed to write Sector list '" + *s.file_lba_list + "'").c_str());
            return error_exit(run_);
        }
        if (!list->commit(run_)) return error_exit(run_);
    }
    if (!write)
        std::fputs(patch || list ? "Dry run: nothing written to the image\n" : "Dry run: nothing written\n",
                   run_.out);
    std::fputs("All done.\n", run_.out);
    return STATUS_OK;
}

}  // namespace

int write_image(run_state& run, const write_job& job, sector_source& source) {
    return writer(run, job, {write_part{&source, job.replace, nullptr}}).run();
}

int write_image(run_state& run, const write_job& job, std::vector<write_part> parts) {
    return writer(run, job, std::move(parts)).run();
}

// The check run (-c): reads every sector of an image, or of the data tracks
// of a cue sheet, judges it and reports the bad ones; with -w rebuilds the
// EDC and parity of those that may be repaired, in place and (with -p) into
// a PPF file.
#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "format/cue.h"
#include "io/progress.h"
#include "modes/modes.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/ppf_session.h"
#include "run/xdelta_session.h"
#include "run/settings.h"
#include "sector/judge.h"

namespace {

// Sectors per read. Up to two threads read and judge, each at most two
// batches ahead of the report.
constexpr std::size_t SCAN_BATCH = 64;
constexpr unsigned MAX_WORKERS = 2;

// A file the run checks: open for reading, or for reading and writing and
// locked when the run repairs it.
struct scan_file {
    unique_fd fd;
    platform::file_info info;
};

// Opens a file of the run and measures it: a repairing run locks its files
// against every other run, a checking one keeps writers out while it reads.
open_result open_scan_file(scan_file& f, const std::string& path, bool writes) {
    const open_result opened = open_locked(path, writes ? file_access::write : file_access::read, f.fd);
    if (opened != open_result::ok) return opened;
    return platform::query(f.fd.get(), f.info) ? open_result::ok : open_result::open_failed;
}

// Consecutive sectors of one file that the run reads: the image (or its
// -o/-k range), or one data track of a cue sheet.
struct stretch {
    int fd = -1;
    std::uint64_t first = 0;       // its first sector in the file
    std::uint64_t count = 0;
    std::uint64_t disc_first = 0;  // the disc's number of that sector
    unsigned track = 0;            // 0 for an image
};

// Up to SCAN_BATCH sectors of one stretch, read and judged together.
struct batch {
    std::size_t stretch = 0;
    std::uint64_t from = 0;  // sectors into the stretch
    std::size_t count = 0;
};

// A batch's sectors as read (and, where repaired, rebuilt), and their verdicts.
struct batch_results {
    std::size_t batch = SIZE_MAX;  // which batch it holds
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint8_t> read;  // with -w: the sectors as they were read
    std::vector<sector_verdict> verdicts;
    int read_errno = 0;  // not 0: the read failed
};

// Reads and judges the batches on one thread per core (two at most), and
// hands the results out in batch order, so the report keeps sector order
// while reading, judging and writing overlap. Where the build has no threads
// (or there is one batch) each batch is read and judged when it is asked for.
class scanner {
public:
    scanner(const std::vector<stretch>& stretches, const std::vector<batch>& batches, bool repair)
        : stretches_(stretches), batches_(batches), repair_(repair) {
        // A single batch is read when it is asked for: a thread would only
        // make the caller wait for it.
        const std::size_t workers = batches.size() > 1 ? platform::helper_threads(MAX_WORKERS) : 0;
        results_.resize(std::max<std::size_t>(2 * workers, 1));
        for (std::size_t w = 0; w < workers; ++w)
            threads_.emplace_back([this, w, workers] { work(w, workers); });
    }
    scanner(const scanner&) = delete;
    scanner& operator=(const scanner&) = delete;
    ~scanner() {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        for (std::thread& t : threads_) t.join();
    }

    // The results of batch i, once they are in: the caller is then done with
    // every batch before i. They stay as they are until the next call.
    batch_results& results(std::size_t i) {
        if (threads_.empty()) {
            batch_results& r = results_.front();
            fill(r, batches_[i]);
            r.batch = i;
            return r;
        }
        std::unique_lock lock(mutex_);
        done_ = i;
        changed_.notify_all();
        batch_results& r = results_[i % results_.size()];
        changed_.wait(lock, [&] { return r.batch == i; });
        return r;
    }

private:
    void work(std::size_t first, std::size_t step) {
        for (std::size_t i = first; i < batches_.size(); i += step) {
            batch_results& r = results_[i % results_.size()];
            {
                std::unique_lock lock(mutex_);
                // Its place is free once the caller is done with the batch there.
                changed_.wait(lock, [&] { return stopping_ || i < done_ + results_.size(); });
                if (stopping_) return;
            }
            fill(r, batches_[i]);
            {
                const std::lock_guard lock(mutex_);
                r.batch = i;
            }
            changed_.notify_all();
        }
    }

    void fill(batch_results& r, const batch& b) const {
        const stretch& s = stretches_[b.stretch];
        r.bytes.resize(b.count * SECTOR_SIZE);
        r.verdicts.resize(b.count);
        errno = 0;
        const std::size_t got = pread_full(s.fd, r.bytes, (s.first + b.from) * SECTOR_SIZE);
        // A read that ends early without an error: the file got shorter.
        r.read_errno = got == r.bytes.size() ? 0 : errno != 0 ? errno : EIO;
        if (r.read_errno != 0) return;
        if (repair_) r.read = r.bytes;
        for (std::size_t k = 0; k < b.count; ++k)
            r.verdicts[k] = check_sector(sector_span(r.bytes.data() + k * SECTOR_SIZE, SECTOR_SIZE),
                                         s.disc_first + b.from + k + ADDRESS_BIAS, repair_);
    }

    const std::vector<stretch>& stretches_;
    const std::vector<batch>& batches_;
    const bool repair_;
    std::vector<batch_results> results_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t done_ = 0;  // the caller is done with every batch before this one
    bool stopping_ = false;
};

// What the summary counts.
struct tally {
    std::array<std::uint64_t, SECTOR_KINDS> kinds{};
    std::array<std::uint64_t, zone::COUNT> zones{};
    std::uint64_t bad = 0;
    std::uint64_t over_header = 0;
    std::uint64_t repaired = 0;
    std::uint64_t left = 0;      // bad once the repairs are made
    std::uint64_t audio = 0;     // sectors of audio tracks, not read
    std::uint64_t trailing = 0;  // bytes after the last whole sector of a file

    void count(const sector_verdict& v) {
        ++kinds[static_cast<std::size_t>(v.kind)];
        for (std::size_t z = 0; z < zone::COUNT; ++z) zones[z] += (unsigned{v.zones} >> z) & 1U;
        bad += v.bad() ? 1U : 0U;
        over_header += (v.zones & zone::PARITY_OVER_HEADER) != 0 ? 1U : 0U;
        repaired += v.repaired ? 1U : 0U;
        left += v.bad_after() ? 1U : 0U;
    }
};

// What a run reads: its files and the stretches of them it checks.
struct scan_plan {
    std::vector<scan_file> files;  // the image, or the cue sheet's files in its order
    std::vector<stretch> stretches;
    tally counts;
};

std::optional<int> plan_image(run_state& run, bool writes, scan_plan& plan) {
    const run_settings& s = run.settings;
    scan_file& image = plan.files.emplace_back();
    switch (open_scan_file(image, *s.file_bin, writes)) {
        case open_result::ok: break;
        case open_result::busy:
            std::fprintf(run.out, "Image '%s' is being written by another run -- refused\n", s.file_bin->c_str());
            return STATUS_FAIL;
        case open_result::open_failed:
        case open_result::lock_failed: report_errno(run, "Failed to open .bin file"); return STATUS_FAIL;
    }
    if (refuse_iso_image(run, image.fd.get(), *s.file_bin)) return STATUS_FAIL;
    const std::uint64_t sectors = image.info.size / SECTOR_SIZE;
    const std::uint64_t first = s.offset / SECTOR_SIZE;
    const std::uint64_t count = s.count != 0 ? s.count : sectors - std::min(first, sectors);
    if (first > sectors || count > sectors - first) {
        std::fprintf(run.out, "Sector %llu lies past the image's %llu whole sectors -- refused\n",
                     static_cast<unsigned long long>(std::max(first, sectors)),
                     static_cast<unsigned long long>(sectors));
        return STATUS_FAIL;
    }
    plan.stretches.push_back({image.fd.get(), first, count, first, 0});
    plan.counts.trailing = image.info.size % SECTOR_SIZE;
    tprintf(trace_stream(run), "Checking %llu sectors from sector %llu\n",
                 static_cast<unsigned long long>(count), static_cast<unsigned long long>(first));
    return std::nullopt;
}

// Reads the cue sheet, opens its files and lays its tracks out on the disc.
std::optional<int> plan_cue(run_state& run, bool writes, scan_plan& plan) {
    const std::string& path = *run.settings.file_bin;
    const auto refuse = [&](std::size_t line, const std::string& what) { return refuse_cue_line(run, path, line, what); };
    cue_sheet sheet;
    if (const auto stop = read_cue_sheet(run, path, sheet)) return stop;
    cue_error error;
    std::vector<std::uint64_t> sectors;
    for (const cue_file& f : sheet.files) {
        const std::string file_path = cue_file_path(path, f);
        switch (open_scan_file(plan.files.emplace_back(), file_path, writes)) {
            case open_result::ok: break;
            case open_result::busy: errno = EWOULDBLOCK; [[fallthrough]];
            case open_result::open_failed:
            case open_result::lock_failed:
                return refuse(f.line, cue_file_unopened(path, f, errno));
        }
        sectors.push_back(plan.files.back().info.size / SECTOR_SIZE);
        plan.counts.trailing += plan.files.back().info.size % SECTOR_SIZE;
    }
    if (!lay_out_cue(sheet, sectors, error)) return refuse(error.line, error.what);
    for (const cue_track& t : sheet.tracks) {
        tprintf(trace_stream(run), "Track %u (%s): %llu sectors from sector %llu in %s\n", t.number,
                     track_mode_name(t.mode),
                     static_cast<unsigned long long>(t.count),
                     static_cast<unsigned long long>(t.disc_first), sheet.files[t.file].name.c_str());
        if (t.mode == track_mode::audio)
            plan.counts.audio += t.count;
        else
            plan.stretches.push_back(
                {plan.files[t.file].fd.get(), t.first, t.count, t.disc_first, t.number});
    }
    return std::nullopt;
}

// Refusals that need the files: a PPF file for an image PPF 2.0 cannot
// describe, and image writes that a file-size limit would cut inside a sector.
bool refuse_scan(run_state& run, bool writes, const scan_plan& plan) {
    const run_settings& s = run.settings;
    if (!fits_ppf2(run, s, plan.files.front().info.size)) return false;
    std::uint64_t need = 0;
    for (const stretch& st : plan.stretches) need = std::max(need, (st.first + st.count) * SECTOR_SIZE);
    return !writes || fits_size_limit(run, need);
}

// Writes a batch's repaired sectors back in place, neighbours in one go.
// Returns how many of the batch's sectors come before the first that did not
// reach the image whole: all of them when every write worked (errno tells
// why not).
std::size_t write_repairs(const stretch& st, const batch& b, const batch_results& r) {
    for (std::size_t k = 0; k < b.count;) {
        std::size_t end = k;
        while (end < b.count && r.verdicts[end].repaired) ++end;
        if (end == k) {
            ++k;
            continue;
        }
        const auto bytes = std::span(r.bytes).subspan(k * SECTOR_SIZE, (end - k) * SECTOR_SIZE);
        const std::size_t done = pwrite_full(st.fd, bytes, (st.first + b.from + k) * SECTOR_SIZE);
        if (done != bytes.size()) return k + done / SECTOR_SIZE;
        k = end;
    }
    return b.count;
}

void append_line(std::string& lines, const sector_verdict& v, std::uint64_t sector, unsigned track,
                 const char* repaired) {
    lines += "Sector " + std::to_string(sector) + " (" + kind_name(v.kind) + "): ";
    append_zones(lines, v.zones);
    if (track != 0) lines += " in track " + std::to_string(track);
    if (v.repaired) lines += repaired;
    lines += '\n';
}

// Where a pass over the batches puts the repairs: the PPF file, or the
// image and the report. A repairing run with a PPF file makes two passes,
// so the PPF file is in place before the image is first written.
struct pass {
    patch_session* ppf = nullptr;
    bool write = false;   // the repairs go into the image
    bool report = false;  // the bad sectors are reported and counted
};

// Reads, judges and (for a reporting pass) reports every batch, with the
// repairs going where the pass says. Returns the exit status when the run
// stops early.
std::optional<int> scan_batches(run_state& run, scan_plan& plan, const run_signals& signals,
                                const pass& p) {
    const run_settings& s = run.settings;
    const char* repaired = s.mode_nowrite ? " -- would be repaired" : " -- repaired";
    std::vector<batch> batches;
    for (std::size_t i = 0; i < plan.stretches.size(); ++i)
        for (std::uint64_t from = 0; from < plan.stretches[i].count; from += SCAN_BATCH)
            batches.push_back({i, from, static_cast<std::size_t>(std::min<std::uint64_t>(
                                            SCAN_BATCH, plan.stretches[i].count - from))});
    scanner scan(plan.stretches, batches, s.mode_repair != 0);
    std::uint64_t done = 0, total = 0;
    for (const batch& b : batches) total += b.count * SECTOR_SIZE;
    progress_meter meter(run, total);
    std::string lines;
    for (std::size_t i = 0; i < batches.size(); ++i) {
        if (signals.pending()) {
            meter.clear();
            std::fputs(p.report ? "\nInterrupted: the run stops after the sectors reported above\n"
                                : "\nInterrupted: the run stops before its first write\n",
                       run.out);
            if (p.write) print_finish_hint(run, s, patch_target(s).has_value());
            return error_exit(run);
        }
        const batch& b = batches[i];
        const stretch& st = plan.stretches[b.stretch];
        const batch_results& r = scan.results(i);
        if (r.read_errno != 0) {
            errno = r.read_errno;
            report_errno(run, "\nFailed to read sector");
            return error_exit(run);
        }
        for (std::size_t k = 0; p.ppf != nullptr && k < b.count; ++k) {
            if (!r.verdicts[k].repaired) continue;
            const auto at = std::span(r.bytes).subspan(k * SECTOR_SIZE, SECTOR_SIZE);
            const auto was = std::span(r.read).subspan(k * SECTOR_SIZE, SECTOR_SIZE);
            if (!p.ppf->sectors(run, was, at, st.first + b.from + k)) return error_exit(run);
        }
        const std::size_t settled = p.write ? write_repairs(st, b, r) : b.count;
        const int write_errno = errno;
        lines.clear();
        for (std::size_t k = 0; p.report && k < settled; ++k) {
            plan.counts.count(r.verdicts[k]);
            if (r.verdicts[k].zones != 0)
                append_line(lines, r.verdicts[k], st.disc_first + b.from + k, st.track, repaired);
        }
        // The bad sectors are what the check is for: a quiet run reports them too.
        if (!lines.empty()) meter.clear();
        std::fwrite(lines.data(), 1, lines.size(), run.out);
        meter.update(done += b.count * SECTOR_SIZE);
        if (settled != b.count) {
            errno = write_errno;
            report_errno(run, "\nFailed to write sector");
            return error_exit(run);
        }
    }
    return std::nullopt;
}

void print_row(std::FILE* out, const std::string& label, std::uint64_t value, const char* note = "") {
    std::fprintf(out, "%-19s: %llu%s\n", label.c_str(), static_cast<unsigned long long>(value), note);
}

void print_summary(run_state& run, const tally& t, bool cue) {
    const run_settings& s = run.settings;
    std::FILE* out = run.out;
    std::uint64_t read = 0;
    for (const std::uint64_t n : t.kinds) read += n;
    std::fputs("\n", out);
    print_row(out, "Sectors read", read);
    for (const sector_kind k : {sector_kind::mode0, sector_kind::mode1, sector_kind::form1,
                                sector_kind::form2, sector_kind::unknown, sector_kind::not_data})
        print_row(out, std::string("  ") + kind_name(k), t.kinds[static_cast<std::size_t>(k)],
                  k == sector_kind::not_data ? " (skipped)" : "");
    if (cue) print_row(out, "Audio tracks", t.audio, " sectors (not read)");
    print_row(out, "Bad sectors", t.bad);
    for (std::size_t z = 0; z < zone::COUNT; ++z) {
        std::string label = "  ";
        append_zones(label, static_cast<std::uint8_t>(1U << z));
        print_row(out, label, t.zones[z]);
    }
    print_row(out, "Parity over header", t.over_header, " (good, left as it is)");
    if (s.mode_repair)
        print_row(out, s.mode_nowrite ? "Would repair" : "Repaired", t.repaired,
                  s.mode_nowrite ? " (dry run: nothing written)" : "");
    if (t.trailing != 0)
        print_row(out, "Trailing bytes", t.trailing, " (not a whole sector: not checked)");
    print_row(out, "Bad sectors left", t.left);
}

}  // namespace

int check_mode(run_state& run, opened_image& opened) {
    const run_settings& s = run.settings;
    const bool cue = is_cue_file(*s.file_bin);
    const auto& target = patch_target(s);
    std::FILE* block = trace_stream(run);
    tprintf(block, "Check %s : %s\n", cue ? "cue " : ".bin", s.file_bin->c_str());
    if (s.file_xdelta) tprintf(block, "xdelta File : %s\n", target->c_str());
    else if (target) tprintf(block, "PPF%s0 File : %s\n", s.file_ppf3 ? "3" : "2", target->c_str());
    tprintf(block, "\n");
    if (cue && (s.offset != 0 || s.count != 0 || target)) {
        std::fputs(s.file_xdelta ? "A cue sheet is checked whole and gives no xdelta file: -o, -k and --xdelta "
                                   "take an image -- refused\n"
                                 : "A cue sheet is checked whole and gives no PPF file: -o, -k, -p and -P take an "
                                   "image -- refused\n",
                   run.out);
        return STATUS_FAIL;
    }
    scan_plan plan;
    const bool write = opened.writes;
    if (const auto stop = cue ? plan_cue(run, write, plan) : plan_image(run, write, plan)) return *stop;
    if (!refuse_scan(run, write, plan)) return STATUS_FAIL;

    // Held from before the PPF file is made to after its temporary file is gone.
    const run_signals signals(run.out, s.mode_repair != 0);
    ppf_session ppf;
    xdelta_session xdelta;
    if (target) {
        const scan_file& image = plan.files.front();
        patch_session* patch = &ppf;
        if (s.file_xdelta) {
            if (!xdelta.start(run, s, {image.info})) return STATUS_FAIL;
            patch = &xdelta;
        } else {
            std::vector<std::uint8_t> diz;
            if (!load_diz(run, diz)) return STATUS_FAIL;
            if (!ppf.start(run, s, {image.info}, std::move(diz))) return STATUS_FAIL;
        }
        if (!patch->begin(run, image.fd.get(), image.info.size, s.str_desc)) return error_exit(run);
        // A dry run reports in the same pass; a repairing one reports as it writes.
        if (const auto stop = scan_batches(run, plan, signals, {patch, false, !write})) return *stop;
        if (!patch->finish(run, image.info.size)) return error_exit(run);
    }
    if (!target || write)
        if (const auto stop = scan_batches(run, plan, signals, {nullptr, write, true})) return *stop;

    // Success is reported only once everything written is on disk.
    std::vector<unique_fd*> files;
    for (scan_file& f : plan.files) files.push_back(&f.fd);
    if (!finish_writes(run, files, write)) return error_exit(run);
    print_summary(run, plan.counts, cue);
    const auto& kinds = plan.counts.kinds;
    if (std::accumulate(kinds.begin(), kinds.end(), std::uint64_t{0}) ==
        kinds[static_cast<std::size_t>(sector_kind::not_data)]) {
        std::fputs("No data sector found: nothing was checked\n", run.out);
        return STATUS_FAIL;
    }
    return plan.counts.left == 0 ? STATUS_OK : STATUS_BAD;
}

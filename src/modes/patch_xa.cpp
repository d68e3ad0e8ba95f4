// The patch run into a Form 2 or interleaved file found by name: the input's
// RIFF-CDXA or 2336-byte sectors replace the file's one for one, each in the
// form its subheader gives; with -s their count may change and the file's
// records take a size of that many 2048-byte sectors. Its PPF file is made
// first, as the patch run makes it.
#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "run/kit.h"
#include "ops/placement.h"

namespace {

constexpr std::size_t BATCH_SECTORS = 64;

using const_sector = std::span<const std::uint8_t, SECTOR_SIZE>;

// What the run works on.
struct xa_job {
    run_state& run;
    int bin;
    int input;
    const dir_lookup& found;
    const xa_data& xa;
    const replace_plan* plan;  // with -s: the file's records
    std::uint64_t first() const { return found.record.extent; }
    std::uint64_t count() const { return xa.input.sectors; }
};

// A batch of the file's sectors, as the image holds them and as the input
// makes them; or one directory sector with the file's new size.
struct xa_batch {
    std::uint64_t first = 0;
    std::size_t count = 0;
    bool directory = false;
    std::vector<std::uint8_t> old_bytes = std::vector<std::uint8_t>(BATCH_SECTORS * SECTOR_SIZE);
    std::vector<std::uint8_t> new_bytes = std::vector<std::uint8_t>(BATCH_SECTORS * SECTOR_SIZE);
    std::vector<std::uint8_t> pieces = std::vector<std::uint8_t>(BATCH_SECTORS * SECTOR_SIZE);
    std::array<sector_form, BATCH_SECTORS> forms{};

    std::span<std::uint8_t> old_span() { return std::span(old_bytes).first(count * SECTOR_SIZE); }
    std::span<std::uint8_t> new_span() { return std::span(new_bytes).first(count * SECTOR_SIZE); }
    std::span<std::uint8_t, SECTOR_SIZE> sector(std::size_t i) {
        return std::span(new_bytes).subspan(i * SECTOR_SIZE).first<SECTOR_SIZE>();
    }
};

// Reads the input's sectors of the batch. False after saying why not.
bool read_pieces(xa_job& j, xa_batch& b, std::uint64_t from) {
    const std::size_t piece = j.xa.input.piece;
    const auto bytes = std::span(b.pieces).first(b.count * piece);
    if (pread_full(j.input, bytes, j.xa.input.offset_of(from)) == bytes.size()) return true;
    if (errno != 0) report_errno(j.run, "\nFailed to read patch file");
    else std::fputs("\nThe patch file was cut short during the run\n", j.run.out);
    return false;
}

std::span<const std::uint8_t> piece_of(const xa_job& j, const xa_batch& b, std::size_t i) {
    return std::span(b.pieces).subspan(i * j.xa.input.piece, j.xa.input.piece);
}

// A sector the run may not rewrite: not a Mode 2 sector at its own address
// (of Form 1, where it holds directory records), and not blank either.
bool unfit_sector(run_state& run, const_sector b, std::uint64_t sector, bool form1) {
    const auto index = static_cast<unsigned long long>(sector);
    if (!std::equal(SYNC_PATTERN.begin(), SYNC_PATTERN.end(), b.begin())) {
        if (!form1 && std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; })) return false;
        std::fprintf(run.out, "Sector %llu is not a data sector (no sync pattern%s) -- refused\n", index,
                     form1 ? "" : ", not blank");
        return true;
    }
    if (b[MODE_BYTE] != 2 || (form1 && form_of(b) == sector_form::form2)) {
        std::fprintf(run.out, "Sector %llu is a Mode %u%s sector, not Mode 2%s -- refused\n", index,
                     static_cast<unsigned>(b[MODE_BYTE]), b[MODE_BYTE] == 2 ? " Form 2" : "", form1 ? " Form 1" : "");
        return true;
    }
    const auto want = header_address(sector + ADDRESS_BIAS);
    if (std::equal(want.begin(), want.end(), b.begin() + HEADER)) return false;
    std::fprintf(run.out,
                 "Sector %llu carries address %02X:%02X:%02X, not %02X:%02X:%02X of its place in the "
                 "image -- refused\n",
                 index, b[HEADER], b[HEADER + 1], b[HEADER + 2], want[0], want[1], want[2]);
    return true;
}

// Reads every sector the run rewrites before the first write: the file's
// must be Mode 2 at their addresses (or blank, where it grows), each input
// sector's subheader must say one thing, the records' sectors must be Form 1.
bool check_all(xa_job& j, const run_signals& signals) {
    xa_batch b;
    for (std::uint64_t from = 0; from < j.count(); from += BATCH_SECTORS) {
        if (signals.interrupted(j.run, "before its first write")) return false;
        b.count = static_cast<std::size_t>(std::min<std::uint64_t>(BATCH_SECTORS, j.count() - from));
        if (!read_sectors(j.run, j.bin, b.old_span(), j.first() + from) || !read_pieces(j, b, from)) return false;
        for (std::size_t i = 0; i < b.count; ++i) {
            const std::uint64_t sector = j.first() + from + i;
            if (unfit_sector(j.run, std::span(b.old_bytes).subspan(i * SECTOR_SIZE).first<SECTOR_SIZE>(), sector, false))
                return false;
            if (input_subheader_agrees(piece_of(j, b, i))) continue;
            std::fprintf(j.run.out,
                         "Sector %llu of the patch (for sector %llu): the two copies of its subheader "
                         "differ -- refused\n",
                         static_cast<unsigned long long>(from + i), static_cast<unsigned long long>(sector));
            return false;
        }
    }
    std::array<std::uint8_t, SECTOR_SIZE> sector{};
    for (const std::uint64_t at : (j.plan ? record_sectors(*j.plan) : std::vector<std::uint64_t>{}))
        if (!read_sectors(j.run, j.bin, sector, at) || unfit_sector(j.run, sector, at, true)) return false;
    return true;
}

// Reads the batch from the file's sector `from` on and lays the input into
// copies of its sectors.
bool build(xa_job& j, xa_batch& b, std::uint64_t from) {
    b.directory = false;
    b.first = j.first() + from;
    b.count = static_cast<std::size_t>(std::min<std::uint64_t>(BATCH_SECTORS, j.count() - from));
    if (!read_sectors(j.run, j.bin, b.old_span(), b.first) || !read_pieces(j, b, from)) return false;
    std::copy_n(b.old_bytes.begin(), b.count * SECTOR_SIZE, b.new_bytes.begin());
    for (std::size_t i = 0; i < b.count; ++i)
        b.forms[i] = lay_xa_sector(piece_of(j, b, i), b.sector(i), b.first + i, j.xa.file.zero_edc);
    return true;
}

// A directory sector with the new size in every record of the file it holds.
bool build_directory(xa_job& j, xa_batch& b, std::uint64_t sector) {
    b.directory = true;
    b.first = sector;
    b.count = 1;
    if (!read_sectors(j.run, j.bin, b.old_span(), sector)) return false;
    std::copy_n(b.old_bytes.begin(), SECTOR_SIZE, b.new_bytes.begin());
    update_records(b.sector(0), *j.plan, sector);
    encode_sectors(b.new_span(), sector);
    return true;
}

// Calls `each(batch)` for every batch of the file's sectors, then for each
// sector of its records; `ascending` (a PPF file's order) puts the record
// sectors that lie before the file first. False when a build or `each`
// failed.
template <class Each>
bool each_batch(xa_job& j, const run_signals& signals, const char* when, bool ascending, Each each) {
    xa_batch b;
    const std::vector<std::uint64_t> directories = (j.plan ? record_sectors(*j.plan) : std::vector<std::uint64_t>{});
    const auto after = ascending ? std::upper_bound(directories.begin(), directories.end(), j.first())
                                 : directories.begin();
    for (auto sector = directories.begin(); sector != after; ++sector)
        if (!build_directory(j, b, *sector) || !each(b)) return false;
    for (std::uint64_t from = 0; from < j.count(); from += BATCH_SECTORS) {
        if (signals.interrupted(j.run, when)) return false;
        if (!build(j, b, from) || !each(b)) return false;
    }
    for (auto sector = after; sector != directories.end(); ++sector)
        if (!build_directory(j, b, *sector) || !each(b)) return false;
    return true;
}

// The trace line of each sector of the batch: what it read, the form it
// was laid in, and its write.
std::string trace_of(const xa_job& j, const xa_batch& b, std::size_t lines) {
    std::string trace;
    for (std::size_t i = 0; i < lines; ++i) {
        append_index(trace, b.first + i);
        append_read_sector(trace);
        if (b.directory) {
            append_directory(trace);
            append_rebuilt(trace);
            continue;
        }
        append_read_patch(trace, j.xa.input.piece);
        if (b.forms[i] == sector_form::form1) trace += " | FORM1";
        else trace += j.xa.file.zero_edc ? " | FORM2 | ZERO_EDC" : " | FORM2";
        trace += b.forms[i] == sector_form::form1 ? " | EDC_ECC" : j.xa.file.zero_edc ? "" : " | EDC";
        trace += " | WRITESECTOR(2352)\n";
    }
    return trace;
}

// Writes the batch back (unless the run is dry) and traces it. After a
// failed write the sectors before the failing one are traced, and a sector
// the write left torn gets its old bytes back.
bool commit(xa_job& j, xa_batch& b) {
    const auto sectors = b.new_span();
    std::size_t done = sectors.size();
    if (writes_image(j.run.settings)) done = pwrite_full(j.bin, sectors, b.first * SECTOR_SIZE);
    const int write_errno = errno;
    const std::size_t written = done / SECTOR_SIZE;
    print_trace(j.run, trace_of(j, b, written));
    if (done == sectors.size()) return true;
    errno = write_errno;
    report_errno(j.run, "\nFailed to write sector");
    const std::uint64_t broken = b.first + written;
    const auto old_sector = std::span(b.old_bytes).subspan(written * SECTOR_SIZE, SECTOR_SIZE);
    const bool torn =
        done % SECTOR_SIZE != 0 && pwrite_full(j.bin, old_sector, broken * SECTOR_SIZE) != SECTOR_SIZE;
    std::fprintf(j.run.out,
                 torn ? "Sector %llu is torn: part of it holds the patch, the rest its old bytes\n"
                      : "Sector %llu and those after it keep their old bytes\n",
                 static_cast<unsigned long long>(broken));
    return false;
}

// Refusals before the first read of the file's sectors: the count rule, a
// patch that is the image, and files a size limit would cut short.
bool refuse_xa(xa_job& j, const data_run& d) {
    const run_settings& s = j.run.settings;
    if (!s.mode_replace && j.count() != j.xa.file.sectors) {
        std::fprintf(j.run.out, "Patch holds %llu sectors, '%s' takes %llu: give as many, or -s -- refused\n",
                     static_cast<unsigned long long>(j.count()), printable_name(j.found.record.name).c_str(),
                     static_cast<unsigned long long>(j.xa.file.sectors));
        return false;
    }
    if (platform::same_file(d.image, d.patch.info)) {
        std::fprintf(j.run.out, "Patch file '%s' is the .bin file itself -- refused\n", s.file_patch->c_str());
        return false;
    }
    if (!fits_ppf2(j.run, s, d.image.size)) return false;
    const std::uint64_t end = j.first() + j.count();
    const std::uint64_t sectors = j.count() + (j.plan ? record_sectors(*j.plan) : std::vector<std::uint64_t>{}).size();
    return fits_size_limit(j.run, std::max(writes_image(s) ? end * SECTOR_SIZE : 0, ppf_size_bound(s, sectors)));
}

}  // namespace

int patch_xa_run(run_state& run, unique_fd& bin, data_run& d, const xa_data& xa) {
    const run_settings& s = run.settings;
    replace_plan plan;
    if (s.mode_replace && !plan_replacement(run, bin.get(), *d.found, xa.input.sectors * USER_DATA_SIZE, plan))
        return error_exit(run);
    if (!platform::query(bin.get(), d.image)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    xa_job j{run, bin.get(), d.patch.fd.get(), *d.found, xa, s.mode_replace ? &plan : nullptr};
    if (!refuse_xa(j, d)) return error_exit(run);
    const run_signals signals(run.out, true);
    if (!check_all(j, signals)) return error_exit(run);
    const bool write = writes_image(s);
    if (write && j.count() != 0 && !reserve_sectors(run, j.bin, j.first(), j.count())) return error_exit(run);
    ppf_session ppf;
    if (ppf_target(s)) {
        std::vector<std::uint8_t> diz;
        if (!load_diz(run, diz)) return error_exit(run);
        if (!ppf.start(run, s, {d.image, d.patch.info}, std::move(diz))) return STATUS_FAIL;
    }
    print_start(run, patch_window::at(d.offset, j.count() * USER_DATA_SIZE));
    tprintf(trace_stream(run), "Patching .bin file\n");
    if (ppf.active()) {
        const auto add = [&](xa_batch& b) { return ppf.sectors(run, b.old_span(), b.new_span(), b.first); };
        if (!ppf.begin(run, j.bin, d.image.size, s.str_desc) || !each_batch(j, signals, "before its first write", true, add) ||
            !ppf.finish(run))
            return error_exit(run);
    }
    if (!each_batch(j, signals, "after the sectors traced above", false, [&](xa_batch& b) { return commit(j, b); }))
        return error_exit(run);
    print_record_changes(run, plan);
    if (write && !platform::sync_file(j.bin)) {
        report_errno(run, "Failed to sync .bin file");
        return error_exit(run);
    }
    if (!kept_length(run, j.bin, d.image.size, "image")) return error_exit(run);
    if (!finish_writes(run, {&bin}, false)) return error_exit(run);
    std::fputs("All done.\n", run.out);
    return STATUS_OK;
}

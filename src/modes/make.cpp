// The make run (-m): one patch that turns the image given first (the
// original) into the second (the modified one), as a PPF 3.0 (-P) or 2.0
// (-p) file or an xdelta (VCDIFF) file (--xdelta). Both images are only
// read; the patch is written under a temporary name and put in place once
// whole.
#include <algorithm>
#include <cerrno>
#include <vector>

#include "format/ppf_writer.h"
#include "format/vcdiff_writer.h"
#include "io/new_file.h"
#include "modes/modes.h"
#include "ops/sector_match.h"
#include "ops/vcdiff_apply.h"
#include "run/image.h"
#include "run/kit.h"
#include "run/ppf_session.h"
#include "run/settings.h"

namespace {

// Consecutive sectors of one kind, gathered for the trace: one line each.
class range_trace {
public:
    explicit range_trace(std::FILE* to) : to_(to) {}

    void add(const sector_step& step) {
        const bool moved = step.kind == sector_kind::moved;
        if (open_ && step.kind == kind_ && step.sector == last_ + 1 && (!moved || step.source == source_ + (last_ + 1 - first_)))
            ++last_;
        else {
            flush();
            open_ = step.kind != sector_kind::same;
            kind_ = step.kind;
            first_ = last_ = step.sector;
            source_ = step.source;
        }
        if (step.kind != sector_kind::same) ++counts_[static_cast<std::size_t>(step.kind)];
        ++compared_;
    }

    void flush() {
        if (!open_) return;
        open_ = false;
        if (first_ == last_)
            tprintf(to_, "sector %llu: ", static_cast<unsigned long long>(first_));
        else
            tprintf(to_, "sectors %llu-%llu: ", static_cast<unsigned long long>(first_), static_cast<unsigned long long>(last_));
        if (kind_ == sector_kind::moved)
            tprintf(to_, "moved from %llu\n", static_cast<unsigned long long>(source_));
        else
            tprintf(to_, "%s\n", kind_ == sector_kind::changed ? "changed" : "appended");
    }

    std::uint64_t count(sector_kind kind) const { return counts_[static_cast<std::size_t>(kind)]; }
    std::uint64_t compared() const { return compared_; }
    bool differs() const { return count(sector_kind::changed) + count(sector_kind::moved) + count(sector_kind::appended) != 0; }

private:
    std::FILE* to_;
    bool open_ = false;
    sector_kind kind_ = sector_kind::same;
    std::uint64_t first_ = 0, last_ = 0, source_ = 0;
    std::uint64_t counts_[4] = {};
    std::uint64_t compared_ = 0;
};

// The original image: opened read-only under a shared lock.
std::optional<int> open_original(run_output& run, const std::string& given, opened_image& original, data_file& file) {
    if (const auto stop = image_of(run, given, data_track::any, original)) return stop;
    if (const auto stop = open_data(run, original.path, "Original image", "Failed to open original image", file))
        return stop;
    switch (platform::lock_file(file.fd.get(), platform::lock_kind::shared)) {
        case platform::lock_result::taken: return std::nullopt;
        case platform::lock_result::busy:
            std::fprintf(run.out, "Image '%s' is being written by another run -- refused\n", original.path.c_str());
            return STATUS_FAIL;
        case platform::lock_result::failed: break;
    }
    report_errno(run, "Failed to lock original image");
    return STATUS_FAIL;
}

// Refusals of the two images as a pair, before anything is written.
const char* refuse_pair(const run_settings& s, bool original_iso, bool modified_iso, std::uint64_t original_size,
                        std::uint64_t modified_size) {
    if (original_iso != modified_iso) return "the images have different sector sizes (2048 and 2352 bytes)";
    if (s.file_ppf && original_size != modified_size)
        return "a PPF 2.0 file holds images of one size: these differ (use -P or --xdelta)";
    if (!s.file_xdelta && modified_size < original_size)
        return "the modified image is shorter, and a PPF file cannot cut an image short (use --xdelta)";
    return nullptr;
}

// The PPF file: whole differing sectors (2.0) or the differing bytes (3.0),
// against the original at the same place.
bool add_ppf(run_output& run, ppf_file& ppf, ppf_records& records, const sector_step& step,
             std::vector<std::uint8_t>& old) {
    if (step.kind == sector_kind::same) return true;
    old.assign(step.target.size(), 0);  // past the original's end: nothing to undo
    std::copy(step.in_place.begin(), step.in_place.end(), old.begin());
    return records.sectors(run, ppf, old, step.target, step.sector);
}

// The summary line of the sectors compared.
void print_compared(run_output& run, const range_trace& trace) {
    std::fprintf(run.out, "Compared %llu sectors: %llu changed, %llu moved, %llu appended\n",
                 static_cast<unsigned long long>(trace.compared()),
                 static_cast<unsigned long long>(trace.count(sector_kind::changed)),
                 static_cast<unsigned long long>(trace.count(sector_kind::moved)),
                 static_cast<unsigned long long>(trace.count(sector_kind::appended)));
}

int say_identical(run_output& run) {
    std::fputs("the images are identical: no patch written\n", run.out);
    return STATUS_IDENTICAL;
}

// The xdelta file, written as the writer fills it (or only measured).
class xdelta_out {
public:
    explicit xdelta_out(bool dry) : dry_(dry) {}
    new_file& file() { return file_; }
    std::uint64_t size() const { return written_; }

    bool drain(run_output& run, std::vector<std::uint8_t>& bytes) {
        if (!dry_ && pwrite_full(file_.fd(), bytes, written_) != bytes.size()) {
            report_errno(run, "Failed to write xdelta file");
            return false;
        }
        written_ += bytes.size();
        bytes.clear();
        return true;
    }

private:
    bool dry_;
    new_file file_{"xdelta file"};
    std::uint64_t written_ = 0;
};

int make_xdelta(run_output& run, const run_settings& s, const data_file& orig, int modified_fd,
                std::uint64_t modified_size, const std::vector<platform::file_info>& inputs) {
    const bool dry = s.mode_nowrite != 0;
    const std::string& target = *s.file_xdelta;
    xdelta_out out(dry);
    if (!dry && (!admit_output(run, out.file(), target, inputs) || !out.file().create(run))) return STATUS_FAIL;
    const run_signals signals(run.out, !dry);
    sector_matcher matcher({orig.fd.get(), orig.info.size}, {modified_fd, modified_size});
    std::uint32_t crc = 0;
    // The CRC-32 of the whole original, which the xdelta file carries; the
    // same read makes the matcher's index of its sectors.
    if (!image_crc32(
            run, orig.fd.get(), orig.info.size, nullptr, crc, "original image",
            [&] { return signals.interrupted(run, "before the patch is written"); },
            [&](std::uint64_t at, std::span<const std::uint8_t> bytes) { matcher.index_original(at, bytes); }))
        return error_exit(run);
    vcdiff_writer writer(orig.info.size, crc);
    range_trace trace(trace_stream(run));
    step_coder coder(writer);
    sector_step step;
    while (matcher.next(step)) {
        trace.add(step);
        coder.code(step);
        if (writer.output().size() >= (1U << 20) && !out.drain(run, writer.output())) return error_exit(run);
        if (step.sector % 4096 == 0 && signals.interrupted(run, "before the patch is written")) return error_exit(run);
    }
    trace.flush();
    if (matcher.failed()) {
        report_errno(run, "Failed to read the images");
        return error_exit(run);
    }
    if (!trace.differs() && orig.info.size == modified_size) return say_identical(run);
    writer.finish();
    if (!out.drain(run, writer.output())) return error_exit(run);
    if (signals.interrupted(run, "before the patch is written")) return error_exit(run);
    print_compared(run, trace);
    char holds[200];
    std::snprintf(holds, sizeof holds, "%llu windows, %llu copies of %llu bytes, %llu adds of %llu bytes, in %llu bytes",
                  static_cast<unsigned long long>(writer.windows()), static_cast<unsigned long long>(writer.copies()),
                  static_cast<unsigned long long>(writer.copied()), static_cast<unsigned long long>(writer.adds()),
                  static_cast<unsigned long long>(writer.added()), static_cast<unsigned long long>(out.size()));
    if (dry) {
        std::fprintf(run.out, "Dry run: the xdelta file would hold %s; nothing written\nAll done.\n", holds);
        return STATUS_OK;
    }
    if (!out.file().commit(run)) return error_exit(run);
    std::fprintf(run.out, "xdelta file '%s': %s\nAll done.\n", target.c_str(), holds);
    return STATUS_OK;
}

}  // namespace

int make_mode(run_state& run, opened_image& modified) {
    const run_settings& s = run.settings;
    opened_image original;
    data_file orig;
    if (const auto stop = open_original(run, *s.file_patch, original, orig)) return *stop;
    platform::file_info mod_info;
    if (!platform::query(modified.fd.get(), mod_info)) {
        report_errno(run, "Failed to stat .bin file");
        return error_exit(run);
    }
    const bool original_iso = is_iso_image(orig.fd.get()), modified_iso = is_iso_image(modified.fd.get());
    if (original_iso && modified_iso && refuse_iso_image(run, modified.fd.get(), modified.path)) return STATUS_FAIL;
    if (const char* why = refuse_pair(s, original_iso, modified_iso, orig.info.size, mod_info.size)) {
        std::fprintf(run.out, "Images '%s' and '%s': %s -- refused\n", original.path.c_str(), modified.path.c_str(), why);
        return STATUS_FAIL;
    }
    if (!fits_ppf2(run, s, mod_info.size)) return STATUS_FAIL;
    const std::string& target = s.file_xdelta ? *s.file_xdelta : *ppf_target(s);
    const bool dry = s.mode_nowrite != 0;
    if (!run.quiet)
        std::fprintf(run.out, "Original   : %s\nModified   : %s\n%s : %s\n\n", original.path.c_str(),
                     modified.path.c_str(), s.file_xdelta ? "xdelta File" : s.file_ppf ? "PPF20 File" : "PPF30 File",
                     target.c_str());

    std::vector<platform::file_info> inputs = {orig.info, mod_info};
    inputs.insert(inputs.end(), original.sheet_files.begin(), original.sheet_files.end());
    inputs.insert(inputs.end(), modified.sheet_files.begin(), modified.sheet_files.end());
    if (s.file_xdelta) return make_xdelta(run, s, orig, modified.fd.get(), mod_info.size, inputs);
    std::vector<std::uint8_t> diz;
    if (!load_diz(run, diz)) return STATUS_FAIL;
    ppf_file ppf;
    if (dry) {
        ppf.measure();
    } else {
        if (platform::is_link(target)) {
            std::fprintf(run.out, "PPF file '%s' is a symbolic link -- refused\n", target.c_str());
            return STATUS_FAIL;
        }
        std::vector<platform::file_info> outputs;
        for (std::FILE* stream : {run.out, run.err})
            if (platform::file_info o; platform::query(stream, o)) outputs.push_back(o);
        if (!ppf.create_temporary(run, target, inputs, outputs)) return STATUS_FAIL;
    }
    const run_signals signals(run.out, !dry);
    const std::unique_ptr<ppf_records> records = s.file_ppf3 ? ppf3_records(s.mode_undo != 0, std::move(diz)) : ppf2_records();
    run_output hushed = run;  // the header's own trace is not this run's
    hushed.quiet = true;
    if (!records->begin(hushed, ppf, orig.fd.get(), orig.info.size, s.str_desc)) return error_exit(run);

    sector_matcher matcher({orig.fd.get(), orig.info.size}, {modified.fd.get(), mod_info.size});
    range_trace trace(trace_stream(run));
    std::vector<std::uint8_t> old;
    sector_step step;
    while (matcher.next(step)) {
        trace.add(step);
        if (s.file_ppf && step.kind != sector_kind::same && step.target.size() != SECTOR_SIZE) {
            trace.flush();
            std::fprintf(run.out, "The images differ in the %zu bytes past their last whole sector, which a PPF 2.0 "
                                  "file of whole sectors cannot hold (use -P) -- refused\n", step.target.size());
            return error_exit(run);
        }
        if (!add_ppf(run, ppf, *records, step, old)) return error_exit(run);
        if (step.sector % 4096 == 0 && signals.interrupted(run, "before the patch is written")) return error_exit(run);
    }
    trace.flush();
    if (matcher.failed()) {
        report_errno(run, "Failed to read the images");
        return error_exit(run);
    }
    if (!trace.differs() && orig.info.size == mod_info.size) return say_identical(run);
    if (!records->end(run, ppf)) return error_exit(run);
    if (signals.interrupted(run, "before the patch is written")) return error_exit(run);
    print_compared(run, trace);
    const char* version = s.file_ppf ? "PPF 2.0" : "PPF 3.0";
    const auto count = static_cast<unsigned long long>(records->records());
    const auto bytes = static_cast<unsigned long long>(ppf.size());
    if (dry) {
        std::fprintf(run.out, "Dry run: the %s file would hold %llu records in %llu bytes; nothing written\nAll done.\n",
                     version, count, bytes);
        return STATUS_OK;
    }
    if (!ppf.commit(run)) return error_exit(run);
    std::fprintf(run.out, "%s file '%s': %llu records in %llu bytes\nAll done.\n", version, target.c_str(), count, bytes);
    return STATUS_OK;
}

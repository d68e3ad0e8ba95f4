// The one writer of a run that rewrites sectors of the image: a source
// fills batches of the target sectors, the writer does everything else in
// one order. Refusals (a patch that is the image, a PPF 2.0 file's size, the
// file-size limit), held signals, the admission of every sector it rewrites,
// the disk reservation, the PPF file's pass in ascending order, the write
// pass with its torn-sector restore, the directory records of a replaced
// file (and a grown image's postgap and volume size), the length checks of
// the image and of every input, sync and close.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "format/cdxa.h"
#include "ops/placement.h"
#include "run/kit.h"
#include "run/patch_data.h"

// Sectors rebuilt, written and traced together.
inline constexpr std::size_t BATCH_SECTORS = 64;

using const_sector = std::span<const std::uint8_t, SECTOR_SIZE>;

// A batch of target sectors as the image holds them and as the run makes
// them; or one directory or descriptor sector of the run.
struct batch {
    bool directory = false;    // a sector of the tree, not of the source
    std::uint64_t first = 0;
    std::size_t count = 0;     // sectors in the batch
    std::size_t complete = 0;  // leading sectors whose input all arrived, rebuilt
    std::vector<std::uint8_t> old_bytes = std::vector<std::uint8_t>(BATCH_SECTORS * SECTOR_SIZE);
    std::vector<std::uint8_t> new_bytes = std::vector<std::uint8_t>(BATCH_SECTORS * SECTOR_SIZE);
    std::vector<std::uint8_t> input;             // a streamed input's bytes for the batch
    std::array<std::size_t, BATCH_SECTORS> taken{};  // input bytes each sector took
    std::array<sector_form, BATCH_SECTORS> forms{};  // the form each was laid in

    std::span<std::uint8_t> rebuilt() { return std::span(new_bytes).first(complete * SECTOR_SIZE); }
    std::span<const std::uint8_t> old_sectors() const { return std::span(old_bytes).first(count * SECTOR_SIZE); }
    std::span<const std::uint8_t> new_sectors() const { return std::span(new_bytes).first(count * SECTOR_SIZE); }
    std::span<std::uint8_t, SECTOR_SIZE> sector(std::size_t i) {
        return std::span(new_bytes).subspan(i * SECTOR_SIZE).first<SECTOR_SIZE>();
    }
};

// An input of the run (`size` bytes of file `fd` from `at` on): read whole
// before the first write when it fits the memory budget, so that a file cut
// meanwhile cannot stop the run half-way; else read as the run goes.
class run_input {
public:
    // Up to this size an input is read whole.
    static constexpr std::uint64_t IN_MEMORY = 256ULL << 20;

    run_input(const data_file& file, std::uint64_t at, std::uint64_t size)
        : fd_(file.fd.get()), info_(file.info), at_(at), size_(size) {}

    // Reads an input that fits in memory whole. False after saying why not.
    bool load(run_output& run);
    bool streamed() const { return streamed_ || size_ > IN_MEMORY; }
    // Read as the run goes even though it fits: the run's memory went to
    // other inputs.
    void stream() { streamed_ = true; }
    std::uint64_t size() const { return size_; }
    // `count` bytes from `at` on: from memory, or read into `scratch`. Fewer
    // only where the input ends (or, read from the file, a read failed).
    std::span<const std::uint8_t> bytes(std::uint64_t at, std::size_t count, std::vector<std::uint8_t>& scratch) const;

    int fd() const { return fd_; }
    const platform::file_info& info() const { return info_; }

private:
    int fd_;
    platform::file_info info_;
    std::uint64_t at_, size_;
    bool streamed_ = false;
    std::unique_ptr<platform::bulk_buffer> whole_;
};

// What a writing run lays into its target sectors: `count()` sectors from
// `first()` on. It only fills batches; it never reads or writes the image.
class sector_source {
public:
    virtual ~sector_source() = default;
    virtual std::uint64_t first() const = 0;
    virtual std::uint64_t count() const = 0;
    // Its target sectors may be Form 2 (or blank), not only Form 1.
    virtual bool takes_form2() const = 0;
    virtual run_input& input() = 0;

    // Refusals of its own, after the patch-is-the-image check. Print why
    // and return false.
    virtual bool refuse(run_state&) { return true; }
    // Reads its input (whole when it fits) and checks it. False after
    // saying why not.
    virtual bool load(run_state& run) { return input().load(run); }
    // Sees each target sector the admission let through (to warn).
    virtual void admitted(run_state&, const_sector, std::uint64_t) {}
    // Lays its input into the batch's sectors, copies of its old ones
    // (b.first and b.count set), rebuilt, and sets b.complete.
    virtual void fill(batch& b) const = 0;
    // The rest of sector i's trace line after " | READSECTOR(2352)", with
    // its newline.
    virtual void trace(std::string& line, const batch& b, std::size_t i) const = 0;
    // Says that the input ended (or failed) at target sector `sector`.
    virtual void report_short(run_state& run, std::uint64_t sector) const = 0;
};

// What the run writes besides the source's sectors.
struct write_job {
    unique_fd& bin;
    bool writes;                            // the image is written (not a dry run)
    platform::file_info image;              // the image as the run found it
    patch_window start;                     // said as the run's start
    const replace_plan* replace = nullptr;  // with -s: the file's records, and its move
    bool sector_list = false;               // --lba-list: the sector table of a relocation
    std::vector<platform::file_info> sheet = {};  // the image's cue sheet and every file it names
    bool says_start = true;                 // the start line is printed (a run of one window)
    std::string summary = {};               // printed after the record lines
};

// One file of a run that writes several: its source, over its own range of
// sectors, and with -s the plan of its records (and its move). `name`, when
// given, is the input's name in the run's messages (else the patch file's).
struct write_part {
    sector_source* source = nullptr;
    const replace_plan* replace = nullptr;
    const std::string* name = nullptr;
};

// Runs the writer: from the refusals to "All done.". Returns the exit status.
int write_image(run_state& run, const write_job& job, sector_source& source);
// The same for several parts, whose ranges do not overlap: one admission,
// one reservation, one patch file, one write pass in ascending order of
// their sectors, then every file's records. `job.replace` is not read.
int write_image(run_state& run, const write_job& job, std::vector<write_part> parts);

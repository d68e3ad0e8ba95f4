// The patch run: lays a patch file into the image's sectors from an offset
// (given, or a file's found by name; with -s the file is replaced, its
// records follow), rebuilds them and writes them back, with its PPF file
// made first.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sector/byte_order.h"
#include "run/kit.h"
#include "ops/placement.h"

// The run into a Form 2 or interleaved file, from RIFF-CDXA or 2336-byte input.
int patch_xa_run(run_state& run, unique_fd& bin, data_run& d, const xa_data& xa);

namespace {

// The files a patch run works on: the image (open read-write and locked
// unless the run is dry) and the patch, both as they were measured when the
// run started.
struct patch_files {
    unique_fd& bin;
    platform::file_info image;
    int patch;
    platform::file_info patch_info;
    const replace_plan* replace = nullptr;  // with -s: the file's records and subheaders
    bool tree_begun = false;                // the directory sectors are being rewritten
};

// The relocation of a replaced file that moves, if any.
const relocation* moved(const replace_plan* plan) { return plan && plan->moved ? &*plan->moved : nullptr; }
const relocation* growth(const replace_plan* plan) {
    const relocation* r = moved(plan);
    return r && r->grows ? r : nullptr;
}

// Sectors read per system call when the window is checked, and rebuilt,
// written and traced together by the patch.
constexpr std::size_t CHECK_SECTORS = 128;
constexpr std::size_t BATCH_SECTORS = 64;
// A patch up to this size is read whole before the first write, so that a
// patch file that shrinks meanwhile cannot stop the run half-way.
constexpr std::uint64_t PATCH_IN_MEMORY = 256ULL << 20;

using const_sector = std::span<const std::uint8_t, SECTOR_SIZE>;

const_sector sector_in(std::span<const std::uint8_t> bytes, std::size_t i) {
    return const_sector(bytes.data() + i * SECTOR_SIZE, SECTOR_SIZE);
}

bool has_sync(const_sector b) { return std::equal(SYNC_PATTERN.begin(), SYNC_PATTERN.end(), b.begin()); }

// The patch's bytes: all of them in memory when they fit, else read from the
// file as the run goes.
class patch_source {
public:
    patch_source(int fd, std::uint64_t size) : fd_(fd), size_(size) {}

    // Reads a patch that fits in memory whole. False after saying why not.
    bool load(run_state& run) {
        if (streamed()) return true;
        whole_ = std::make_unique<platform::bulk_buffer>(static_cast<std::size_t>(size_));
        if (!whole_->valid()) {
            std::fprintf(run.out, "Patch of %llu bytes does not fit in memory -- refused\n",
                         static_cast<unsigned long long>(size_));
            return false;
        }
        const std::size_t got = pread_full(fd_, whole_->bytes(), 0);
        if (got == size_) return true;
        if (errno != 0) report_errno(run, "Failed to read patch file");
        else
            std::fprintf(run.out, "Patch file ended after %llu of its %llu bytes -- refused\n",
                         static_cast<unsigned long long>(got), static_cast<unsigned long long>(size_));
        return false;
    }

    // The patch is read from its file as the run goes.
    bool streamed() const { return size_ > PATCH_IN_MEMORY; }

    // `count` bytes of the patch from `at` on: read from the file into
    // `scratch`, or straight from memory. Fewer only where the patch ends
    // (or, read from the file, a read failed).
    std::span<const std::uint8_t> bytes(std::uint64_t at, std::size_t count, std::vector<std::uint8_t>& scratch) const {
        if (streamed()) {
            scratch.resize(count);
            return std::span(scratch).first(pread_full(fd_, scratch, at));
        }
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(count, size_ - std::min(at, size_)));
        return whole_->bytes().subspan(static_cast<std::size_t>(std::min(at, size_)), n);
    }

private:
    int fd_;
    std::uint64_t size_;
    std::unique_ptr<platform::bulk_buffer> whole_;
};

// Where the patch's bytes go in the window's sectors.
struct layout {
    const patch_window& w;
    // Room for patch data in a sector: the first starts at the remainder.
    std::size_t room(std::uint64_t sector) const {
        return USER_DATA_SIZE - static_cast<std::size_t>(sector == w.first ? w.remainder : 0);
    }
    // The patch's byte that goes first into the sector.
    std::uint64_t data_at(std::uint64_t sector) const {
        return sector == w.first ? 0 : room(w.first) + (sector - w.first - 1) * USER_DATA_SIZE;
    }
    // Bytes of patch data in the sector.
    std::size_t data_in(std::uint64_t sector) const {
        return static_cast<std::size_t>(std::min<std::uint64_t>(room(sector), w.size - data_at(sector)));
    }
    // The patch covers only part of the sector's user data.
    bool partly(std::uint64_t sector) const { return data_in(sector) != USER_DATA_SIZE; }
};

// A sector the patch may not rewrite: not Mode 2 Form 1 (or not certainly
// so, its subheader's copies disagreeing), not at its own address, or no
// data sector at all (a sector never written, all zero, is written as a new
// one). Prints what it is.
bool foreign_sector(run_state& run, const_sector b, std::uint64_t sector) {
    const auto index = static_cast<unsigned long long>(sector);
    if (!has_sync(b)) {
        if (std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; })) return false;
        std::fprintf(run.out,
                     "Sector %llu is not a data sector (no sync pattern, not blank) -- refused\n",
                     index);
        return true;
    }
    if (b[MODE_BYTE] != 2) {
        std::fprintf(run.out, "Sector %llu is a Mode %u sector, not Mode 2 Form 1 -- refused\n",
                     index, static_cast<unsigned>(b[MODE_BYTE]));
        return true;
    }
    if ((b[SUBMODE_BYTE] & SUBMODE_FORM2) != 0) {
        std::fprintf(run.out,
                     "Sector %llu is a Mode 2 Form 2 sector (submode %02X), not Form 1 -- "
                     "refused\n",
                     index, static_cast<unsigned>(b[SUBMODE_BYTE]));
        return true;
    }
    if (((b[SUBMODE_BYTE] ^ b[SUBMODE_BYTE + 4]) & SUBMODE_LAYOUT) != 0) {
        std::fprintf(run.out,
                     "Sector %llu has a subheader whose copies disagree on its form (submode %02X "
                     "and %02X) -- refused\n",
                     index, static_cast<unsigned>(b[SUBMODE_BYTE]), static_cast<unsigned>(b[SUBMODE_BYTE + 4]));
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

// Reads sectors as read_sectors does; those from `exists_to` on, past the
// image's end before it grows, are new sectors: all zero.
bool read_old(run_state& run, int fd, std::span<std::uint8_t> out, std::uint64_t first, std::uint64_t exists_to) {
    const std::uint64_t have = first < exists_to ? std::min<std::uint64_t>(exists_to - first, out.size() / SECTOR_SIZE) : 0;
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(have * SECTOR_SIZE), out.end(), 0);
    return have == 0 || read_sectors(run, fd, out.first(static_cast<std::size_t>(have) * SECTOR_SIZE), first);
}

// Reads every sector of the window before anything is written and checks
// that the patch may rewrite it; warns of a partly patched sector whose
// EDC/ECC already fail (its unpatched bytes are kept as they are).
bool check_window(run_state& run, int fd, const patch_window& w, const run_signals& signals,
                  bool replacing) {
    const layout at{w};
    std::vector<std::uint8_t> chunk(std::min<std::uint64_t>(w.sectors(), CHECK_SECTORS) * SECTOR_SIZE);
    for (std::uint64_t from = w.first; from <= w.last && w.size != 0; from += CHECK_SECTORS) {
        if (signals.interrupted(run, "before its first write")) return false;
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(CHECK_SECTORS, w.last + 1 - from));
        if (!read_sectors(run, fd, std::span(chunk).first(n * SECTOR_SIZE), from)) return false;
        for (std::size_t i = 0; i < n; ++i) {
            const const_sector sector = sector_in(chunk, i);
            if (foreign_sector(run, sector, from + i)) return false;
            const bool edge = from + i == w.first || from + i == w.last;
            if (!replacing && edge && at.partly(from + i) && has_sync(sector) && !form1_intact(sector))
                std::fprintf(run.out,
                             "Warning: sector %llu fails its EDC/ECC check already; the bytes the "
                             "patch does not cover are kept as they are\n",
                             static_cast<unsigned long long>(from + i));
        }
    }
    return true;
}

// One batch of the window: its sectors as the image holds them and as the
// patch makes them, and the patch bytes each takes.
struct batch {
    bool directory = false;    // a directory sector that records the file's size
    std::uint64_t first = 0;
    std::size_t count = 0;     // sectors in the batch
    std::size_t complete = 0;  // leading sectors whose patch data all arrived
    std::vector<std::uint8_t> old_bytes = std::vector<std::uint8_t>(BATCH_SECTORS * SECTOR_SIZE);
    std::vector<std::uint8_t> new_bytes = std::vector<std::uint8_t>(BATCH_SECTORS * SECTOR_SIZE);
    std::vector<std::uint8_t> patch_read;  // a streamed patch's bytes for the batch
    std::array<std::size_t, BATCH_SECTORS> data{};

    std::span<std::uint8_t> rebuilt() { return std::span(new_bytes).first(complete * SECTOR_SIZE); }
    std::span<const std::uint8_t> old_sectors() const { return std::span(old_bytes).first(count * SECTOR_SIZE); }
    std::span<const std::uint8_t> new_sectors() const { return std::span(new_bytes).first(count * SECTOR_SIZE); }
};

// A replaced file's sectors take its subheader convention, and its new last
// sector ends cleanly: nothing after the patch's last byte.
void follow_file(batch& b, const layout& at, const replace_plan& plan) {
    for (std::size_t i = 0; i < b.complete; ++i) {
        const bool last = b.first + i == at.w.last;
        const auto sub = subheader_for(plan, last);
        const auto head = b.new_bytes.begin() + static_cast<std::ptrdiff_t>(i * SECTOR_SIZE + SUBHEADER);
        std::copy(sub.begin(), sub.end(), head);
        std::copy(sub.begin(), sub.end(), head + 4);
        if (last)
            std::fill(head + static_cast<std::ptrdiff_t>(USER_DATA - SUBHEADER + b.data[i]),
                      head + static_cast<std::ptrdiff_t>(USER_DATA_END - SUBHEADER), 0);
    }
}

// Sectors in the batch from `from` on.
std::size_t batch_count(const layout& at, std::uint64_t from) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(BATCH_SECTORS, at.w.last + 1 - from));
}

// Lays the patch into copies of the batch's old sectors, read from `from`
// on, and rebuilds them. Prints nothing.
void lay_patch(const patch_source& patch, const layout& at, const replace_plan* replace, std::uint64_t from, batch& b) {
    b.directory = false;
    b.first = from;
    b.count = batch_count(at, from);
    // The batch's patch bytes lie one after another in the patch.
    std::size_t wanted = 0;
    for (std::size_t i = 0; i < b.count; ++i) wanted += b.data[i] = at.data_in(from + i);
    const std::span<const std::uint8_t> data = patch.bytes(at.data_at(from), wanted, b.patch_read);
    // Encoding writes the sync, header, EDC and parity: a sector the patch
    // covers whole takes only its subheader from the image.
    std::size_t taken = 0;
    for (b.complete = 0; b.complete < b.count; ++b.complete) {
        const std::uint64_t sector = from + b.complete;
        const std::size_t n = b.data[b.complete];
        const std::size_t base = b.complete * SECTOR_SIZE;
        if (at.partly(sector))
            std::copy_n(b.old_bytes.begin() + static_cast<std::ptrdiff_t>(base), SECTOR_SIZE,
                        b.new_bytes.begin() + static_cast<std::ptrdiff_t>(base));
        else
            std::copy_n(b.old_bytes.begin() + static_cast<std::ptrdiff_t>(base + SUBHEADER), USER_DATA - SUBHEADER,
                        b.new_bytes.begin() + static_cast<std::ptrdiff_t>(base + SUBHEADER));
        if (data.size() - taken < n) break;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(taken), n,
                    b.new_bytes.begin() + static_cast<std::ptrdiff_t>(base + USER_DATA_END - at.room(sector)));
        taken += n;
    }
    if (replace) follow_file(b, at, *replace);
    encode_sectors(b.rebuilt(), from);
}

// Reads the batch from `from` on and lays the patch into copies of its
// sectors, rebuilt. False after a failed or short read of the image.
bool build_batch(run_state& run, int bin, const patch_source& patch, const layout& at,
                 const replace_plan* replace, std::uint64_t from, batch& b) {
    const relocation* grows = growth(replace);
    if (!read_old(run, bin, std::span(b.old_bytes).first(batch_count(at, from) * SECTOR_SIZE), from,
                  grows ? grows->image_sectors : UINT64_MAX))
        return false;
    lay_patch(patch, at, replace, from, b);
    return true;
}

// A directory sector with the new size in every record of the file it
// holds, rebuilt. False after a failed or short read.
bool build_directory(run_state& run, int bin, const replace_plan& plan, std::uint64_t sector, batch& b) {
    b.directory = true;
    b.first = sector;
    b.count = b.complete = 1;
    b.data[0] = 0;
    if (!read_sectors(run, bin, std::span(b.old_bytes).first(SECTOR_SIZE), sector)) return false;
    std::copy_n(b.old_bytes.begin(), SECTOR_SIZE, b.new_bytes.begin());
    update_records(std::span(b.new_bytes).first<SECTOR_SIZE>(), plan, sector);
    encode_sectors(b.rebuilt(), sector);
    return true;
}

// The postgap a growing image ends with: the sectors it is modelled on, as
// they are, and as they become after the moved file.
struct postgap {
    std::vector<std::uint8_t> old_bytes;  // the image's bytes where the postgap goes (zero past its end)
    std::vector<std::uint8_t> new_bytes;
};

// Reads the old postgap's sectors (and what lies where the new one goes)
// before anything is written, and builds the new one. False after a failed
// read.
bool build_postgap(run_state& run, int bin, const relocation& r, postgap& tail) {
    const std::size_t bytes = relocation::POSTGAP_SECTORS * SECTOR_SIZE;
    tail.new_bytes.resize(bytes);
    tail.old_bytes.resize(bytes);
    if (!read_sectors(run, bin, tail.new_bytes, r.tail_from) ||
        !read_old(run, bin, tail.old_bytes, r.new_first + r.new_sectors, r.image_sectors))
        return false;
    for (std::size_t i = 0; i < relocation::POSTGAP_SECTORS; ++i)
        rebuild_postgap_sector(std::span<std::uint8_t, SECTOR_SIZE>(tail.new_bytes.data() + i * SECTOR_SIZE, SECTOR_SIZE),
                               r.new_first + r.new_sectors + i, r.tail_from + i < r.old_volume);
    return true;
}

// A volume descriptor sector with the grown volume's size, rebuilt. False
// after a failed or short read.
bool build_descriptor(run_state& run, int bin, const relocation& r, std::uint64_t sector, batch& b) {
    b.directory = true;
    b.first = sector;
    b.count = b.complete = 1;
    if (!read_sectors(run, bin, std::span(b.old_bytes).first(SECTOR_SIZE), sector)) return false;
    std::copy_n(b.old_bytes.begin(), SECTOR_SIZE, b.new_bytes.begin());
    set_volume_size(std::span(b.new_bytes).first<SECTOR_SIZE>(), sector, r.volume_sectors);
    return true;
}

// Writes `bytes` of whole sectors from sector `first` on (unless the run is
// dry) after the trace line `what`. False after reporting a failed write.
bool write_whole(run_state& run, patch_files& f, std::span<const std::uint8_t> bytes, std::uint64_t first,
                 const std::string& what) {
    print_trace(run, what);
    if (!writes_image(run.settings) || pwrite_full(f.bin.get(), bytes, first * SECTOR_SIZE) == bytes.size())
        return true;
    report_errno(run, "\nFailed to write sector");
    return false;
}

// The patch's short read: the sector's trace stops at its read, and the
// patch file is said to have fallen short.
bool short_patch(run_state& run, const layout& at, std::uint64_t sector) {
    std::string trace;
    append_index(trace, sector);
    append_read_sector(trace);
    print_trace(run, trace);
    report_short_data(run, at.room(sector));
    return false;
}

// Writes the PPF file's header and every rebuilt sector of the window (and
// the directory sectors of a replaced file) into it, in ascending order of
// their offsets, and puts it in place. False after saying why not.
bool write_ppf(run_state& run, patch_files& f, const patch_source& patch, const layout& at,
               const postgap& tail, ppf_session& ppf, const run_signals& signals) {
    if (!ppf.begin(run, f.bin.get(), f.image.size, run.settings.str_desc)) return false;
    batch b;
    auto add = [&] { return ppf.sectors(run, b.old_sectors(), b.new_sectors(), b.first); };
    // A replaced file's directory sectors (and, where the image grows, the
    // volume descriptors) go before or after the window, wherever they lie;
    // a moved file's new postgap follows it.
    struct extra {
        std::uint64_t sector;
        bool descriptor;
    };
    std::vector<extra> extras;
    if (f.replace)
        for (const std::uint64_t sector : record_sectors(*f.replace)) extras.push_back({sector, false});
    const relocation* grows = growth(f.replace);
    if (grows)
        for (const std::uint64_t sector : grows->descriptors) extras.push_back({sector, true});
    std::sort(extras.begin(), extras.end(), [](const extra& x, const extra& y) { return x.sector < y.sector; });
    const auto after = std::partition_point(extras.begin(), extras.end(),
                                            [&](const extra& e) { return e.sector < at.w.first; });
    auto add_extras = [&](auto begin, auto end) {
        for (auto e = begin; e != end; ++e)
            if (!(e->descriptor ? build_descriptor(run, f.bin.get(), *grows, e->sector, b)
                                : build_directory(run, f.bin.get(), *f.replace, e->sector, b)) ||
                !add())
                return false;
        return true;
    };
    if (!add_extras(extras.begin(), after)) return false;
    for (std::uint64_t from = at.w.first; from <= at.w.last && at.w.size != 0; from += BATCH_SECTORS) {
        if (signals.interrupted(run, "before its first write")) return false;
        if (!build_batch(run, f.bin.get(), patch, at, f.replace, from, b)) return false;
        if (b.complete != b.count) return short_patch(run, at, from + b.complete);
        if (!add()) return false;
    }
    if (grows && !ppf.sectors(run, tail.old_bytes, tail.new_bytes, grows->new_first + grows->new_sectors))
        return false;
    if (!add_extras(after, extras.end())) return false;
    return ppf.finish(run);
}

// Writes the batch's rebuilt sectors back (unless the run is dry) and traces
// each with the bytes of patch data it took. On a failed write, the sectors
// before the failing one are written and traced, the failing one's trace
// line stops where the write failed, and a sector the write left torn gets
// its old bytes back. False after a failure has been reported.
bool commit_sectors(run_state& run, patch_files& f, batch& b) {
    const std::span<const std::uint8_t> sectors = b.rebuilt();
    std::size_t done = sectors.size();
    if (writes_image(run.settings) && !sectors.empty())
        done = pwrite_full(f.bin.get(), sectors, b.first * SECTOR_SIZE);
    const int write_errno = errno;
    const std::size_t written = done / SECTOR_SIZE;
    std::string trace;
    for (std::size_t i = 0; i < b.complete; ++i) {
        append_index(trace, b.first + i);
        append_read_sector(trace);
        if (b.directory) append_directory(trace);
        else append_read_patch(trace, b.data[i]);
        append_rebuilt(trace);
        if (i == written) {
            trace.pop_back();  // the line stops where the write failed
            break;
        }
    }
    print_trace(run, trace);
    if (done == sectors.size()) return true;
    errno = write_errno;
    report_errno(run, "\nFailed to write sector");
    const std::uint64_t broken = b.first + written;
    const bool torn = done % SECTOR_SIZE != 0 &&
                      pwrite_full(f.bin.get(), sector_in(b.old_bytes, written), broken * SECTOR_SIZE) !=
                          SECTOR_SIZE;
    if (torn)
        std::fprintf(run.out,
                     "Sector %llu is torn: part of it holds the patch, the rest its old bytes\n",
                     static_cast<unsigned long long>(broken));
    else
        std::fprintf(run.out, "Sector %llu and those after it keep their old bytes\n",
                     static_cast<unsigned long long>(broken));
    return false;
}

// Lays the patch into the window's sectors and writes them back, a batch at
// a time.
bool patch_sectors(run_state& run, patch_files& f, const patch_source& patch, const layout& at,
                   const postgap& tail, const run_signals& signals) {
    batch b;
    for (std::uint64_t from = at.w.first; from <= at.w.last && at.w.size != 0; from += BATCH_SECTORS) {
        if (signals.interrupted(run, "after the sectors traced above")) return false;
        if (!build_batch(run, f.bin.get(), patch, at, f.replace, from, b)) return false;
        if (!commit_sectors(run, f, b)) return false;
        if (b.complete != b.count) return short_patch(run, at, from + b.complete);
    }
    // A growing image takes its postgap too before the tree names the file.
    if (const relocation* grows = growth(f.replace)) {
        const std::uint64_t first = grows->new_first + grows->new_sectors;
        char line[120];
        std::snprintf(line, sizeof line, "Postgap: sectors %llu to %llu, as sectors %llu to %llu were\n",
                      static_cast<unsigned long long>(first),
                      static_cast<unsigned long long>(first + relocation::POSTGAP_SECTORS - 1),
                      static_cast<unsigned long long>(grows->tail_from),
                      static_cast<unsigned long long>(grows->tail_from + relocation::POSTGAP_SECTORS - 1));
        if (signals.interrupted(run, "after the sectors traced above") ||
            !write_whole(run, f, tail.new_bytes, first, line))
            return false;
    }
    f.tree_begun = true;
    if (f.replace)
        for (const std::uint64_t sector : record_sectors(*f.replace))
            if (!build_directory(run, f.bin.get(), *f.replace, sector, b) || !commit_sectors(run, f, b))
                return false;
    if (const relocation* grows = growth(f.replace))
        for (const std::uint64_t sector : grows->descriptors) {
            if (!build_descriptor(run, f.bin.get(), *grows, sector, b)) return false;
            std::string trace;
            append_index(trace, sector);
            append_read_sector(trace);
            trace += " | VOLUME SIZE(" + std::to_string(grows->volume_sectors) + ")";
            append_rebuilt(trace);
            if (!write_whole(run, f, b.rebuilt(), sector, trace)) return false;
        }
    return true;
}

// Reads the directory sectors of a replaced file and checks that they may
// be rewritten.
bool check_directories(run_state& run, int fd, const replace_plan* plan) {
    if (!plan) return true;
    std::array<std::uint8_t, SECTOR_SIZE> sector{};
    for (const std::uint64_t at : record_sectors(*plan))
        if (!read_sectors(run, fd, sector, at) || foreign_sector(run, sector, at)) return false;
    return true;
}

int patch_run(run_state& run, patch_files& f, const patch_window& window,
              const run_signals& signals) {
    const run_settings& s = run.settings;
    const layout at{window};
    patch_source patch(f.patch, window.size);
    // A file moved past the image's end lies on no sector to check; the
    // postgap it takes the place of is rebuilt after it.
    const relocation* grows = growth(f.replace);
    postgap tail;
    if (!patch.load(run) ||
        (!grows && !check_window(run, f.bin.get(), window, signals, f.replace != nullptr)) ||
        !check_directories(run, f.bin.get(), f.replace) || (grows && !build_postgap(run, f.bin.get(), *grows, tail)))
        return error_exit(run);
    const bool write = writes_image(s);
    if (write && window.size != 0 && !grows && !reserve_sectors(run, f.bin.get(), window.first, window.sectors()))
        return error_exit(run);
    ppf_session ppf;
    if (ppf_target(s)) {
        std::vector<std::uint8_t> diz;
        if (!load_diz(run, diz)) return error_exit(run);
        if (!ppf.start(run, s, {f.image, f.patch_info}, std::move(diz))) return STATUS_FAIL;
    }
    print_start(run, window);
    tprintf(trace_stream(run), "Patching .bin file\n");
    if (ppf.active() && !write_ppf(run, f, patch, at, tail, ppf, signals)) return error_exit(run);
    if (!patch_sectors(run, f, patch, at, tail, signals)) {
        // Before the tree names the moved file, an image that only grew
        // goes back to its length: it is the image it was.
        if (grows && write && !f.tree_begun && grows->new_first == grows->image_sectors &&
            platform::truncate(f.bin.get(), f.image.size))
            std::fprintf(run.out, "The image is cut back to its %llu bytes: it is as it was\n",
                         static_cast<unsigned long long>(f.image.size));
        return error_exit(run);
    }
    if (f.replace) print_record_changes(run, *f.replace);

    // Success is reported only once everything written is on disk, and the
    // files are still what the run started with.
    if (write && !platform::sync_file(f.bin.get())) {
        report_errno(run, "Failed to sync .bin file");
        return error_exit(run);
    }
    const std::uint64_t image_size = grows && write ? grows->end_sectors() * SECTOR_SIZE : f.image.size;
    if (!kept_length(run, f.bin.get(), image_size, "image") ||
        (patch.streamed() && !kept_length(run, f.patch, f.patch_info.size, "patch file")))
        return error_exit(run);
    if (!finish_writes(run, {&f.bin}, false)) return error_exit(run);
    if (s.file_lba_list && !write_text_file(run, *s.file_lba_list, sector_table(*f.replace), "Sector list",
                                            {f.image, f.patch_info}))
        return error_exit(run);
    std::fputs("All done.\n", run.out);
    return STATUS_OK;
}

// Everything a patch run refuses before it reads a sector: a patch that is
// the image, a window past the image's whole sectors, an empty PPF file, an
// image too large for a PPF 2.0 file, and files a file-size limit would cut
// short. Prints why and returns false.
bool refuse_patch(run_state& run, const patch_window& w, const platform::file_info& image,
                  const platform::file_info& patch, const relocation* grows) {
    const run_settings& s = run.settings;
    // Patching an image with itself would read back its own rewritten sectors.
    if (platform::same_file(image, patch)) {
        std::fprintf(run.out, "Patch file '%s' is the .bin file itself -- refused\n", s.file_patch->c_str());
        return false;
    }
    const std::uint64_t image_sectors = grows ? grows->end_sectors() : image.size / SECTOR_SIZE;
    if (w.size != 0 && w.last >= image_sectors) {
        std::fprintf(run.out,
                     "Patch of %llu bytes at offset %08llX needs sectors %llu to %llu, "
                     "but the image holds only %llu whole sectors -- refused\n",
                     static_cast<unsigned long long>(w.size), static_cast<unsigned long long>(w.offset),
                     static_cast<unsigned long long>(w.first), static_cast<unsigned long long>(w.last),
                     static_cast<unsigned long long>(image_sectors));
        return false;
    }
    // A PPF file of no record would be refused by patchers, or run away in them.
    if (ppf_target(s) && w.size == 0 && !s.mode_replace) {
        std::fprintf(run.out, "PPF file '%s' would hold no record: the patch is empty -- refused\n",
                     ppf_target(s)->c_str());
        return false;
    }
    if (!fits_ppf2(run, s, image.size)) return false;
    // A file-size limit would stop the writes part-way, inside a sector: the
    // run is refused before the first instead.
    std::uint64_t need = writes_image(s) && w.size != 0 ? (w.last + 1) * SECTOR_SIZE : 0;
    if (grows && writes_image(s)) need = grows->end_sectors() * SECTOR_SIZE;
    // PPF 3.0 records a grown image's appended sectors too.
    const std::uint64_t appended = s.file_ppf3 && grows ? grows->end_sectors() : 0;
    need = std::max(need, ppf_size_bound(s, w.sectors() + appended));
    return fits_size_limit(run, need);
}

// A patch by name that is not a replacement leaves the recorded size as it
// is: says so when the sizes differ.
void note_recorded_size(run_output& run, const dir_lookup& found, std::uint64_t patch_size) {
    if (found.record.data_length == patch_size) return;
    std::fflush(run.out);
    std::fprintf(run.err,
                 "Note: the patch has %llu bytes, '%s' records %llu; -s would update the "
                 "recorded size\n",
                 static_cast<unsigned long long>(patch_size), printable_name(found.record.name).c_str(),
                 static_cast<unsigned long long>(found.record.data_length));
    std::fflush(run.err);
}

}  // namespace

int patch_mode(run_state& run, unique_fd& bin) {
    const run_settings& s = run.settings;
    data_run d;
    if (const auto stop = open_patch_data(run, bin.get(), d)) return *stop;
    std::optional<xa_data> xa;
    if (const auto stop = open_xa_data(run, bin.get(), d, d.patch, "Patch", xa)) return *stop;
    if (xa) return patch_xa_run(run, bin, d, *xa);
    replace_plan replace;
    if (d.found) {
        // A replacement may grow the file: plan_replacement checks its room.
        const bool sized = !s.mode_replace;
        if (!lookup_fits(run, *d.found, sized ? std::optional(d.patch.info.size) : std::nullopt))
            return error_exit(run);
        if (s.mode_replace &&
            !plan_replacement(run, bin.get(), *d.found, d.patch.info.size, replace, s.mode_relocate != 0,
                             run.track_after_image))
            return error_exit(run);
        // A moved file is laid where it goes.
        if (replace.moved) d.offset = replace.moved->new_first * SECTOR_SIZE;
        if (replace.moved && replace.moved->grows && s.file_ppf) {
            std::fprintf(run.out,
                         "PPF 2.0 file '%s' records the image's size, and the move grows the image: give -P "
                         "-- refused\n",
                         s.file_ppf->c_str());
            return error_exit(run);
        }
        if (sized) note_recorded_size(run, *d.found, d.patch.info.size);
    }
    if (const auto stop = place_window(run, bin.get(), d)) return *stop;
    if (!refuse_patch(run, d.window, d.image, d.patch.info, growth(s.mode_replace ? &replace : nullptr)))
        return error_exit(run);
    // From the first read of the window on, a signal stops the run only
    // between batches of sectors.
    const run_signals signals(run.out, true);
    patch_files files{bin, d.image, d.patch.fd.get(), d.patch.info, s.mode_replace ? &replace : nullptr};
    return patch_run(run, files, d.window, signals);
}

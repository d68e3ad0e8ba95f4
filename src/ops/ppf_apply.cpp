#include "ops/ppf_apply.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/progress.h"
#include "sector/byte_order.h"

namespace {

// Adjacent records are gathered into writes of about this size.
constexpr std::size_t WRITE_SIZE = 1 << 20;
// A PPF file is read in pieces of this size, each checked while it is fresh
// in the cache; its last bytes, which hold a PPF 3.0 file's file_id.diz text
// whatever its length, come first. (A PPF 2.0 file's text may be longer:
// that file is checked once read whole.)
constexpr std::size_t LOAD_PIECE = 1 << 20;
constexpr std::size_t LOAD_TAIL = 1 << 17;

bool text_at(std::span<const std::uint8_t> file, std::size_t at, std::string_view text) {
    return at + text.size() <= file.size() && std::equal(text.begin(), text.end(), file.begin() + std::ptrdiff_t(at));
}

// Where the records end: before a file_id.diz trailer whose length field
// (`length_size` bytes) closes the file, or at its end.
std::size_t records_end(std::span<const std::uint8_t> file, std::size_t start, std::size_t length_size) {
    const std::size_t trailer = PPF_DIZ_BEGIN.size() + PPF_DIZ_END.size() + length_size;
    if (length_size == 0 || file.size() < start + trailer) return file.size();
    const std::size_t end_at = file.size() - length_size - PPF_DIZ_END.size();
    if (!text_at(file, end_at, PPF_DIZ_END)) return file.size();
    const std::size_t length = length_size == PPF3_DIZ_LENGTH_SIZE
                                   ? file[file.size() - 2] | std::size_t{file[file.size() - 1]} << 8
                                   : load_le32(file.last<4>());
    if (length > end_at - start - PPF_DIZ_BEGIN.size()) return file.size();
    const std::size_t begin_at = end_at - length - PPF_DIZ_BEGIN.size();
    return text_at(file, begin_at, PPF_DIZ_BEGIN) ? begin_at : file.size();
}

std::string describe(std::span<const std::uint8_t> file) {
    std::string text(reinterpret_cast<const char*>(file.data()) + PPF_DESCRIPTION, PPF_DESCRIPTION_SIZE);
    text.resize(std::min(text.find('\0'), text.size()));
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return printable_text(text);
}

std::string say(const char* format, unsigned long long a = 0, unsigned long long b = 0,
                unsigned long long c = 0) {
    char line[200];
    std::snprintf(line, sizeof line, format, a, b, c);
    return line;
}

}  // namespace

ppf_record record_at(const ppf_patch& patch, std::span<const std::uint8_t> file, std::size_t at) {
    ppf_record r;
    r.image_at = load_le32(file.subspan(at).first<4>());
    if (patch.offset_size == 8) r.image_at |= std::uint64_t{load_le32(file.subspan(at + 4).first<4>())} << 32;
    r.length = file[at + patch.offset_size];
    r.file_at = at + patch.offset_size + 1;
    return r;
}

namespace {

// The header of a PPF file: its version and where its records lie. Reads
// only the first 1084 bytes and the file_id.diz trailer.
std::string read_header(std::span<const std::uint8_t> file, ppf_patch& out) {
    // Magic, then the encoding method each version writes.
    out = ppf_patch{};
    for (int v = 1; v <= 3; ++v)
        if (text_at(file, 0, PPF_MAGIC[static_cast<std::size_t>(v - 1)]) && file.size() > PPF_METHOD &&
            file[PPF_METHOD] == v - 1)
            out.version = v;
    if (out.version == 0) return "is not a PPF 1.0, 2.0 or 3.0 file (magic and encoding method)";
    std::size_t start = PPF1_HEADER_SIZE, offset_size = 4, length_size = 0;
    if (out.version == 2) {
        start = PPF2_HEADER_SIZE;
        length_size = PPF2_DIZ_LENGTH_SIZE;
        if (file.size() < start) return "ends inside its header";
        out.has_size = true;
        out.image_size = load_le32(file.subspan<PPF2_IMAGE_SIZE, 4>());
        out.block_check = true;
        std::copy_n(file.begin() + PPF_BLOCK, PPF_BLOCK_SIZE, out.block.begin());
    }
    if (out.version == 3) {
        start = PPF3_HEADER_SIZE;
        offset_size = 8;
        length_size = PPF3_DIZ_LENGTH_SIZE;
        if (file.size() < start) return "ends inside its header";
        out.block_check = file[PPF3_BLOCK_CHECK] != 0;
        out.undo = file[PPF3_UNDO] != 0;
        if (file[PPF3_IMAGE_TYPE] != 0) return "is for a GI image, not a BIN image";
        if (out.block_check) {
            if (file.size() < start + PPF_BLOCK_SIZE) return "ends inside its header";
            std::copy_n(file.begin() + PPF_BLOCK, PPF_BLOCK_SIZE, out.block.begin());
            start += PPF_BLOCK_SIZE;
        }
    }
    if (file.size() < start) return "ends inside its header";
    out.description = describe(file);
    out.start = start;
    out.offset_size = offset_size;
    out.end = records_end(file, start, length_size);
    return {};
}

// Checks the records from byte `at` on, up to the first that does not lie
// whole in the first `have` bytes of the file; `at` is left where the next
// check starts.
std::string check_records(std::span<const std::uint8_t> file, std::size_t have,
                          ppf_patch& out, std::size_t& at) {
    const std::size_t offset_size = out.offset_size;
    while (at < out.end) {
        if (have < out.end && have - std::min(have, at) < offset_size + 1) return {};
        if (out.end - at < offset_size + 1)
            return say("has a record at byte %llu that is cut short by the end of its records",
                       at);
        const ppf_record r = record_at(out, file, at);
        const std::size_t stored = r.length * (out.undo ? 2U : 1U);
        if (have < out.end && have - r.file_at < stored) return {};
        if (out.end - r.file_at < stored)
            return say("has a record at byte %llu that is cut short by the end of its records", at);
        if (r.image_at > out.grown_size)
            return say("has a record for image bytes %llu to %llu, past the image's %llu bytes: it would "
                       "leave a gap",
                       r.image_at, r.image_at + r.length, out.grown_size);
        out.grown_size = std::max(out.grown_size, r.image_at + r.length);
        out.bytes += r.length;
        ++out.records;
        at = static_cast<std::size_t>(r.file_at + stored);  // inside the file, which is in memory
    }
    return {};
}

}  // namespace

std::string read_ppf(std::span<const std::uint8_t> file, std::uint64_t image_size, ppf_patch& out) {
    std::string why = read_header(file, out);
    out.grown_size = image_size;
    std::size_t at = out.start;
    if (why.empty()) why = check_records(file, file.size(), out, at);
    return why;
}

bool load_ppf(int fd, std::span<std::uint8_t> file, std::uint64_t image_size, ppf_patch& out, std::string& why) {
    const std::size_t tail = file.size() - std::min(file.size(), LOAD_TAIL);
    if (pread_full(fd, file.subspan(tail), tail) != file.size() - tail) return false;
    bool header = false;
    std::size_t at = 0;
    why.clear();
    for (std::size_t have = 0; have < tail;) {
        const std::size_t n = std::min(LOAD_PIECE, tail - have);
        if (pread_full(fd, file.subspan(have, n), have) != n) return false;
        have += n;
        if (!why.empty() || (!header && (have < std::min<std::size_t>(tail, 60 + 1024) || text_at(file, 0, "PPF20"))))
            continue;
        if (!header) {
            header = true;
            why = read_header(file, out);
            out.grown_size = image_size;
            at = out.start;
        }
        if (why.empty()) why = check_records(file, have == tail ? file.size() : have, out, at);
    }
    if (!header) {
        why = read_header(file, out);
        out.grown_size = image_size;
        at = out.start;
    }
    if (why.empty()) why = check_records(file, file.size(), out, at);
    return true;
}

namespace {

// Reads the image through a window, for records in about ascending order.
class image_reader {
public:
    image_reader(int fd, std::uint64_t size) : fd_(fd), size_(size), window_(WRITE_SIZE) {}

    // The bytes from `at` for `length` that lie inside the image (fewer
    // past its end). False when a read failed.
    bool read(std::uint64_t at, std::size_t length, std::span<const std::uint8_t>& out) {
        out = {};
        if (at >= size_) return true;
        const std::uint64_t want = std::min<std::uint64_t>(length, size_ - at);
        if (at < at_ || at + want > at_ + have_) {
            at_ = at;
            have_ = pread_full(fd_, window_, at);
            if (have_ < std::min<std::uint64_t>(window_.size(), size_ - at)) {
                have_ = 0;
                return false;
            }
        }
        out = std::span<const std::uint8_t>(window_).subspan(static_cast<std::size_t>(at - at_),
                                                             static_cast<std::size_t>(want));
        return true;
    }

private:
    int fd_;
    std::uint64_t size_;
    std::vector<std::uint8_t> window_;
    std::uint64_t at_ = 0, have_ = 0;
};

std::vector<ppf_record> all_records(const ppf_patch& patch, std::span<const std::uint8_t> file) {
    std::vector<ppf_record> records;
    records.reserve(static_cast<std::size_t>(patch.records));
    (void)for_each_record(patch, file, [&](const ppf_record& r) {
        records.push_back(r);
        return true;
    });
    return records;
}

bool overlapping(const std::vector<ppf_record>& records) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    spans.reserve(records.size());
    for (const ppf_record& r : records)
        if (r.length != 0) spans.emplace_back(r.image_at, r.image_at + r.length);
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) return true;
    return false;
}

std::span<const std::uint8_t> new_bytes(std::span<const std::uint8_t> file, const ppf_record& r) {
    return file.subspan(static_cast<std::size_t>(r.file_at), r.length);
}
std::span<const std::uint8_t> old_bytes(std::span<const std::uint8_t> file, const ppf_record& r) {
    return file.subspan(static_cast<std::size_t>(r.file_at) + r.length, r.length);
}

// What one record finds in the image: its new bytes, its old ones (bytes
// past the image's end count as old where the old ones are zeros, the bytes
// a growing image gets), or neither.
struct found_bytes {
    bool is_new = false;
    bool is_old = false;
};

found_bytes look(image_reader& image, std::span<const std::uint8_t> file, const ppf_record& r, bool undo) {
    std::span<const std::uint8_t> now;
    if (!image.read(r.image_at, r.length, now)) return {};
    found_bytes f;
    const auto replacement = new_bytes(file, r);
    f.is_new = now.size() == r.length && std::equal(now.begin(), now.end(), replacement.begin(), replacement.end());
    if (undo) {
        const auto old = old_bytes(file, r);
        f.is_old = std::equal(now.begin(), now.end(), old.begin()) &&
                   std::all_of(old.begin() + std::ptrdiff_t(now.size()), old.end(), [](auto b) { return b == 0; });
    }
    return f;
}

// The block check on the block as it was before records 1..applied: their
// old bytes where the file has them, else their new bytes vouch for the
// bytes they cover.
bool block_holds(const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                 const std::vector<ppf_record>& records, std::uint64_t applied) {
    std::array<std::uint8_t, PPF_BLOCK_SIZE> block{};
    std::array<bool, PPF_BLOCK_SIZE> vouched{};
    const std::size_t have = pread_full(fd, block, PPF_BLOCK_AT);
    for (std::uint64_t j = 0; j < applied; ++j) {
        const ppf_record& r = records[static_cast<std::size_t>(j)];
        const std::uint64_t from = std::max(r.image_at, PPF_BLOCK_AT);
        const std::uint64_t to = std::min(r.image_at + r.length, PPF_BLOCK_AT + PPF_BLOCK_SIZE);
        for (std::uint64_t p = from; p < to; ++p) {
            const auto i = static_cast<std::size_t>(p - PPF_BLOCK_AT);
            if (patch.undo) block[i] = old_bytes(file, r)[static_cast<std::size_t>(p - r.image_at)];
            else vouched[i] = true;
        }
    }
    for (std::size_t i = 0; i < PPF_BLOCK_SIZE; ++i)
        if (!vouched[i] && (i >= have || block[i] != patch.block[i])) return false;
    return true;
}

// The length the image had before a growing file was applied, as its writer
// marks it: one record of no bytes at that length, the records past it
// covering every byte up to the patched image's end, all with zeros as their
// old bytes. Nothing when the file bears no such mark; `unproven` when it
// bears one its records do not bear out.
std::optional<std::uint64_t> size_mark(const std::vector<ppf_record>& records, std::span<const std::uint8_t> file,
                                       std::uint64_t image_size, bool& unproven) {
    unproven = false;
    std::optional<std::uint64_t> mark;
    std::uint64_t end = 0, past = 0;
    for (const ppf_record& r : records) {
        if (r.length == 0) {
            if (mark) unproven = true;
            mark = r.image_at;
        }
        end = std::max(end, r.image_at + r.length);
    }
    if (!mark) return {};
    for (const ppf_record& r : records) {
        if (r.image_at + r.length <= *mark) continue;
        const std::uint64_t from = std::max(r.image_at, *mark);
        past += r.image_at + r.length - from;
        const auto old = old_bytes(file, r).subspan(static_cast<std::size_t>(from - r.image_at));
        if (!std::all_of(old.begin(), old.end(), [](auto b) { return b == 0; })) unproven = true;
    }
    if (end <= *mark || past != end - *mark || image_size < *mark || image_size > end) unproven = true;
    if (unproven) return {};
    return mark;
}

}  // namespace

std::string check_image(const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                        std::uint64_t image_size, bool undo, ppf_state& state) {
    state = ppf_state{};
    if (undo && !patch.undo) return "holds no undo data";
    const std::vector<ppf_record> records = all_records(patch, file);
    const std::uint64_t total = records.size();
    // Where records 1..k hold their new bytes and the rest their old ones:
    // k the first record that does not hold its new bytes.
    std::uint64_t k = total;
    bool stands = false;  // the image stands as a run stopped after record k leaves it
    std::uint64_t wrong_at = 0;  // the first record that does not hold its new bytes
    image_reader image(fd, image_size);
    const bool overlap = overlapping(records);
    if (!overlap) {
        for (std::uint64_t j = 0; j < total && k == total; ++j)
            if (!look(image, file, records[static_cast<std::size_t>(j)], false).is_new) k = j;
        // A record of no bytes is no sign of a run that went past it.
        while (k > 0 && records[static_cast<std::size_t>(k - 1)].length == 0) --k;
        stands = true;
        for (std::uint64_t j = k; j < total && patch.undo && stands; ++j)
            stands = look(image, file, records[static_cast<std::size_t>(j)], true).is_old;
        if (k < total) wrong_at = records[static_cast<std::size_t>(k)].image_at;
    }
    if (undo) {
        if (overlap) {
            // Judged whole: every record must hold its new bytes.
            const auto wrong = std::find_if(records.begin(), records.end(),
                                            [&](const ppf_record& r) { return !look(image, file, r, false).is_new; });
            stands = wrong == records.end();
            k = total;
            if (!stands) wrong_at = wrong->image_at;
        }
        if (!stands)
            return say("has a record for image byte %llu whose patched bytes the image does not "
                       "hold: the undo would not give the old image back",
                       wrong_at);
        state.applied = k;
        state.size_before = size_mark(records, file, image_size, state.size_unproven);
        return {};
    }
    // Judged as a fresh image: the length a PPF 2.0 file names, the block check.
    auto fresh = [&]() -> std::string {
        if (patch.has_size && patch.image_size != image_size)
            return say("is for an image of %llu bytes, not %llu", patch.image_size, image_size);
        std::array<std::uint8_t, PPF_BLOCK_SIZE> block{};
        if (patch.block_check && (pread_full(fd, block, PPF_BLOCK_AT) != PPF_BLOCK_SIZE || block != patch.block))
            return "is for another image: its block check does not match";
        return {};
    };
    if (stands && k > 0) {
        std::uint64_t grown = patch.image_size;
        for (const ppf_record& r : records) grown = std::max(grown, r.image_at + r.length);
        const bool size_fits = !patch.has_size || (image_size >= patch.image_size && image_size <= grown);
        // Without undo data, records whose new bytes the image held before
        // (a sector's unchanged header) look applied: an image that passes as
        // a fresh one is taken as one, unless it holds every record.
        if (size_fits && (!patch.block_check || block_holds(patch, file, fd, records, k)) &&
            (k == total || patch.undo || !fresh().empty())) {
            state.applied = k;
            return {};
        }
    }
    return fresh();
}

std::uint64_t bytes_to_write(const ppf_patch& patch, std::span<const std::uint8_t> file, bool undo,
                             const ppf_state& state) {
    std::uint64_t bytes = 0, j = 0;
    (void)for_each_record(patch, file, [&](const ppf_record& r) {
        if ((j++ < state.applied) == undo) bytes += r.length;
        return true;
    });
    return bytes;
}

std::string ppf_diz_text(const ppf_patch& patch, std::span<const std::uint8_t> file) {
    if (patch.end >= file.size()) return {};
    const std::size_t length_size = patch.version == 2 ? PPF2_DIZ_LENGTH_SIZE : PPF3_DIZ_LENGTH_SIZE;
    const std::size_t from = patch.end + PPF_DIZ_BEGIN.size();
    const std::size_t to = file.size() - length_size - PPF_DIZ_END.size();
    std::string_view text(reinterpret_cast<const char*>(file.data()) + from, std::min(to - from, PPF_DIZ_MAX));
    std::string lines;
    while (!text.empty()) {
        std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(std::min(text.size(), line.size() + 1));
        if (line.ends_with('\r')) line.remove_suffix(1);
        lines += printable_text(line) + '\n';
    }
    return lines;
}

bool apply_records(run_output& run, const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                   bool undo, const ppf_state& state, const platform::held_signals& signals) {
    // Records land in a window of the image read once and written back once
    // from its first to its last changed byte: the bytes between records
    // (a sector's header, say) go back as they were read.
    std::vector<std::uint8_t> window(WRITE_SIZE);
    // `done` counts the records in place, those found there included.
    const std::uint64_t total = patch.records;
    std::uint64_t window_at = 0, window_size = 0, low = 0, high = 0;
    std::uint64_t done = undo ? total - state.applied : state.applied, shown = done;
    progress_meter meter(run, total);
    bool printed = false;
    auto show = [&] {
        printed = true;
        tprintf(trace_stream(run), "%10llu of %llu records applied\n", static_cast<unsigned long long>(done),
                static_cast<unsigned long long>(total));
        shown = done;
    };
    auto flush = [&] {
        if (high == low) return true;
        if (pwrite_full(fd, std::span(window).subspan(static_cast<std::size_t>(low - window_at),
                                                      static_cast<std::size_t>(high - low)),
                        low) != high - low) {
            report_errno(run, "Failed to write image");
            return false;
        }
        low = high = 0;
        if (done / 1000 != shown / 1000) show();
        meter.update(done);
        return true;
    };
    const auto write = [&](const ppf_record& r) {
        if (r.image_at < window_at || r.image_at + r.length > window_at + window_size) {
            if (!flush()) return false;
            if (signals.pending()) {
                meter.clear();
                std::fprintf(run.out,
                             "Interrupted: the run stops after %llu of %llu records; run the same command "
                             "again to finish it\n",
                             static_cast<unsigned long long>(done), static_cast<unsigned long long>(total));
                return false;
            }
            // Forward, the window starts at the record; backward, it ends there.
            const std::uint64_t end = r.image_at + r.length;
            window_at = !undo ? r.image_at : end > window.size() ? end - window.size() : 0;
            window_size = pread_full(fd, window, window_at);
            // Past the image's end: the records grow it from there.
            if (window_size < window.size() && errno == 0) {
                std::fill(window.begin() + std::ptrdiff_t(window_size), window.end(), 0);
                window_size = window.size();
            }
            if (window_at + window_size < end) {
                report_errno(run, "Failed to read image");
                return false;
            }
        }
        const auto from = file.begin() + std::ptrdiff_t(r.file_at + (undo ? r.length : 0));
        std::copy_n(from, r.length, window.begin() + std::ptrdiff_t(r.image_at - window_at));
        low = high == low ? r.image_at : std::min(low, r.image_at);
        high = std::max(high, r.image_at + r.length);
        ++done;
        return true;
    };
    // An undo goes backward: a record's old bytes may have been taken after
    // an earlier record had changed some of them, so the earliest record's
    // old bytes are the ones that must stay.
    const std::vector<ppf_record> records = all_records(patch, file);
    const auto first = records.begin() + std::ptrdiff_t(state.applied);
    if (undo) {
        for (auto r = std::make_reverse_iterator(first); r != records.rend(); ++r)
            if (!write(*r)) return false;
    } else {
        for (auto r = first; r != records.end(); ++r)
            if (!write(*r)) return false;
    }
    if (!flush()) return false;
    // The last count, when a line went before it.
    if (printed && shown != done) show();
    return true;
}

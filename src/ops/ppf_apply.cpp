#include "ops/ppf_apply.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

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
        at = r.file_at + stored;
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

std::string check_image(const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                        std::uint64_t image_size, bool undo) {
    if (undo) {
        if (!patch.undo) return "holds no undo data";
        std::vector<std::uint8_t> now(PPF_RECORD_MAX);
        std::uint64_t wrong = 0;
        const bool holds = for_each_record(patch, file, [&](const ppf_record& r) {
            const auto here = std::span(now).first(r.length);
            wrong = r.image_at;
            return pread_full(fd, here, r.image_at) == r.length &&
                   std::equal(here.begin(), here.end(), file.begin() + std::ptrdiff_t(r.file_at));
        });
        if (holds) return {};
        return say("has a record for image byte %llu whose patched bytes the image does not "
                   "hold: the undo would not give the old image back",
                   wrong);
    }
    if (patch.has_size && patch.image_size != image_size)
        return say("is for an image of %llu bytes, not %llu", patch.image_size, image_size);
    if (patch.block_check) {
        std::array<std::uint8_t, PPF_BLOCK_SIZE> block{};
        if (pread_full(fd, block, PPF_BLOCK_AT) != PPF_BLOCK_SIZE || block != patch.block)
            return "is for another image: its block check does not match";
    }
    return {};
}

bool apply_records(run_output& run, const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                   bool undo, const platform::held_signals& signals) {
    // Records land in a window of the image read once and written back once
    // from its first to its last changed byte: the bytes between records
    // (a sector's header, say) go back as they were read.
    std::vector<std::uint8_t> window(WRITE_SIZE);
    std::uint64_t window_at = 0, window_size = 0, low = 0, high = 0, done = 0, shown = 0;
    auto flush = [&] {
        if (high == low) return true;
        if (pwrite_full(fd, std::span(window).subspan(static_cast<std::size_t>(low - window_at),
                                                      static_cast<std::size_t>(high - low)),
                        low) != high - low) {
            report_errno(run, "Failed to write image");
            return false;
        }
        low = high = 0;
        if (done / 1000 != shown / 1000) {
            tprintf(trace_stream(run), "%10llu of %llu records applied\n", static_cast<unsigned long long>(done),
                         static_cast<unsigned long long>(patch.records));
            shown = done;
        }
        return true;
    };
    const auto write = [&](const ppf_record& r) {
        if (r.image_at < window_at || r.image_at + r.length > window_at + window_size) {
            if (!flush()) return false;
            if (signals.pending()) {
                std::fprintf(run.out, "Interrupted: the run stops after %llu of %llu records\n",
                             static_cast<unsigned long long>(done),
                             static_cast<unsigned long long>(patch.records));
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
    if (undo) {
        std::vector<ppf_record> records;
        records.reserve(static_cast<std::size_t>(patch.records));
        (void)for_each_record(patch, file, [&](const ppf_record& r) {
            records.push_back(r);
            return true;
        });
        for (auto r = records.rbegin(); r != records.rend(); ++r)
            if (!write(*r)) return false;
    } else if (!for_each_record(patch, file, write)) {
        return false;
    }
    return flush();
}

#include "ops/vcdiff_apply.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <vector>

#include "format/checksum.h"
#include "io/progress.h"
#include "io/sector_io.h"

namespace {

// The image as the patch's source: read in chunks of whole sectors, each
// mended as it comes in, the last few chunks kept for the copies that
// follow (a window of many short copies takes them from all over its
// source segment).
class source_chunks {
public:
    static constexpr std::size_t CHUNK_SECTORS = 448;  // about 1 MiB
    static constexpr std::size_t KEPT = 16;            // chunks kept, the least recently used given up

    source_chunks(int fd, std::uint64_t size, const sector_mend& mend) : fd_(fd), size_(size), mend_(mend) {}

    // The bytes at `at`. False when they cannot all be read.
    bool read(std::uint64_t at, std::span<std::uint8_t> out) {
        // A copy of a chunk or more, with no sector to mend, goes straight
        // from the image into the window: the long copies of the bytes a
        // patch leaves as they were.
        if (!mend_ && out.size() >= CHUNK_SECTORS * SECTOR_SIZE) {
            errno = 0;
            if (at >= size_ || out.size() > size_ - at || pread_full(fd_, out, at) != out.size()) {
                if (errno == 0) errno = EIO;
                return false;
            }
            return true;
        }
        while (!out.empty()) {
            const auto kept = std::find_if(slots_.begin(), slots_.end(), [&](const slot& s) {
                return s.used != 0 && at >= s.at && at < s.at + s.bytes.size();
            });
            if (kept != slots_.end()) {
                current_ = static_cast<std::size_t>(kept - slots_.begin());
                kept->used = ++clock_;
            } else if (at >= size_ || !load(at - at % SECTOR_SIZE)) {
                return false;
            }
            const slot& s = slots_[current_];
            const auto from = static_cast<std::size_t>(at - s.at);
            const std::size_t n = std::min(out.size(), s.bytes.size() - from);
            std::copy_n(s.bytes.begin() + static_cast<std::ptrdiff_t>(from), n, out.begin());
            out = out.subspan(n);
            at += n;
        }
        return true;
    }

    // The chunk from `at` (a sector's start), in place of the one used
    // least recently. False after a failed read.
    bool load(std::uint64_t at) {
        current_ = static_cast<std::size_t>(
            std::min_element(slots_.begin(), slots_.end(), [](const slot& a, const slot& b) { return a.used < b.used; }) -
            slots_.begin());
        slot& s = slots_[current_];
        s.used = 0;
        s.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SECTORS * SECTOR_SIZE, size_ - at)));
        errno = 0;
        if (pread_full(fd_, s.bytes, at) != s.bytes.size()) {
            if (errno == 0) errno = EIO;  // the image got shorter
            s.bytes.clear();
            return false;
        }
        s.at = at;
        s.used = ++clock_;
        if (mend_)
            for (std::size_t k = 0; (k + 1) * SECTOR_SIZE <= s.bytes.size(); ++k)
                mend_(std::span<std::uint8_t, SECTOR_SIZE>(s.bytes.data() + k * SECTOR_SIZE, SECTOR_SIZE),
                      at / SECTOR_SIZE + k);
        return true;
    }

    std::span<const std::uint8_t> chunk() const { return slots_[current_].bytes; }

private:
    struct slot {
        std::vector<std::uint8_t> bytes;
        std::uint64_t at = 0;
        std::uint64_t used = 0;  // when it was last used; 0: holds nothing
    };

    int fd_;
    std::uint64_t size_;
    const sector_mend& mend_;
    std::array<slot, KEPT> slots_{};
    std::size_t current_ = 0;
    std::uint64_t clock_ = 0;
};

}  // namespace

bool image_crc32(run_output& run, int image, std::uint64_t image_size, const sector_mend& mend, std::uint32_t& crc,
                 const char* what, const std::function<bool()>& stopped, const chunk_seen& seen) {
    source_chunks source(image, image_size, mend);
    progress_meter meter(run, image_size);
    crc = 0;
    for (std::uint64_t at = 0; at < image_size; at += source.chunk().size()) {
        if (!source.load(at)) {
            report_errno(run, (std::string("Failed to read ") + what).c_str());
            return false;
        }
        crc = crc32_update(crc, source.chunk());
        if (seen) seen(at, source.chunk());
        meter.update(at);
        if (stopped && stopped()) return false;
    }
    return true;
}

bool apply_vcdiff(run_output& run, vcdiff_reader& reader, int image, std::uint64_t image_size, int out,
                  const sector_mend& mend, const platform::held_signals& signals, vcdiff_outcome& result) {
    source_chunks source(image, image_size, mend);
    bool source_failed = false, target_failed = false;
    const vcdiff_input from_source = [&](std::uint64_t at, std::span<std::uint8_t> bytes) {
        return (source_failed = !source.read(at, bytes)) == false;
    };
    // A dry run keeps no target: a copy from it cannot be made.
    const vcdiff_input from_target = [&](std::uint64_t at, std::span<std::uint8_t> bytes) {
        errno = 0;
        target_failed = out < 0 || pread_full(out, bytes, at) != bytes.size();
        return !target_failed;
    };
    progress_meter meter(run, reader.size());
    vcdiff_window w;
    while (!reader.done()) {
        if (signals.pending()) {
            meter.clear();
            std::fprintf(run.out, "\nInterrupted: the run stops after %llu windows, before the patched image was "
                                  "put in place: the image is as it was\n",
                         static_cast<unsigned long long>(result.windows));
            return false;
        }
        source_failed = target_failed = false;
        if (std::string why = reader.next(from_source, image_size, from_target, w); !why.empty()) {
            if (source_failed) {
                report_errno(run, "Failed to read image");
                return false;
            }
            if (target_failed && out >= 0) {
                report_errno(run, "Failed to read output file");
                return false;
            }
            if (target_failed)
                why = "window " + std::to_string(w.index) +
                      " copies from the patched image itself, which a dry run does not keep: it cannot be checked";
            else if (reader.read_failed()) {
                report_errno(run, "Failed to read VCDIFF file");
                return false;
            }
            result.why = why;
            return false;
        }
        if (out >= 0 && pwrite_full(out, w.target, w.target_at) != w.target.size()) {
            report_errno(run, "Failed to write output file");
            return false;
        }
        ++result.windows;
        if (w.checked) ++result.checked;
        result.bytes += w.target.size();
        meter.update(reader.position());
        tprintf(trace_stream(run), "Window %llu: %zu bytes at %llu%s\n", static_cast<unsigned long long>(w.index),
                w.target.size(), static_cast<unsigned long long>(w.target_at),
                w.checked ? ", checksum good" : ", no checksum");
    }
    return true;
}

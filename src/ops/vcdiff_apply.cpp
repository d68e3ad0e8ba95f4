#include "ops/vcdiff_apply.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <future>
#include <system_error>
#include <thread>
#include <vector>

#include "format/checksum.h"
#include "io/progress.h"
#include "io/sector_io.h"
#include "platform/platform.h"

namespace {

// Reads `bytes.size()` bytes of the image at `at` (a sector's start) and
// mends each whole sector by `mend`, where given. False after a failed or
// short read (errno set).
bool read_mended(int fd, std::span<std::uint8_t> bytes, std::uint64_t at, const sector_mend& mend) {
    errno = 0;
    if (pread_full(fd, bytes, at) != bytes.size()) {
        if (errno == 0) errno = EIO;  // the image got shorter
        return false;
    }
    if (mend)
        for (std::size_t k = 0; (k + 1) * SECTOR_SIZE <= bytes.size(); ++k)
            mend(std::span<std::uint8_t, SECTOR_SIZE>(bytes.data() + k * SECTOR_SIZE, SECTOR_SIZE),
                 at / SECTOR_SIZE + k);
    return true;
}

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
            if (at < size_ && out.size() <= size_ - at) return read_mended(fd_, out, at, mend_);
            errno = EIO;
            return false;
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

private:
    // The chunk from `at` (a sector's start), in place of the one used
    // least recently. False after a failed read.
    bool load(std::uint64_t at) {
        current_ = static_cast<std::size_t>(
            std::min_element(slots_.begin(), slots_.end(), [](const slot& a, const slot& b) { return a.used < b.used; }) -
            slots_.begin());
        slot& s = slots_[current_];
        s.used = 0;
        s.bytes.resize(static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK_SECTORS * SECTOR_SIZE, size_ - at)));
        if (!read_mended(fd_, s.bytes, at, mend_)) {
            s.bytes.clear();
            return false;
        }
        s.at = at;
        s.used = ++clock_;
        return true;
    }

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

// CRC-32 of the image's bytes from `from` (a sector's start) to `to`, read a
// chunk at a time into one buffer, each sector mended by `mend` where given
// and each chunk shown to `seen`. `going` is asked after each chunk whether
// to go on. False after a failed read (errno set) or when told to stop.
bool crc_of_range(int image, std::uint64_t from, std::uint64_t to, const sector_mend& mend, std::uint32_t& crc,
                  const std::function<bool(std::uint64_t done)>& going, const chunk_seen& seen) {
    std::vector<std::uint8_t> chunk;
    crc = 0;
    for (std::uint64_t at = from; at < to; at += chunk.size()) {
        chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(source_chunks::CHUNK_SECTORS * SECTOR_SIZE, to - at)));
        if (!read_mended(image, chunk, at, mend)) return false;
        crc = crc32_update(crc, chunk);
        if (seen) seen(at, chunk);
        if (!going(at + chunk.size() - from)) return false;
    }
    return true;
}

}  // namespace

bool image_crc32(run_output& run, int image, std::uint64_t image_size, const sector_mend& mend, std::uint32_t& crc,
                 const char* what, const std::function<bool()>& stopped, const chunk_seen& seen) {
    progress_meter meter(run, image_size);
    bool interrupted = false;
    const auto fail = [&] {
        if (!interrupted) report_errno(run, (std::string("Failed to read ") + what).c_str());
        return false;
    };
    // A large image whose chunks need not be seen in order is read in two
    // halves, one on a thread of its own, and their CRC-32s joined: reading
    // it takes most of the time, and both cores read.
    constexpr std::uint64_t SPLIT_FROM = 2 * source_chunks::CHUNK_SECTORS * SECTOR_SIZE;
    if (!seen && image_size >= SPLIT_FROM && platform::helper_threads(2) >= 2) {
        const std::uint64_t half = image_size / SECTOR_SIZE / 2 * SECTOR_SIZE;
        std::atomic<std::uint64_t> second_done{0};
        std::atomic<bool> stop{false};
        std::uint32_t second = 0;
        int second_errno = 0;
        std::thread helper;
        try {
            helper = std::thread([&] {
                if (!crc_of_range(image, half, image_size, mend, second, [&](std::uint64_t done) {
                        second_done = done;
                        return !stop;
                    }, {}))
                    second_errno = errno;
            });
        } catch (const std::system_error&) {
            // No thread to be had: the image is read whole below.
        }
        if (helper.joinable()) {
            std::uint32_t first = 0;
            const bool read = crc_of_range(image, 0, half, mend, first, [&](std::uint64_t done) {
                meter.update(done + second_done);
                interrupted = stopped && stopped();
                return !interrupted;
            }, {});
            const int first_errno = errno;
            if (!read) stop = true;
            helper.join();
            if (!read) {
                errno = first_errno;
                return fail();
            }
            if (second_errno != 0) {
                errno = second_errno;
                return fail();
            }
            crc = crc32_combine(first, second, image_size - half);
            return true;
        }
    }
    return crc_of_range(image, 0, image_size, mend, crc, [&](std::uint64_t done) {
        meter.update(done);
        interrupted = stopped && stopped();
        return !interrupted;
    }, seen) || fail();
}

bool apply_vcdiff(run_output& run, vcdiff_reader& reader, int image, std::uint64_t image_size, int out,
                  const sector_mend& mend, const platform::held_signals& signals, vcdiff_outcome& result) {
    source_chunks source(image, image_size, mend);
    // A window is written on a thread of its own while the next one is
    // decoded (where the build has threads): the two take about as long.
    bool behind = out >= 0 && platform::helper_threads(1) > 0;
    std::array<vcdiff_window, 2> windows;
    std::size_t decoding = 0;
    vcdiff_window* in_flight = nullptr;  // the window being written
    std::future<int> written;            // 0, or the errno of its failed write
    // The window is written and counted: its trace line.
    const auto count = [&](const vcdiff_window& w) {
        ++result.windows;
        if (w.checked) ++result.checked;
        result.bytes += w.target.size();
        tprintf(trace_stream(run), "Window %llu: %zu bytes at %llu%s\n", static_cast<unsigned long long>(w.index),
                w.target.size(), static_cast<unsigned long long>(w.target_at),
                w.checked ? ", checksum good" : ", no checksum");
    };
    // Waits for the window in flight. False after reporting its failure.
    const auto settle = [&] {
        if (in_flight == nullptr) return true;
        const vcdiff_window& w = *in_flight;
        in_flight = nullptr;
        if (const int failed = written.get(); failed != 0) {
            errno = failed;
            report_errno(run, "Failed to write output file");
            return false;
        }
        count(w);
        return true;
    };
    bool source_failed = false, target_failed = false;
    const vcdiff_input from_source = [&](std::uint64_t at, std::span<std::uint8_t> bytes) {
        return (source_failed = !source.read(at, bytes)) == false;
    };
    // The target so far: the window in flight from its bytes, the windows
    // before it from the output file. A dry run keeps no target: a copy from
    // it cannot be made.
    const vcdiff_input from_target = [&](std::uint64_t at, std::span<std::uint8_t> bytes) {
        if (in_flight != nullptr && at + bytes.size() > in_flight->target_at) {
            const std::uint64_t start = std::max(at, in_flight->target_at);
            const auto skip = static_cast<std::size_t>(start - at);
            const auto from = static_cast<std::ptrdiff_t>(start - in_flight->target_at);
            if (start + (bytes.size() - skip) > in_flight->target_at + in_flight->target.size()) {
                target_failed = true;
                errno = EIO;
                return false;
            }
            std::copy_n(in_flight->target.begin() + from, bytes.size() - skip, bytes.begin() + static_cast<std::ptrdiff_t>(skip));
            bytes = bytes.first(skip);
        }
        errno = 0;
        target_failed = out < 0 || pread_full(out, bytes, at) != bytes.size();
        return !target_failed;
    };
    // Whatever ends the run waits for the window in flight first.
    const auto stop = [&] {
        if (in_flight != nullptr) written.wait();
        in_flight = nullptr;
        return false;
    };
    progress_meter meter(run, reader.size());
    while (!reader.done()) {
        if (signals.pending()) {
            if (!settle()) return stop();
            meter.clear();
            std::fprintf(run.out, "\nInterrupted: the run stops after %llu windows, before the patched image was "
                                  "put in place: the image is as it was\n",
                         static_cast<unsigned long long>(result.windows));
            return false;
        }
        source_failed = target_failed = false;
        vcdiff_window& w = windows[decoding];
        if (std::string why = reader.next(from_source, image_size, from_target, w); !why.empty()) {
            const int read_errno = errno;
            if (!settle()) return stop();
            errno = read_errno;
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
        if (out < 0) {
            count(w);
        } else {
            if (!settle()) return stop();
            const auto write = [out, &w] {
                errno = 0;
                return pwrite_full(out, w.target, w.target_at) == w.target.size() ? 0 : errno;
            };
            if (behind) {
                try {
                    written = std::async(std::launch::async, write);
                } catch (const std::system_error&) {
                    behind = false;  // no thread to be had: the windows are written as they come
                }
            }
            if (!behind) {
                std::promise<int> now;
                now.set_value(write());
                written = now.get_future();
            }
            in_flight = &w;
            decoding ^= 1;
        }
        meter.update(reader.position());
    }
    return settle() || stop();
}

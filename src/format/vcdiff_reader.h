// Reading VCDIFF delta files (RFC 3284) as xdelta3 writes them: the standard
// code table, its Adler-32 checksum of each window's target and its
// application header. A window is decoded at a time; its copies are read
// from the source (or from the target written so far) where they lie, so
// memory stays at a window's target and its sections.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/vcdiff_layout.h"

// The largest window target a file may have (xdelta3's decoder refuses
// larger ones), and the largest section of a window.
inline constexpr std::uint64_t VCDIFF_MAX_WINDOW = 16U << 20;
inline constexpr std::uint64_t VCDIFF_MAX_SECTION = 64U << 20;

// Secondary compressors, by the id a file's header gives.
enum class vcdiff_compressor : std::uint8_t { none = 0, djw = 1, lzma = 2, fgk = 16 };

// A secondary decompressor of one kind of section (data, instructions or
// addresses): one stream from window to window, as xdelta3 keeps it.
class vcdiff_secondary {
public:
    virtual ~vcdiff_secondary() = default;
    // Decompresses `in`, the section's compressed bytes in this window, into
    // exactly `out`. False when they do not decompress to that.
    virtual bool decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) = 0;
};

// A decompressor of that kind, or null where this build has none.
std::unique_ptr<vcdiff_secondary> make_secondary(vcdiff_compressor kind);

// The source a file says it was made from, in its application header (as
// corvane writes it: "corvane:source-size=N:source-crc32=XXXXXXXX").
struct vcdiff_source {
    std::uint64_t size = 0;
    std::uint32_t crc32 = 0;
};
std::optional<vcdiff_source> source_named(std::span<const std::uint8_t> application_header);

// Reads `out.size()` bytes at offset `at` of the source (the image) or of the
// target written so far. False when they cannot all be read.
using vcdiff_input = std::function<bool(std::uint64_t at, std::span<std::uint8_t> out)>;

// One decoded window.
struct vcdiff_window {
    std::uint64_t index = 0;      // from 0
    std::uint64_t target_at = 0;  // where its target starts in the whole target
    std::vector<std::uint8_t> target;
    bool checked = false;  // the file carried its Adler-32, and it matched
};

class vcdiff_reader {
public:
    // Reads the header of the VCDIFF file open on `fd`, `size` bytes long.
    // Returns why it cannot be read, in words (empty when it can); `read_failed`
    // then says whether a read of the file failed (errno set).
    std::string open(int fd, std::uint64_t size);

    vcdiff_compressor compressor() const { return compressor_; }
    const std::vector<std::uint8_t>& application_header() const { return application_; }

    // True once every window has been decoded.
    bool done() const { return at_ == size_; }
    // The file's length, and how far into it the windows decoded reach.
    std::uint64_t size() const { return size_; }
    std::uint64_t position() const { return at_; }

    // Decodes the next window into `w`, its copies read from `source` (of
    // `source_size` bytes) or from `target` (what the windows before gave).
    // Returns why not, in words (empty when the window is sound).
    std::string next(const vcdiff_input& source, std::uint64_t source_size, const vcdiff_input& target,
                     vcdiff_window& w);

    // The last failure was a read of the patch, source or target (errno set).
    bool read_failed() const { return read_failed_; }

    // Bytes of target all windows decoded so far give.
    std::uint64_t target_size() const { return target_size_; }

private:
    std::string read_at(std::uint64_t at, std::span<std::uint8_t> out);

    int fd_ = -1;
    std::uint64_t size_ = 0, at_ = 0;
    std::uint64_t windows_ = 0, target_size_ = 0;
    vcdiff_compressor compressor_ = vcdiff_compressor::none;
    std::vector<std::uint8_t> application_;
    std::vector<std::uint8_t> delta_;  // the window's delta encoding
    std::array<std::unique_ptr<vcdiff_secondary>, 3> secondary_;  // data, instructions, addresses
    std::array<std::vector<std::uint8_t>, 3> decoded_;             // their sections decompressed
    bool read_failed_ = false;
};

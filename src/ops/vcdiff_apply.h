// Applying a VCDIFF (xdelta) file to an image: the target is built window by
// window into another file, each window checked (its Adler-32, where the file
// carries one) before its bytes are written. The image is only read.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "format/vcdiff_reader.h"
#include "io/output.h"

// How the image's sectors are read as the patch's source: as they are, or
// mended the way the patch's dump had them (see ops/doctor.h).
using sector_mend = std::function<void(std::span<std::uint8_t, SECTOR_SIZE> sector, std::uint64_t index)>;

struct vcdiff_outcome {
    std::uint64_t windows = 0;
    std::uint64_t checked = 0;  // windows whose checksum the file carried, and matched
    std::uint64_t bytes = 0;    // of target
    std::string why;            // set when the file does not fit: the reader's words
};

// Decodes every window of `reader` (opened) against the image open on
// `image` (`image_size` bytes, its sectors mended by `mend` where given) and
// writes each into `out` at its place; with `out` < 0 (a dry run) nothing is
// written, and a window that copies from the target already built cannot
// be checked. Prints a trace line per window and a progress line; a held
// signal stops it between windows. False after reporting a failed read or
// write or a stop, or with `result.why` set when the file does not fit.
bool apply_vcdiff(run_output& run, vcdiff_reader& reader, int image, std::uint64_t image_size, int out,
                  const sector_mend& mend, const platform::held_signals& signals, vcdiff_outcome& result);

// CRC-32 (zip's) of the image's bytes, its sectors mended by `mend` where
// given. `stopped`, where given, is asked after each chunk whether a signal
// stops the run (it says so). False after reporting a failed read of the
// `what` ("Failed to read WHAT") or a stop. `seen`, where given, is shown
// each chunk read (whole sectors from a sector's start, in order).
using chunk_seen = std::function<void(std::uint64_t at, std::span<const std::uint8_t> bytes)>;
bool image_crc32(run_output& run, int image, std::uint64_t image_size, const sector_mend& mend, std::uint32_t& crc,
                 const char* what = "image", const std::function<bool()>& stopped = {}, const chunk_seen& seen = {});

// What an image is, when a patch does not fit it: judged from the image's
// own bytes and the files beside it, in a few lines a player can act on (a
// dump split into several files, an ISO of 2048-byte sectors, damaged
// sectors, EDCs another tool wrote another way, another release). Shared by
// the PPF and the VCDIFF applier. Reads the image; writes nothing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/output.h"
#include "ops/vcdiff_apply.h"

// What the patch says of the image it was made from.
struct dump_expected {
    std::optional<std::uint64_t> size;
    std::optional<std::uint32_t> crc32;
};

// A cue sheet found beside the image (or given instead of it).
struct sheet_beside {
    std::string path;
    std::vector<std::uint64_t> file_sizes;  // of each FILE it names, in order
    // Where the sheet's one file holds several tracks: the bytes its first
    // track alone may take in a file of its own.
    std::vector<std::uint64_t> data_track_sizes;
};

// Ways the image may differ from the patch's dump in its coded bytes alone.
enum class dump_mending : std::uint8_t {
    none,
    form2_edc_computed,  // Form 2 sectors with an EDC of zero get it computed
    form2_edc_zeroed,    // Form 2 sectors get an EDC of zero
    coded_rebuilt,       // sectors whose EDC or parity fail get them rebuilt, as a repairing tool does
};

// The mend of that kind, for the applier's source.
sector_mend mend_of(dump_mending kind);

// Prints "What this image is:" and its lines. With the expected CRC-32 known,
// finds which mending (if any) makes the image the patch's dump and
// returns it (so --fix-dump can apply on that). False after a failed read.
bool diagnose_dump(run_output& run, int image, std::uint64_t image_size, const std::string& image_path,
                   const dump_expected& expected, const std::optional<sheet_beside>& sheet,
                   std::optional<dump_mending>& fits);

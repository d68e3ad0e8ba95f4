// The matcher of two images: how each sector of a modified image can be
// made from the original. A sector is the same as before, or one the
// original holds elsewhere (moved: its bytes after the header are those of
// another original sector, as a file moved whole keeps its subheaders, EDC
// and parity), or changed against an original sector (its own place, or the
// place after the sector the one before it came from), or new past the
// original's end with nothing to copy. Reads both images and prints nothing.
//
// Memory: one 16-byte entry per whole sector of the original (5.3 MB for a
// 330,000-sector image of 780 MB), built on the first sector that is not
// the same (or from a pass that read the original before), plus a megabyte of each image at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <vector>

#include "sector/layout.h"

enum class sector_kind {
    same,      // the original's sector at this place, byte for byte
    moved,     // another original sector's bytes after the header
    changed,   // coded against `source`, an original sector at or near its place
    appended,  // past the original's end, found nowhere in it
};

inline constexpr std::uint64_t NO_SOURCE = std::numeric_limits<std::uint64_t>::max();

// One sector of the modified image and what it is made from. The spans stay
// valid until the next step.
struct sector_step {
    std::uint64_t sector = 0;  // index in the modified image
    sector_kind kind = sector_kind::same;
    // The original sector it is coded against (same: itself); NO_SOURCE for
    // an appended sector that follows none.
    std::uint64_t source = NO_SOURCE;
    std::span<const std::uint8_t> target;        // its bytes: a whole sector, or the image's tail
    std::span<const std::uint8_t> source_bytes;  // the source's bytes, at most as many; empty for none
    std::span<const std::uint8_t> in_place;      // the original's bytes at the same offset, at most as many
};

// How a step is coded: runs of at least MIN_COPY bytes that its source
// holds at the same place in its sector are copies (from that byte of the
// original), the rest adds. Pieces come in order and cover the target.
inline constexpr std::size_t MIN_COPY = 8;
struct step_piece {
    bool copy = false;
    std::uint64_t from = 0;  // copy: the original's byte offset
    std::span<const std::uint8_t> bytes;
};
void pieces_of(const sector_step& step, const std::function<void(const step_piece&)>& each);

class vcdiff_writer;

// Codes the steps of a target, in order, into a VCDIFF writer: a sector the
// same as before as a copy of itself; a sector that is the one before it
// again but for the last bytes of its address (a run of blank sectors, a
// postgap) as a copy of that one from the target with those bytes added;
// any other by its pieces.
class step_coder {
public:
    explicit step_coder(vcdiff_writer& writer) : writer_(writer) {}
    void code(const sector_step& step);

private:
    vcdiff_writer& writer_;
    std::vector<std::uint8_t> before_;            // the sector before, when it was not the same
    std::uint64_t before_sector_ = NO_SOURCE;
};

struct match_image {
    int fd = -1;
    std::uint64_t size = 0;
};

class sector_matcher {
public:
    sector_matcher(match_image original, match_image modified);

    // The next sector of the modified image; false at its end, or after a
    // failed read (failed() then holds, with errno set).
    [[nodiscard]] bool next(sector_step& step);
    // Sector `sector` of a target made elsewhere (the modified image is not
    // read): `target` its bytes, `in_place` the original's bytes at its
    // offset. Sectors come in ascending order; those not shown are the
    // original's own. False after a failed read.
    [[nodiscard]] bool match(std::uint64_t sector, std::span<const std::uint8_t> target,
                             std::span<const std::uint8_t> in_place, sector_step& step);
    bool failed() const { return failed_; }
    // The original's bytes from byte `at` on, shown by a pass that reads it
    // whole for another reason: shown in ascending order from its start to
    // its end, in pieces of whole sectors, they make the index without a
    // read of its own. Anything else leaves the index to that read.
    void index_original(std::uint64_t at, std::span<const std::uint8_t> bytes);

    // Bytes the index of the original's sectors takes (0 before it is built).
    std::uint64_t index_bytes() const { return index_.capacity() * sizeof(entry); }

private:
    struct entry {
        std::uint64_t hash;
        std::uint64_t sector;
    };

    bool fill();
    bool build_index();
    void sort_index();
    bool read_original(std::uint64_t sector, std::vector<std::uint8_t>& out);
    bool moved_from(std::uint64_t candidate, std::span<const std::uint8_t> target);
    std::uint64_t find(std::span<const std::uint8_t> target, std::uint64_t skip);

    match_image original_, modified_;
    std::uint64_t original_sectors_;  // whole sectors
    std::vector<std::uint8_t> target_, in_place_;  // the current chunk of each image
    std::uint64_t chunk_first_ = 0, chunk_sectors_ = 0, at_ = 0;  // at_: the next sector
    std::vector<std::uint8_t> source_;  // an original sector read on its own
    std::uint64_t last_source_ = NO_SOURCE;
    std::uint64_t last_sector_ = NO_SOURCE;  // the sector matched last
    bool following_move_ = false;  // the sector before came from another place
    std::vector<entry> index_;
    bool indexed_ = false;
    std::uint64_t shown_ = 0;  // original sectors shown to index_original()
    bool failed_ = false;
};

// Applying a PPF file (1.0, 2.0 or 3.0) to an image: the file read and
// checked whole before the first write, then its records written in place.
#pragma once

#include <array>
#include <optional>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/output.h"
#include "format/ppf_layout.h"

// One record: `length` bytes for image offset `image_at`, found at `file_at`
// in the PPF file (and, with undo data, the bytes they replace right after).
struct ppf_record {
    std::uint64_t file_at = 0;
    std::uint64_t image_at = 0;
    std::uint32_t length = 0;
};

struct ppf_patch {
    int version = 0;  // 1, 2 or 3
    std::string description;
    bool has_size = false;  // PPF 2.0 names the image's length ...
    std::uint64_t image_size = 0;
    bool block_check = false;  // ... and PPF 2.0, and 3.0 when it says so, its block check
    std::array<std::uint8_t, PPF_BLOCK_SIZE> block{};
    bool undo = false;  // PPF 3.0 with undo data
    std::size_t start = 0;        // where the records start in the file ...
    std::size_t end = 0;          // ... and end (before a file_id.diz text)
    std::size_t offset_size = 4;  // bytes of a record's image offset: 4, or 8 in PPF 3.0
    std::uint64_t records = 0;
    std::uint64_t bytes = 0;  // in all records
    std::uint64_t grown_size = 0;  // the image's length once every record is applied
};

// The record at byte `at` of a file read_ppf accepted.
ppf_record record_at(const ppf_patch& patch, std::span<const std::uint8_t> file, std::size_t at);

// Calls visit(record) for each record in order while it returns true.
// False when a visit said to stop.
template <typename Visit>
bool for_each_record(const ppf_patch& patch, std::span<const std::uint8_t> file, Visit visit) {
    for (std::size_t at = patch.start; at < patch.end;) {
        const ppf_record r = record_at(patch, file, at);
        if (!visit(r)) return false;
        at = static_cast<std::size_t>(r.file_at + r.length * (patch.undo ? 2U : 1U));  // checked: inside the file
    }
    return true;
}

// Reads a whole PPF file and checks that every record lies inside the file
// and begins inside an image of `image_size` bytes as the records before it
// grow it: a record that runs past the image's end grows it, one that
// begins past it would leave a gap. Returns why not in one line (empty when
// the file is sound).
std::string read_ppf(std::span<const std::uint8_t> file, std::uint64_t image_size, ppf_patch& out);

// Reads a PPF file of file.size() bytes from `fd` into `file` and checks it
// as read_ppf does (`why`), each piece while it is fresh in the cache. False,
// with errno set, when the file could not be read whole: then `why` says
// nothing.
bool load_ppf(int fd, std::span<std::uint8_t> file, std::uint64_t image_size, ppf_patch& out, std::string& why);

// Where an image stands against a patch, as judged before the first write:
// records 1..applied hold their new bytes and the others their old ones, as
// a run stopped part-way leaves them (the applier writes records in file
// order, an undo in reverse).
struct ppf_state {
    std::uint64_t applied = 0;
    // An undo of a file that grew the image: the length the image had
    // before, which the undo cuts it back to ...
    std::optional<std::uint64_t> size_before;
    // ... or the file marks that length but its records do not bear it out.
    bool size_unproven = false;
};

// Checks the patch against the image open on `fd` and says where the image
// stands (`state`). An image that holds the new bytes of records 1..k (k at
// least 1; with undo data, the old bytes of the rest) is the patch's image
// stopped part-way when the block check holds on the block as it was before
// those records (where the file has no undo data, the bytes they replaced
// are unknown and their new bytes stand in for them) and a PPF 2.0 file's
// length lies between the image's and the patched one's. Anything else is
// judged whole as a fresh image: the length a PPF 2.0 file names and the
// block check. For `undo`: every record holds its new bytes, or the image
// stands as an undo stopped part-way leaves it (the block check then
// describes an image the undo gives back, and is not made). Files whose
// records overlap are judged whole only. Returns why not in one line.
std::string check_image(const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                        std::uint64_t image_size, bool undo, ppf_state& state);

// Writes the bytes of the records not yet in place (`state`) into the image
// in file order, growing it where records run past its end (with `undo`,
// the bytes they replaced, last record first), adjacent records in one
// write, and prints one line per thousand records at most and the last
// count. A held signal stops it between writes, saying how to go on. False
// after reporting a failure or a stop.
bool apply_records(run_output& run, const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                   bool undo, const ppf_state& state, const platform::held_signals& signals);

// Bytes of the records apply_records writes for `state`.
std::uint64_t bytes_to_write(const ppf_patch& patch, std::span<const std::uint8_t> file, bool undo,
                             const ppf_state& state);

// The file's file_id.diz text as printable lines, each ended by '\n'
// (controls as '?'), at most the size the format gives it; empty when the
// file has none. (The description is ppf_patch::description.)
std::string ppf_diz_text(const ppf_patch& patch, std::span<const std::uint8_t> file);

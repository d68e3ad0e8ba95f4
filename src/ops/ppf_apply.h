// Applying a PPF file (1.0, 2.0 or 3.0) to an image: the file read and
// checked whole before the first write, then its records written in place.
#pragma once

#include <array>
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
        at = r.file_at + r.length * (patch.undo ? 2U : 1U);
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

// Checks the patch against the image open on `fd`: the length a PPF 2.0
// file names, the block check, and for `undo` that the image holds every
// record's new bytes (the block check then describes an image the undo
// gives back, and is not made). Returns why not in one line.
std::string check_image(const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                        std::uint64_t image_size, bool undo);

// Writes every record's bytes into the image in file order, growing it
// where records run past its end (with `undo`, the bytes they replaced, last
// record first), adjacent records in one write, and prints one line per
// thousand records at most. A held signal stops it between writes. False
// after reporting a failure or a stop.
bool apply_records(run_output& run, const ppf_patch& patch, std::span<const std::uint8_t> file, int fd,
                   bool undo, const platform::held_signals& signals);

// Form 2 and interleaved files put back from RIFF-CDXA or raw 2336-byte
// input, one sector for one: what the named file is (the forms of its
// sectors, its EDC convention), what the input is (told by its header, or
// raw 2336 when the user says so), and each input sector laid into the
// image's sector at its place. Prints nothing: the run says what happened.
#pragma once

#include <cstdint>
#include <span>

#include "ops/extract.h"
#include "format/cdxa.h"

// What a file's sectors are.
struct xa_file_facts {
    file_kind kind = file_kind::form1;
    std::uint64_t sectors = 0;  // whole sectors its record gives
    // Every Form 2 sector carries a zero EDC field: the disc records none for
    // this file, and its new Form 2 sectors carry none either.
    bool zero_edc = false;
};

// Reads the sectors the record gives (those inside the image; a file that
// cannot be read is told Form 1, and its run says what fails).
xa_file_facts scan_xa_file(int fd_bin, const dir_record& record);

enum class xa_source { cdxa, raw2336 };

// The sectors an input holds and where each starts.
struct xa_input {
    xa_source source = xa_source::cdxa;
    std::uint64_t sectors = 0;
    std::uint64_t data_at = 0;         // the first sector's offset in the file
    std::size_t piece = SECTOR_SIZE;   // bytes of each sector in the file
    std::uint64_t offset_of(std::uint64_t sector) const { return data_at + sector * piece; }
};

enum class input_verdict {
    ok,
    plain,    // neither RIFF-CDXA nor (asked for) raw 2336: plain data
    partial,  // its length is not whole sectors
    damaged,  // "RIFF" and "CDXA", but the rest of the header does not hold
};

// Tells what the input of `size` bytes on `fd` is: raw 2336-byte sectors
// when `raw2336`, else RIFF-CDXA when its header says so.
input_verdict read_xa_input(int fd, std::uint64_t size, bool raw2336, xa_input& in);

// The subheader of an input sector (its `piece` bytes): its two copies agree.
bool input_subheader_agrees(std::span<const std::uint8_t> piece);

// Lays an input sector into `sector`, the image's sector `index`: its
// subheader and what follows as given, sync and header rebuilt, then EDC
// and parity for the form its subheader gives (a Form 2 sector's EDC left
// zero with `zero_edc`). Returns that form.
sector_form lay_xa_sector(std::span<const std::uint8_t> piece, std::span<std::uint8_t, SECTOR_SIZE> sector,
                          std::uint64_t index, bool zero_edc);

// Checks that the image holds, from sector `first` on, the sectors of a
// RIFF-CDXA or 2336-byte original (open on fd_orig) as a patch run would lay
// them. Writes nothing. True when every sector matches.
bool verify_xa_run(run_output& run, int fd_bin, int fd_orig, std::uint64_t first, const xa_input& orig,
                   bool zero_edc);

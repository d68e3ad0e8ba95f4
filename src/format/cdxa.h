// CD-ROM XA facts of files whose sectors are not all Mode 2 Form 1 (XA audio,
// video, interleaved files): the form of a sector, the checks of its
// subheader and EDC, the XA field of a directory record, and the two ways
// such a file is kept outside an image:
//   - RIFF-CDXA: a 44-byte header, then whole 2352-byte sectors as stored;
//   - raw 2336: each sector from its subheader on (subheader, data, EDC),
//     without sync and header.
// Writer and reader meet here: a file written by cdxa_header and whole
// sectors reads back through read_cdxa_header, and a 2336-byte sector laid
// back by place_raw2336 is the stored sector but for its sync and header,
// which the sector's encoder rebuilds from its place in the image.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "sector/layout.h"

inline constexpr std::size_t XA_FIELD_SIZE = 14;      // system-use field of a directory record
inline constexpr std::size_t CDXA_HEADER_SIZE = 44;   // "RIFF" size "CDXA" "fmt " 16 ... "data" size
inline constexpr std::size_t RAW2336_SIZE = SECTOR_SIZE - SUBHEADER;  // subheader, data, EDC

using xa_field = std::array<std::uint8_t, XA_FIELD_SIZE>;

enum class sector_form { form1, form2 };

// What a file's sectors are: all Form 1, all Form 2, or both (interleaved).
enum class file_kind { form1, form2, mixed };

// The kind of a file that holds Form 1 sectors (`form1`) and Form 2 ones
// (`form2`); a file with neither is Form 1.
constexpr file_kind file_kind_of(bool form1, bool form2) {
    return form1 && form2 ? file_kind::mixed : form2 ? file_kind::form2 : file_kind::form1;
}

// How a kind is named: in a line of an extraction ("Form 2", "mixed"), as a
// file ("a Form 2 file", "an interleaved file") and by its sectors ("Form 2
// sectors", "Form 1 and Form 2 sectors").
struct file_kind_names {
    const char* column;
    const char* file;
    const char* sectors;
};
const file_kind_names& names_of(file_kind kind);

// The form the subheader's first copy gives a raw sector (its submode's form
// bit); a Mode 1 sector, which has no subheader, is Form 1.
sector_form form_of(std::span<const std::uint8_t, SECTOR_SIZE> sector);

// True when the two copies of the subheader (bytes 16..19, 20..23) agree, or
// the sector is Mode 1 and has none.
bool subheader_copies_agree(std::span<const std::uint8_t, SECTOR_SIZE> sector);

// True when the sector's EDC is the one its bytes call for, for its form: a
// Form 1 EDC over bytes 16..2071, a Form 2 one over bytes 16..2347, where a
// Form 2 EDC of zero means that none was recorded; a Mode 1 one over bytes
// 0..2063.
bool edc_matches(std::span<const std::uint8_t, SECTOR_SIZE> sector);

// The CD-ROM XA field of a directory record (its whole `record` bytes, as
// long as its length byte says): the 14 bytes behind the identifier and its
// padding, when they are there and carry the "XA" signature.
std::optional<xa_field> xa_field_of(std::span<const std::uint8_t> record);

// The RIFF-CDXA header of a file of `sectors` whole sectors whose record
// holds `field` (all zero where the record has none). Nothing when the file
// would be too large for a RIFF size (4 GiB).
std::optional<std::array<std::uint8_t, CDXA_HEADER_SIZE>> cdxa_header(const xa_field& field,
                                                                      std::uint64_t sectors);

// What a RIFF-CDXA header says.
struct cdxa_info {
    xa_field field{};
    std::uint64_t sectors = 0;  // whole sectors in the "data" chunk
};

// Reads the header at the start of a file of `file_size` bytes: "RIFF" with
// the size of what follows, "CDXA", a 16-byte "fmt " chunk, then a "data"
// chunk of whole sectors that ends with the file. Nothing when any of that
// does not hold. `head` holds at least the first 44 bytes.
std::optional<cdxa_info> read_cdxa_header(std::span<const std::uint8_t> head, std::uint64_t file_size);

// The 2336 bytes of a raw sector kept in a raw-2336 file.
std::span<const std::uint8_t, RAW2336_SIZE> raw2336_of(std::span<const std::uint8_t, SECTOR_SIZE> sector);

// Lays 2336 bytes read from a raw-2336 file into a raw sector, from its
// subheader on; its sync and header are left for the encoder.
void place_raw2336(std::span<const std::uint8_t, RAW2336_SIZE> piece,
                   std::span<std::uint8_t, SECTOR_SIZE> sector);

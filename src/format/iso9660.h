// ISO 9660 directory reader: lists the image's directories from the root
// and finds the offset of a file by name.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/output.h"

// The primary volume descriptor's sector, which names the root directory.
inline constexpr std::uint32_t VOLUME_DESCRIPTOR_SECTOR = 16;
// The most volume descriptors read, from VOLUME_DESCRIPTOR_SECTOR on.
inline constexpr std::uint64_t MAX_DESCRIPTORS = 64;
// What every volume descriptor holds in bytes 1..5.
inline constexpr std::string_view STANDARD_ID = "CD001";
// The boot system name of a boot record whose catalog follows the El Torito
// layout, the only boot record the disc's claims read.
inline constexpr std::string_view EL_TORITO_SYSTEM = "EL TORITO SPECIFICATION";

// Where the fields of a volume descriptor sit, from the first byte of its
// sector's user data.
namespace descriptor_field {
inline constexpr std::size_t TYPE = 0;              // 1 byte: descriptor_type
inline constexpr std::size_t ID = 1;                // 5 bytes: STANDARD_ID
inline constexpr std::size_t VERSION = 6;           // 1 byte
inline constexpr std::size_t BOOT_SYSTEM = 7;       // boot record: the boot system's name
inline constexpr std::size_t BOOT_CATALOG = 71;     // El Torito boot record: the catalog's sector, little-endian
inline constexpr std::size_t VOLUME_SIZE = 80;      // 8 bytes: volume space size, little- then big-endian
inline constexpr std::size_t ESCAPES = 88;          // supplementary: escape sequences (Joliet: "%/@" ...)
inline constexpr std::size_t PATH_TABLE_SIZE = 132; // 8 bytes: path table size, little- then big-endian
inline constexpr std::size_t L_PATH_TABLE = 140;    // 2 x 4 bytes: little-endian path tables, then ...
inline constexpr std::size_t M_PATH_TABLE = 148;    // ... 2 x 4 bytes: big-endian ones
inline constexpr std::size_t ROOT_RECORD = 156;     // 34 bytes: the root directory's record
}  // namespace descriptor_field

namespace descriptor_type {
inline constexpr std::uint8_t BOOT = 0;
inline constexpr std::uint8_t PRIMARY = 1;
inline constexpr std::uint8_t SUPPLEMENTARY = 2;  // also enhanced (version 2)
inline constexpr std::uint8_t TERMINATOR = 255;
}  // namespace descriptor_type

// A volume descriptor: the user data of its sector.
using descriptor_span = std::span<const std::uint8_t, USER_DATA_SIZE>;

// True when a descriptor carries STANDARD_ID.
bool has_standard_id(descriptor_span vd);

// Reads the volume descriptors from VOLUME_DESCRIPTOR_SECTOR on, quietly,
// and hands each one before the terminator to `each` with its sector. Stops
// at a sector that cannot be read or holds no descriptor, at the terminator
// and after MAX_DESCRIPTORS. Returns the sector after the last descriptor
// (the terminator counted).
std::uint64_t for_each_descriptor(int fd, const std::function<void(std::uint64_t, descriptor_span)>& each);
// The root directory's first sector on an image whose volume descriptor does
// not say where the root is; such a root is read as one sector.
inline constexpr std::uint32_t ROOT_DIRECTORY_SECTOR = 22;
// The most sectors read of one directory: 2 MiB of records, some 20,000
// files, far beyond any real disc's directory. A damaged length cannot make
// the listing run on through the image.
inline constexpr std::uint32_t MAX_DIRECTORY_SECTORS = 1024;

// Where the fields of a directory record sit, from the record's first byte.
namespace record_field {
inline constexpr std::size_t LENGTH = 0;        // 1 byte: the record's length
inline constexpr std::size_t EXTENT_LE = 2;     // 4 bytes: first sector, little-endian ...
inline constexpr std::size_t EXTENT_BE = 6;     // ... and big-endian
inline constexpr std::size_t SIZE_LE = 10;      // 4 bytes: data length, little-endian ...
inline constexpr std::size_t SIZE_BE = 14;      // ... and big-endian
inline constexpr std::size_t FLAGS = 25;        // 1 byte: file flags
inline constexpr std::size_t NAME_LENGTH = 32;  // 1 byte: identifier length
inline constexpr std::size_t NAME = 33;         // the identifier; the fixed part ends here
}  // namespace record_field

// File flag of a record that names a directory.
inline constexpr std::uint8_t FLAG_DIRECTORY = 0x02;

// One directory record, as read from a directory sector.
struct dir_record {
    std::uint64_t sector = 0;   // the directory sector that holds the record
    std::size_t position = 0;   // byte of the raw sector where the record starts
    std::string name;           // the identifier's bytes (0x00 names the directory itself, 0x01 its parent)
    std::uint32_t extent = 0;   // first sector of the file or directory
    std::uint32_t data_length = 0;
    bool is_directory = false;
};

enum class walk_end {
    zero_length,  // a record length of 0 ended the sector's records
    end_of_data,  // the records reached the end of the user data
    malformed,    // a record too short for its fields or crossing the end of the user data
};

struct dir_sector {
    std::vector<dir_record> records;
    walk_end end = walk_end::zero_length;
    std::size_t end_position = 0;  // where the walk stopped
};

// Walks the records in the user data of raw directory sector `sector` (from
// byte 24, or 16 in a Mode 1 sector). Reads nothing outside the user data
// and nothing outside each record.
dir_sector walk_dir_sector(std::span<const std::uint8_t, SECTOR_SIZE> buffer, std::uint64_t sector);

// The root directory's record in a raw sector holding a primary volume
// descriptor (type 1, "CD001", version 1): its extent and data length, when
// the record is whole (34 bytes, identifier 0x00, both byte orders agreeing,
// a length of at least one byte). Reads nothing outside the user data.
std::optional<dir_record> volume_root(std::span<const std::uint8_t, SECTOR_SIZE> buffer);

// How a record's name answers a name looked for: the same name (a-z and
// A-Z alike), or the name without its version (";1") where the name looked
// for has none.
enum class name_match { none, exact, version };
name_match match_name(std::string_view record, std::string_view wanted);

// A name looked for: a name alone, or a path from the root ("/TEXT/A.TXT;1"
// and "TEXT/A.TXT;1" alike) when it holds a '/' or a backslash ("TEXT\A.TXT;1").
struct wanted_name {
    bool by_path = false;
    std::vector<std::string> dirs;  // the directories of a path, from the root
    std::string name;               // the last part

    static wanted_name of(std::string_view name);
};

// The root directory's record: the one the primary volume descriptor names
// when it is whole and inside the image, else sector 22 as one sector.
dir_record root_directory(int fd_bin);

// What the search for the -n name found.
struct dir_lookup {
    int hits = 0;              // records matching the name
    std::uint64_t offset = 0;  // image offset of the last match's first sector
    dir_record record;         // the last match
    bool no_volume = false;    // the image holds no volume: nothing was looked at
};

// What a listing is to its run: the trace of a lookup (nothing of it in a
// quiet run) or the result of the run (-l), which a quiet run prints as the
// tables of names alone.
enum class listing_use { trace, result };

// Lists the root directory (and with `recurse` every subdirectory), counting
// the records whose name is `name` (none when it is empty): those it names
// exactly, else those it names without their version. A path is looked for
// in its directory alone, and the directories on its way are listed too.
// The root is the one the volume descriptor names, if it is whole and
// inside the image, else sector 22. Every sector of a directory is listed,
// as many as its data length takes. Warnings about the disc are printed in
// a quiet run too. An image with no volume (sector 16 neither a CD001
// descriptor nor a data sector) is not listed: a line says so.
dir_lookup listdir(run_output& run, int fd_bin, std::string_view name, bool recurse,
                   listing_use use = listing_use::trace);

// Why `name` was found no times where listdir looked, when a near match
// says: another version of it in that place ("'A.TXT;2' was not found;
// '/A.TXT;1' is another version of it"), or, for a name alone looked for in
// the root, the name in a subdirectory. Reads the tree quietly; empty when
// nothing comes near.
std::string near_miss(int fd_bin, std::string_view name, bool recurse);

// Looks `name` up as listdir does (printing the listing as it goes) and
// returns the one record found, or nothing after printing that it was found
// another number of times, with near_miss's hint on err when it has one.
std::optional<dir_lookup> find_named(run_output& run, int fd_bin, const std::string& name, bool recurse);

// One record of a directory tree, with the path it is found under and the
// tree that holds it.
struct placed_record {
    dir_record record;
    std::string path;  // "/DATA/SCRIPT.DAT;1"
    std::string tree;  // "" for the primary tree, else " of the Joliet tree", ...
};

// Who a file's claim names: "file '/DATA/SCRIPT.DAT;1'", with its tree.
std::string file_owner(const placed_record& r);

// Sectors something on the disc holds as its own.
struct claim {
    std::uint64_t first = 0;
    std::uint64_t count = 0;
    std::string owner;  // "the system area", "directory '/DATA'", "file '/README.TXT;1'", ...
};

// An entry of an El Torito boot catalog that names a boot image.
struct boot_entry {
    std::uint64_t catalog = 0;  // the catalog's sector
    std::size_t position = 0;   // of the entry, from the first byte of the catalog's user data
    std::uint8_t media = 0;     // 0: no emulation; 1 to 3: a diskette; 4: a hard disk
    std::uint16_t count = 0;    // 512-byte sectors loaded
    std::uint32_t load = 0;     // the image's first sector
    std::uint64_t sectors = 0;  // sectors of the disc it loads (a diskette: all of it)
};

// Where the fields of a boot catalog's entry sit, from its first byte.
namespace boot_field {
inline constexpr std::size_t MEDIA = 1;   // low 4 bits: the emulation
inline constexpr std::size_t COUNT = 6;   // 2 bytes, little-endian
inline constexpr std::size_t LOAD = 8;    // 4 bytes, little-endian
}  // namespace boot_field

// The disc's ISO 9660 structures, read quietly: every record of every
// directory (not "." and "..") of every tree a primary, supplementary or
// enhanced volume descriptor names, what each structure claims (the
// descriptors up to the terminator, path tables, directories, files, the boot
// catalog and the boot images it names), the boot catalogs and their entries,
// and the volume space size of the primary volume descriptor (0 when there
// is none).
struct disc_map {
    std::vector<placed_record> records;
    std::vector<claim> claims;
    std::vector<std::uint64_t> boot_catalogs;
    std::vector<boot_entry> boot_entries;
    std::uint64_t volume_sectors = 0;
};
disc_map map_disc(int fd_bin);

// Checks that the one record a lookup found can take the run: a directory
// never can, and a patch (`patch_size`, when given: a verify run writes
// nothing and gives none) may fill the file's sectors but not run on into
// what follows them. Prints why not and returns false otherwise.
bool lookup_fits(run_output& run, const dir_lookup& found,
                 std::optional<std::uint64_t> patch_size);

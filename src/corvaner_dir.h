// ISO 9660 directory reader: lists the image's directories from the root
// (sector 22) and finds the offset of a file by name.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "corvaner_io.h"

// Sector index of the root directory's first sector.
inline constexpr std::uint32_t ROOT_DIRECTORY_SECTOR = 22;

// One directory record, as read from a directory sector.
struct dir_record {
    std::size_t position = 0;   // byte of the sector buffer where the record starts
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

// Walks the records in one raw directory sector's user data. Reads nothing
// outside bytes 24..2071 and nothing outside each record.
dir_sector walk_dir_sector(std::span<const std::uint8_t, SECTOR_SIZE> buffer);

// Compares two strings ignoring the case of a-z only. 0 when equal.
int mystrccmp(const char* s1, const char* s2);

// Prints one record's listing line. Returns the record's extent.
std::uint32_t print_dir(run_state& run, const dir_record& item);

// What the search for the -n name found.
struct dir_lookup {
    int hits = 0;              // records matching the name
    std::uint64_t offset = 0;  // image offset of the last match's first sector
    dir_record record;         // the last match
};

// Lists the root directory (and with -r every subdirectory), counting the
// records that match the -n name.
dir_lookup listdir(run_state& run, int fd_bin);

// Taking files out of an image: the plan of a whole tree (every directory
// and file under the names they take on this system, what cannot be read,
// names that would land on one host name, names too long for it), and the
// bytes of one file as a plain file (Form 1) or, when any sector is Form 2,
// as RIFF-CDXA or raw 2336-byte sectors. Prints nothing: the run says what happened.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/iso9660.h"
#include "format/cdxa.h"

// How a file with Form 2 sectors is written.
enum class xa_output { cdxa, raw2336 };

// One directory or file of the tree, with where it goes.
struct tree_entry {
    dir_record record;
    std::string path;              // on the disc, from "/", version included
    std::string host;              // its name on this system, inside its parent
    std::size_t parent = NO_PARENT;  // index of its directory's entry; NO_PARENT: the top
    std::optional<xa_field> xa;    // the record's XA field, when it has one
    static constexpr std::size_t NO_PARENT = SIZE_MAX;
};

// Two records that would be written under one host name.
struct name_clash {
    std::string first, second;  // their paths on the disc
    std::uint32_t first_extent = 0, second_extent = 0;
    std::string host;           // the host path both would take
};

// A record whose host name is longer than the host holds.
struct long_name {
    std::string path;        // on the disc
    std::size_t length = 0;  // of its host name, in bytes
};

struct tree_plan {
    std::vector<tree_entry> entries;  // every directory before what it holds
    std::vector<std::string> problems;  // what could not be read, one line each
    std::vector<name_clash> clashes;
    std::vector<long_name> too_long;
};

// Reads the whole tree from the root directory: the one the volume
// descriptor names, if it is whole and inside the image, else sector 22.
// A directory past the image's end, or one entered before (a loop), is a
// problem and is not entered.
tree_plan plan_tree(int fd_bin);

// The host path of an entry, its directories' names before it, joined by '/'.
std::string host_path(const tree_plan& plan, std::size_t entry);

// The XA field of a record found by a lookup, read from its directory sector.
std::optional<xa_field> xa_field_at(int fd_bin, const dir_record& record);

// Whole sectors a file takes: its recorded size over 2048, rounded up.
std::uint64_t file_sectors(const dir_record& record);

struct extract_result {
    file_kind kind = file_kind::form1;
    std::vector<std::uint64_t> bad_edc;         // sectors whose EDC does not match
    std::vector<std::uint64_t> split_subheader;  // sectors whose subheader copies disagree
    bool read_failed = false;   // errno says why (0: the image ended)
    bool write_failed = false;  // errno says why
};

// Writes the file of `record` into `out` (new and empty): its Form 1 user
// data cut to the recorded size, or, when any of its sectors is Form 2,
// every sector in `form` (after a RIFF-CDXA header holding `field`). The
// caller has made sure its sectors lie inside the image.
extract_result extract_file(int fd_bin, const dir_record& record, const xa_field& field, xa_output form,
                            int out);

// The walk of a directory tree, shared by the listing, the map of what the
// disc claims and extraction. The walk owns what keeps it finite: the depth
// guard, the loop guard (no sector of a directory is entered twice) and the
// cap on the sectors read of one directory. What each walk does with a
// directory, and what it says about one it cannot enter or read, is its
// visitor's.
#pragma once

#include <cstdint>
#include <set>

#include "format/iso9660.h"

// The deepest a directory may lie below the root (at depth 0): far beyond
// any real disc's nesting.
inline constexpr unsigned MAX_DIRECTORY_DEPTH = 64;

// Where a directory's records lie: its first sector, the sectors its data
// length takes, and how many of those are read.
struct dir_span {
    std::uint64_t first = 0;
    std::uint64_t declared = 0;  // whole sectors of its data length, at least 1
    std::uint64_t read = 0;      // declared, cut by the cap and the image's end (1 past it)
    bool past_end = false;       // the sectors it would read do not all lie in the image

    static dir_span of(const dir_record& dir, std::uint64_t image_sectors);
};

enum class dir_refusal {
    too_deep,  // deeper than MAX_DIRECTORY_DEPTH
    loops,     // a sector of it was entered before: the tree loops here
};

class dir_walk;

// What a walk does with the directories it reaches. Each call is about the
// directory being entered; a visitor keeps what it knows of that directory
// (its path, where it is on a path looked for) around its calls of
// dir_walk::enter.
class dir_visitor {
public:
    virtual ~dir_visitor() = default;

    // A directory is reached, before the guards judge it. False passes it by.
    virtual bool reached(const dir_span&) { return true; }
    // The guards keep it out.
    virtual void refused(const dir_span&, dir_refusal) {}
    // It is entered: its sectors count as read from now on.
    virtual void entered(const dir_span&) {}
    // Reads one of its sectors (sector `sector` of the image); false stops
    // reading it. Quiet unless a visitor says more.
    virtual bool read(int fd, const dir_span&, std::uint64_t sector, sector_span buffer) {
        return read_sector_quietly(fd, buffer, sector) >= 0;
    }
    // The records of sector `sector`, read into `buffer`. A subdirectory is
    // entered from here or from left(), with walk.enter().
    virtual void sector(dir_walk& walk, std::uint64_t sector, std::span<const std::uint8_t, SECTOR_SIZE> buffer,
                        const dir_sector& records) = 0;
    // Every sector is done: `whole` when each one to be read was.
    virtual void left(dir_walk&, const dir_span&, bool /*whole*/) {}
};

// One walk over the image open on `fd`: the directories it enters, and
// the depth it is at. One walk may enter several trees from their roots:
// a directory of one tree that another entered before is not entered again.
class dir_walk {
public:
    dir_walk(int fd, dir_visitor& visitor);

    // Enters a directory, one level below the one being entered (the first
    // call enters a root, at depth 0).
    void enter(const dir_record& dir);

    std::uint64_t image_sectors() const { return image_sectors_; }

private:
    int fd_;
    dir_visitor& visitor_;
    std::uint64_t image_sectors_;
    unsigned depth_ = 0;               // directories being entered
    std::set<std::uint64_t> entered_;  // every sector of every directory entered
};

// Whole 2048-byte sectors of a data length, at least one: a directory's.
std::uint64_t directory_sectors(std::uint32_t data_length);

// Replacing a file found by name: the directory records that take its new
// size, the subheaders its sectors get, and the room it may grow into.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "format/iso9660.h"

// Where a file that cannot grow in place moves (--relocate): to a run of
// free, blank sectors inside the volume, or to the image's end, the image
// growing by the file and a new postgap after it.
struct relocation {
    std::string path;  // of the record found by name
    std::uint64_t old_first = 0, old_sectors = 0;
    std::uint64_t new_first = 0, new_sectors = 0;
    bool grows = false;
    std::uint64_t image_sectors = 0;  // before the run
    // Growing: the image then ends with POSTGAP_SECTORS sectors after the
    // file, the first modelled on old sector `tail_from`, and each of
    // `descriptors` takes the volume space size `volume_sectors`.
    std::uint64_t tail_from = 0;
    std::uint64_t old_volume = 0;
    std::uint64_t volume_sectors = 0;
    std::vector<std::uint64_t> descriptors;
    std::uint64_t end_sectors() const { return grows ? new_first + new_sectors + POSTGAP_SECTORS : image_sectors; }

    static constexpr std::uint64_t POSTGAP_SECTORS = 150;
};

// An entry of a boot catalog that names a moved file: it loads the file
// where it goes, `new_count` 512-byte sectors.
struct boot_move {
    boot_entry entry;
    std::uint16_t new_count = 0;
};

// A file whose records change with it.
struct replace_plan {
    std::uint64_t new_size = 0;
    std::array<std::uint8_t, 4> last_subheader{};  // of its new last sector; the others lack EOR and EOF
    std::vector<placed_record> records;             // every record of the file (hard links too)
    std::optional<relocation> moved;                // the file moves
    std::vector<placed_record> files;               // with `relocate`: every file record of every tree
    std::vector<boot_move> boot;                    // boot catalog entries that follow the move
};

// Writes the file's new size (and, where it moved, its new first sector),
// both byte orders, into every record of the plan that raw directory sector
// `sector` holds, and a moved boot image's sector and count into the entries
// of boot catalog sector `sector`. The sector is not re-encoded.
void update_records(std::span<std::uint8_t, SECTOR_SIZE> raw, const replace_plan& plan, std::uint64_t sector);

// The closing lines of a replacement: where a moved file went, then each
// record that changed, with its old and new size, and each boot catalog
// entry that follows the move.
void print_record_changes(run_output& run, const replace_plan& plan);

// The sectors that hold the records of a replaced file (and the boot
// catalog entries that follow its move), each once, in order.
std::vector<std::uint64_t> record_sectors(const replace_plan& plan);
// Sector `sector` of those is a boot catalog's.
bool boot_catalog_sector(const replace_plan& plan, std::uint64_t sector);

// Plans the replacement of the file a lookup found by `new_size` bytes:
// finds all its records in a walk of every tree (the one found, and with a
// size, every record of its extent and size: hard links and the same file
// in a Joliet tree), reads its subheader convention, checks that it holds
// no Form 2 sector, and that every sector it grows into is claimed by nothing
// on the disc and holds no data. With `relocate`, a file that cannot grow
// in place moves (plan.moved): to the lowest run of sectors inside the
// volume that nothing claims and whose user data are blank, else past the
// volume when the data track ends the image file; the boot catalog entries
// that load it move with it (the count of one that loads it whole follows
// its new size), and a file that holds a boot catalog, or that an entry
// loads otherwise, does not move. Prints why not (what blocks each choice)
// and returns false.
// Records of an empty file, which no sector ties together, are found by its
// path in each tree.
// `track_after`, when not empty, says which track follows the data track in
// the image file (from its cue sheet): the image cannot grow then.
bool plan_replacement(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size,
                      replace_plan& plan, bool relocate = false, const std::string& track_after = {});

// The disc as the files planned before in one run leave it, for the next:
// their claims at their new places and sizes, and the sectors they give up
// (which hold their old data, yet another file may take).
struct shared_room {
    disc_map map;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> freed;  // [first, end)
    bool grown = false;  // a file of the run grows the image already
    bool quiet = false;  // a file that cannot grow in place is not refused aloud
    bool is_freed(std::uint64_t sector) const;
};
// As plan_replacement, within the room the run's other files leave.
bool plan_replacement(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size,
                      replace_plan& plan, bool relocate, const std::string& track_after, const shared_room& room);

// A relocated postgap sector: `old` (a copy of the sector it is modelled
// on) rebuilt in place as the same kind of sector with the same subheader
// at image sector `sector`; with `blank`, its user data zero. A sector with
// no sync pattern becomes all zero.
void rebuild_postgap_sector(std::span<std::uint8_t, SECTOR_SIZE> sector, std::uint64_t at, bool blank);

// The volume descriptor sector `raw` with the volume space size (both byte
// orders) of a relocation that grows the image, rebuilt.
void set_volume_size(std::span<std::uint8_t, SECTOR_SIZE> raw, std::uint64_t sector, std::uint64_t size);

// The table of sectors the replacements of a run leave: a line per file
// record of every tree (from the first plan that lists them) with its path,
// old and new first sector and size.
std::string sector_table(const std::vector<const replace_plan*>& plans);

// The subheader of a file's sector, encoded as Form 1: the last one's with
// the data bit set and the form, audio and video bits cleared; every other
// one's with the end-of-record and end-of-file bits cleared as well.
std::array<std::uint8_t, 4> subheader_for(const replace_plan& plan, bool last);

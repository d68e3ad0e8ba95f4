#include "format/iso9660.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <set>

#include "sector/byte_order.h"

namespace {

namespace field = record_field;
constexpr std::size_t RECORD_FIXED = field::NAME;  // bytes before the identifier
constexpr std::size_t XA_INFO_SIZE = 14;   // CD-ROM XA system-use information
constexpr unsigned MAX_DEPTH = 64;         // far beyond any real disc's nesting

void print_column_header(std::FILE* out) {
    tprintf(out, "%30.30s %9.9s %6.6s%8.8s\n", "Name", "Size", "Sector", "Offset");
}

// A record is a directory when its ISO 9660 file flags or its CD-ROM XA
// attribute word say so.
bool record_is_directory(std::span<const std::uint8_t> record, std::size_t namelen) {
    if ((record[field::FLAGS] & FLAG_DIRECTORY) != 0) return true;
    const std::size_t su = RECORD_FIXED + namelen + (namelen % 2 == 0 ? 1 : 0);
    return su + XA_INFO_SIZE <= record.size() && record[su + 6] == 'X' && record[su + 7] == 'A' &&
           (record[su + 4] & 0x80U) != 0;
}

// Whole 2048-byte sectors of a data length, at least one.
std::uint64_t sectors_of(std::uint32_t data_length) {
    return std::max<std::uint64_t>(
        1, (std::uint64_t{data_length} + USER_DATA_SIZE - 1) / USER_DATA_SIZE);
}

// Compares two strings ignoring the case of a-z only. 0 when equal.
int mystrccmp(const char* s1, const char* s2) {
    auto fold = [](unsigned char c) -> unsigned {
        return (c >= 'a' && c <= 'z') ? c - 0x20U : c;
    };
    for (;; ++s1, ++s2) {
        const unsigned a = fold(static_cast<unsigned char>(*s1));
        const unsigned b = fold(static_cast<unsigned char>(*s2));
        if (a != b) return a < b ? -1 : 1;
        if (a == 0) return 0;
    }
}

// Prints one record's listing line. Returns the record's extent.
std::uint32_t print_dir(run_output& run, const dir_record& item) {
    const std::string printable = printable_name(item.name);
    const char* shown = printable.c_str();
    if (!item.name.empty() && item.name[0] == '\0') shown = ".";
    if (!item.name.empty() && item.name[0] == '\1') shown = "..";
    const std::uint64_t offset = std::uint64_t{item.extent} * SECTOR_SIZE;
    tprintf(trace_stream(run), "%30.30s %9lu %5u (%08llX)\n", shown,
                 static_cast<unsigned long>(item.data_length), item.extent,
                 static_cast<unsigned long long>(offset));
    return item.extent;
}

// Where a directory's records lie: its first sector, the sectors its data
// length takes, and how many of those are read.
struct dir_span {
    std::uint64_t first = 0;
    std::uint64_t declared = 0;  // whole sectors of its data length, at least 1
    std::uint64_t read = 0;      // declared, cut by the image's end and the cap
};

dir_span span_of(std::uint32_t extent, std::uint32_t data_length, std::uint64_t image_sectors) {
    dir_span d;
    d.first = extent;
    d.declared = sectors_of(data_length);
    d.read = std::min<std::uint64_t>(d.declared, MAX_DIRECTORY_SECTORS);
    // A first sector past the end is still tried, and its failed read shown.
    if (extent < image_sectors) d.read = std::min(d.read, image_sectors - extent);
    else d.read = 1;
    return d;
}

struct walker {
    run_output& run;
    int fd_bin;
    wanted_name want;  // the name looked for; empty: none
    bool recurse;
    std::uint64_t image_sectors;
    std::set<std::uint64_t> visited;  // every sector of every directory entered
    dir_lookup found;  // the records the name names exactly
    dir_lookup loose;  // those it names without their version

    // Counts the record when it is the name looked for: in the directory the
    // path names, or (a name alone) wherever the listing goes.
    void match(const dir_record& item, int on_path) {
        // An empty name matches nothing, and neither "." nor ".." is a file.
        if (want.name.empty() || item.name.empty() || static_cast<unsigned char>(item.name[0]) <= 1) return;
        if (want.by_path && on_path != static_cast<int>(want.dirs.size())) return;
        const name_match how = match_name(item.name, want.name);
        if (how == name_match::none) return;
        dir_lookup& hit = how == name_match::exact ? found : loose;
        ++hit.hits;
        hit.offset = std::uint64_t{item.extent} * SECTOR_SIZE;
        hit.record = item;
    }

    // How far a subdirectory goes along the path looked for: the parts of
    // the path it has matched, or -1 once off it.
    int along(const dir_record& item, int on_path) const {
        if (!want.by_path || on_path < 0 || on_path >= static_cast<int>(want.dirs.size())) return -1;
        const std::string& part = want.dirs[static_cast<std::size_t>(on_path)];
        return match_name(item.name, part) != name_match::none ? on_path + 1 : -1;
    }

    // True when a sector of the directory was entered before: the tree loops.
    bool seen(const dir_span& d) const {
        const auto at = visited.lower_bound(d.first);
        return at != visited.end() && *at < d.first + d.read;
    }

    // Lists a directory; `on_path` is how many parts of the path looked for
    // lead to it (-1: none do).
    void list(std::uint32_t extent, std::uint32_t data_length, unsigned depth, int on_path) {
        std::FILE* out = trace_stream(run);
        const dir_span d = span_of(extent, data_length, image_sectors);
        tprintf(out, "\nSector %u", extent);
        if (depth > MAX_DEPTH) {
            tprintf(out, " | deeper than %u directories, not entered\n", MAX_DEPTH);
            return;
        }
        if (seen(d)) {
            tprintf(out, "%s", " | already listed: the directory tree loops here, not entered again\n");
            return;
        }
        for (std::uint64_t s = d.first; s < d.first + d.read; ++s) visited.insert(s);
        // One buffer per level, on the heap: a deep tree must not exhaust the stack.
        auto buffer = std::make_unique<std::array<std::uint8_t, SECTOR_SIZE>>();
        for (std::uint64_t sector = d.first; sector < d.first + d.read; ++sector) {
            if (sector != d.first)
                tprintf(out, "\nSector %llu", static_cast<unsigned long long>(sector));
            if (read_sector(run, fd_bin, *buffer, sector) < 0) return;
            tprintf(out, "%s", "\n");
            print_column_header(out);
            list_records(*buffer, sector, depth, on_path);
        }
        if (d.read == d.declared) return;
        if (d.read == MAX_DIRECTORY_SECTORS)
            tprintf(out, "Directory of %llu sectors: only its first %u are read\n",
                         static_cast<unsigned long long>(d.declared), MAX_DIRECTORY_SECTORS);
        else
            tprintf(out,
                         "Directory runs past the end of the image: %llu of its %llu sectors "
                         "read\n",
                         static_cast<unsigned long long>(d.read),
                         static_cast<unsigned long long>(d.declared));
    }

    // Prints, matches and (with -r) descends into the records of one sector.
    void list_records(std::span<const std::uint8_t, SECTOR_SIZE> buffer, std::uint64_t sector,
                      unsigned depth, int on_path) {
        std::FILE* out = trace_stream(run);
        const dir_sector dir = walk_dir_sector(buffer, sector);
        for (const dir_record& record : dir.records) {
            const std::uint32_t next_sector = print_dir(run, record);
            match(record, on_path);
            const int next = along(record, on_path);
            if ((recurse || next > 0) && !record.name.empty() &&
                static_cast<unsigned char>(record.name[0]) >= 2 && record.is_directory) {
                list(next_sector, record.data_length, depth + 1, next);
                tprintf(out, "%s", "\n");
                print_column_header(out);
            }
        }
        if (dir.end == walk_end::malformed)
            tprintf(out, "Malformed directory record at byte %zu -- rest of sector skipped\n",
                         dir.end_position - USER_DATA);
    }
};

// Sectors in the image: whole ones only, none when its size cannot be had.
std::uint64_t sectors_in(int fd) {
    platform::file_info info;
    return platform::query(fd, info) ? info.size / SECTOR_SIZE : 0;
}

// The root directory's record from the volume descriptor, else sector 22 as
// one sector. The descriptor is read quietly: it is not part of the listing.
dir_record root_of(int fd, std::uint64_t image_sectors) {
    dir_record root;
    root.extent = ROOT_DIRECTORY_SECTOR;
    root.data_length = USER_DATA_SIZE;
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    if (read_sector(fd, buffer, VOLUME_DESCRIPTOR_SECTOR) < 0) return root;
    const std::optional<dir_record> named = volume_root(buffer);
    if (named && named->extent < image_sectors) root = *named;
    return root;
}

}  // namespace

dir_record root_directory(int fd_bin) { return root_of(fd_bin, sectors_in(fd_bin)); }

name_match match_name(std::string_view record, std::string_view wanted) {
    auto same = [](std::string_view a, std::string_view b) {
        return mystrccmp(std::string(a).c_str(), std::string(b).c_str()) == 0;
    };
    if (same(record, wanted)) return name_match::exact;
    const std::size_t version = record.rfind(';');
    if (wanted.find(';') == std::string_view::npos && version != std::string_view::npos &&
        same(record.substr(0, version), wanted))
        return name_match::version;
    return name_match::none;
}

wanted_name wanted_name::of(std::string_view name) {
    wanted_name w;
    w.by_path = name.find('/') != std::string_view::npos;
    if (!w.by_path) {
        w.name = name;
        return w;
    }
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t end = std::min(name.find('/', at), name.size());
        if (end > at) w.dirs.emplace_back(name.substr(at, end - at));
        at = end + 1;
    }
    if (!w.dirs.empty()) {
        w.name = w.dirs.back();
        w.dirs.pop_back();
    }
    return w;
}

dir_sector walk_dir_sector(std::span<const std::uint8_t, SECTOR_SIZE> buffer, std::uint64_t sector) {
    dir_sector dir;
    std::size_t pos = USER_DATA;
    for (;;) {
        dir.end_position = pos;
        if (pos >= USER_DATA_END) {
            dir.end = walk_end::end_of_data;
            return dir;
        }
        const std::size_t size = buffer[pos];
        if (size == 0) {
            dir.end = walk_end::zero_length;
            return dir;
        }
        if (size < RECORD_FIXED || pos + size > USER_DATA_END) {
            dir.end = walk_end::malformed;
            return dir;
        }
        const auto record = buffer.subspan(pos, size);
        const std::size_t namelen = record[field::NAME_LENGTH];
        if (RECORD_FIXED + namelen > size) {
            dir.end = walk_end::malformed;
            return dir;
        }
        dir_record r;
        r.sector = sector;
        r.position = pos;
        r.name.assign(reinterpret_cast<const char*>(record.data()) + field::NAME, namelen);
        r.extent = load_be32(record.subspan<field::EXTENT_BE, 4>());
        r.data_length = load_be32(record.subspan<field::SIZE_BE, 4>());
        r.is_directory = record_is_directory(record, namelen);
        dir.records.push_back(std::move(r));
        pos += size;
    }
}

namespace {

// The root directory's record of a volume descriptor held in raw sector
// `sector`: whole (34 bytes, identifier 0x00, both byte orders agreeing, a
// length of at least one byte), else none.
std::optional<dir_record> root_record(std::span<const std::uint8_t, USER_DATA_SIZE> vd,
                                      std::uint64_t sector) {
    constexpr std::size_t ROOT_RECORD = 156;  // where the descriptor holds the root's record
    constexpr std::size_t ROOT_RECORD_SIZE = 34;
    const auto record = vd.subspan<ROOT_RECORD, ROOT_RECORD_SIZE>();
    if (record[field::LENGTH] != ROOT_RECORD_SIZE || record[field::NAME_LENGTH] != 1 ||
        record[field::NAME] != 0)
        return std::nullopt;
    dir_record root;
    root.sector = sector;
    root.position = USER_DATA + ROOT_RECORD;
    root.name.assign(1, '\0');
    root.extent = load_be32(record.subspan<field::EXTENT_BE, 4>());
    root.data_length = load_be32(record.subspan<field::SIZE_BE, 4>());
    root.is_directory = true;
    if (load_le32(record.subspan<field::EXTENT_LE, 4>()) != root.extent ||
        load_le32(record.subspan<field::SIZE_LE, 4>()) != root.data_length ||
        root.data_length == 0)
        return std::nullopt;
    return root;
}

}  // namespace

std::optional<dir_record> volume_root(std::span<const std::uint8_t, SECTOR_SIZE> buffer) {
    const auto pvd = buffer.subspan<USER_DATA, USER_DATA_SIZE>();
    if (pvd[0] != 1 || std::memcmp(pvd.data() + 1, "CD001", 5) != 0 || pvd[6] != 1)
        return std::nullopt;
    return root_record(pvd, VOLUME_DESCRIPTOR_SECTOR);
}

std::string file_owner(const placed_record& r) { return "file '" + r.path + "'" + r.tree; }

namespace {

// A tree of directories, as one volume descriptor names it.
struct tree_info {
    dir_record root;
    std::string label;  // "" for the primary tree, else " of the Joliet tree", ...
    bool ucs2 = false;  // identifiers in UCS-2, big-endian (Joliet)
};

// An identifier as a path shows it: UCS-2 ones with '?' for every character
// past ASCII.
std::string shown_name(const std::string& id, bool ucs2) {
    if (!ucs2) return printable_name(id);
    std::string shown;
    for (std::size_t i = 0; i + 1 < id.size(); i += 2)
        shown += id[i] == 0 ? id[i + 1] : '?';
    return printable_name(shown);
}

// Reads the directory at `extent` and every one below it into the map, as
// the listing would, without a word.
void map_directory(int fd, std::uint64_t image_sectors, const tree_info& tree, const dir_record& dir,
                   const std::string& path, unsigned depth, std::set<std::uint64_t>& visited,
                   disc_map& map) {
    const dir_span d = span_of(dir.extent, dir.data_length, image_sectors);
    const auto entered = visited.lower_bound(d.first);
    if (depth > MAX_DEPTH || (entered != visited.end() && *entered < d.first + d.read)) return;
    map.claims.push_back({d.first, d.declared, "directory '" + (path.empty() ? "/" : path) + "'" + tree.label});
    for (std::uint64_t s = d.first; s < d.first + d.read; ++s) visited.insert(s);
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    for (std::uint64_t sector = d.first; sector < d.first + d.read; ++sector) {
        if (read_sector(fd, buffer, sector) < 0) return;
        for (const dir_record& r : walk_dir_sector(buffer, sector).records) {
            // "." and "..": one byte, 0x00 or 0x01 (a UCS-2 name may start with 0x00).
            if (r.name.empty() || (r.name.size() == 1 && static_cast<unsigned char>(r.name[0]) <= 1)) continue;
            const placed_record placed{r, path + "/" + shown_name(r.name, tree.ucs2), tree.label};
            map.records.push_back(placed);
            if (r.is_directory)
                map_directory(fd, image_sectors, tree, r, placed.path, depth + 1, visited, map);
            else if (r.data_length != 0)  // an empty file holds no sector, whatever it points at
                map.claims.push_back({r.extent, sectors_of(r.data_length), file_owner(placed)});
        }
    }
}

// The boot catalog an El Torito boot record names, and the boot images its
// entries name: the initial entry, then those of each section.
void map_boot_catalog(int fd, std::uint32_t catalog, disc_map& map) {
    constexpr std::size_t ENTRY = 32;
    map.claims.push_back({catalog, 1, "the boot catalog"});
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    if (read_sector(fd, buffer, catalog) < 0) return;
    const auto cat = std::span(buffer).subspan<USER_DATA, USER_DATA_SIZE>();
    if (cat[0] != 1 || cat[30] != 0x55 || cat[31] != 0xAA) return;  // no validation entry
    auto entry = [&](std::size_t at) {
        if (cat[at] != 0x88 && cat[at] != 0x00) return;  // bootable or not: both name an image
        // Emulated diskettes are read whole; other images as far as the entry loads.
        static constexpr std::uint64_t diskette[] = {1228800, 1474560, 2949120};
        const std::uint8_t media = cat[at + 1] & 0x0F;
        const std::uint64_t bytes = media >= 1 && media <= 3 ? diskette[media - 1]
                                                             : 512ULL * load_le16(cat.subspan(at + 6).first<2>());
        const std::uint32_t first = load_le32(cat.subspan(at + 8).first<4>());
        if (first != 0)
            map.claims.push_back({first, std::max<std::uint64_t>(1, (bytes + USER_DATA_SIZE - 1) / USER_DATA_SIZE),
                                  "a boot image the boot catalog names"});
    };
    entry(ENTRY);
    for (std::size_t at = 2 * ENTRY; at + ENTRY <= USER_DATA_SIZE;) {
        const std::uint8_t header = cat[at];
        if (header != 0x90 && header != 0x91) break;
        std::size_t entries = load_le16(cat.subspan(at + 2).first<2>());
        for (at += ENTRY; entries != 0 && at + ENTRY <= USER_DATA_SIZE; at += ENTRY) {
            if (cat[at] == 0x44) continue;  // an extension of the entry before
            entry(at);
            --entries;
        }
        while (at + ENTRY <= USER_DATA_SIZE && cat[at] == 0x44) at += ENTRY;
        if (header == 0x91) break;
    }
}

// What the volume descriptors hold: themselves up to the terminator, the
// path tables, the boot catalog and what it names, the volume space size,
// and the trees of the supplementary and enhanced descriptors.
void map_descriptors(int fd, disc_map& map, std::vector<tree_info>& trees) {
    constexpr std::uint64_t MAX_DESCRIPTORS = 64;
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    std::uint64_t sector = VOLUME_DESCRIPTOR_SECTOR;
    for (; sector < VOLUME_DESCRIPTOR_SECTOR + MAX_DESCRIPTORS; ++sector) {
        if (read_sector(fd, buffer, sector) < 0) break;
        const auto vd = std::span(buffer).subspan<USER_DATA, USER_DATA_SIZE>();
        if (std::memcmp(vd.data() + 1, "CD001", 5) != 0) break;
        if (vd[0] == 255) {
            ++sector;
            break;
        }
        if (vd[0] == 0 && std::memcmp(vd.data() + 7, "EL TORITO SPECIFICATION", 23) == 0) {
            map_boot_catalog(fd, load_le32(vd.subspan<71, 4>()), map);
            continue;
        }
        if (vd[0] != 1 && vd[0] != 2) continue;
        const bool primary = vd[0] == 1;
        if (primary && map.volume_sectors != 0) continue;
        // Joliet: UCS-2 at level 1, 2 or 3 by the escape sequence.
        const bool joliet = !primary && vd[88] == '%' && vd[89] == '/' &&
                            (vd[90] == '@' || vd[90] == 'C' || vd[90] == 'E');
        const std::string label = primary ? ""
                                  : joliet ? " of the Joliet tree"
                                  : vd[6] == 2 ? " of the enhanced tree"
                                               : " of the supplementary tree";
        if (primary) map.volume_sectors = load_le32(vd.subspan<80, 4>());
        else if (const auto root = root_record(vd, sector))
            trees.push_back({*root, label, joliet});
        const std::uint64_t table = sectors_of(load_le32(vd.subspan<132, 4>()));
        for (const std::uint32_t at : {load_le32(vd.subspan<140, 4>()), load_le32(vd.subspan<144, 4>()),
                                       load_be32(vd.subspan<148, 4>()), load_be32(vd.subspan<152, 4>())})
            if (at != 0) map.claims.push_back({at, table, "the path table" + label});
    }
    map.claims.push_back({0, VOLUME_DESCRIPTOR_SECTOR, "the system area"});
    map.claims.push_back({VOLUME_DESCRIPTOR_SECTOR, sector - VOLUME_DESCRIPTOR_SECTOR,
                          "the volume descriptors"});
}

}  // namespace

disc_map map_disc(int fd_bin) {
    disc_map map;
    const std::uint64_t image_sectors = sectors_in(fd_bin);
    std::vector<tree_info> trees{{root_of(fd_bin, image_sectors), "", false}};
    map_descriptors(fd_bin, map, trees);
    // A tree that shares a directory with one read before is not read again there.
    std::set<std::uint64_t> visited;
    for (const tree_info& tree : trees)
        if (tree.root.extent < image_sectors)
            map_directory(fd_bin, image_sectors, tree, tree.root, "", 0, visited, map);
    return map;
}

dir_lookup listdir(run_output& run, int fd_bin, std::string_view name, bool recurse) {
    walker w{run, fd_bin, wanted_name::of(name), recurse, sectors_in(fd_bin), {}, {}, {}};
    const dir_record root = root_of(fd_bin, w.image_sectors);
    w.list(root.extent, root.data_length, 0, 0);
    return w.found.hits != 0 ? w.found : w.loose;
}

std::string near_miss(int fd_bin, std::string_view name, bool recurse) {
    const wanted_name want = wanted_name::of(name);
    if (want.name.empty()) return "";
    const std::string asked = printable_text(name);
    auto base = [](std::string_view n) { return n.substr(0, n.rfind(';')); };
    // Where the lookup looked: the root, the path's directory, or everywhere.
    auto searched = [&](const placed_record& r) {
        if (!r.tree.empty()) return false;  // the lookup reads the primary tree alone
        if (recurse && !want.by_path) return true;
        std::vector<std::string_view> parts;
        for (std::string_view p = r.path; !p.empty();) {
            p.remove_prefix(1);
            const std::size_t end = std::min(p.find('/'), p.size());
            parts.push_back(p.substr(0, end));
            p.remove_prefix(end);
        }
        parts.pop_back();
        if (parts.size() != want.dirs.size()) return false;
        for (std::size_t i = 0; i < parts.size(); ++i)
            if (match_name(parts[i], printable_name(want.dirs[i])) == name_match::none) return false;
        return true;
    };
    const disc_map map = map_disc(fd_bin);
    if (want.name.find(';') != std::string::npos)
        for (const placed_record& r : map.records)
            if (!r.record.is_directory && searched(r) &&
                match_name(base(r.record.name), base(want.name)) == name_match::exact)
                return "'" + asked + "' was not found; '" + r.path + "' is another version of it";
    if (!want.by_path && !recurse) {
        for (const placed_record& r : map.records)
            if (r.tree.empty() && !searched(r) && match_name(r.record.name, want.name) != name_match::none)
                return "'" + asked + "' was not found in the root; '" + r.path +
                       "' matches: give its path or -r";
        for (const placed_record& r : map.records)
            if (r.tree.empty() && !r.record.is_directory && !searched(r) &&
                match_name(base(r.record.name), base(want.name)) == name_match::exact)
                return "'" + asked + "' was not found in the root; '" + r.path +
                       "' is another version of it: give its path or -r";
    }
    return "";
}

std::optional<dir_lookup> find_named(run_output& run, int fd_bin, const std::string& name, bool recurse) {
    dir_lookup found = listdir(run, fd_bin, name, recurse);
    tprintf(trace_stream(run), "\n");
    if (found.hits == 1) return found;
    std::fprintf(run.out, "Name '%s' was found %d times -- halt\n", printable_text(name).c_str(), found.hits);
    if (found.hits == 0)
        if (const std::string hint = near_miss(fd_bin, name, recurse); !hint.empty()) {
            std::fflush(run.out);
            std::fprintf(run.err, "%s\n", hint.c_str());
            std::fflush(run.err);
        }
    return std::nullopt;
}

bool lookup_fits(run_output& run, const dir_lookup& found,
                 std::optional<std::uint64_t> patch_size) {
    const dir_record& r = found.record;
    const std::string name = printable_name(r.name);
    if (r.is_directory) {
        std::fprintf(run.out, "Name '%s' is a directory, not a file -- refused\n", name.c_str());
        return false;
    }
    if (!patch_size) return true;
    // A 0-byte file has no sector of its own to fill.
    const std::uint64_t room = r.data_length == 0 ? 0 : sectors_of(r.data_length) * USER_DATA_SIZE;
    if (*patch_size <= room) return true;
    std::fprintf(run.out,
                 "Patch of %llu bytes is larger than '%s' (%llu bytes, %llu to the end of its "
                 "last sector) -- refused\n",
                 static_cast<unsigned long long>(*patch_size), name.c_str(),
                 static_cast<unsigned long long>(r.data_length), static_cast<unsigned long long>(room));
    return false;
}

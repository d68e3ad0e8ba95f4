#include "format/iso9660.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <set>

#include "format/cdxa.h"
#include "format/dir_walk.h"
#include "sector/byte_order.h"

namespace {

namespace field = record_field;
constexpr std::size_t RECORD_FIXED = field::NAME;  // bytes before the identifier

void print_column_header(std::FILE* out) {
    tprintf(out, "%30.30s %9.9s %6.6s%8.8s\n", "Name", "Size", "Sector", "Offset");
}

// A record is a directory when its ISO 9660 file flags or its CD-ROM XA
// attribute word say so.
bool record_is_directory(std::span<const std::uint8_t> record) {
    constexpr std::size_t XA_ATTRIBUTES = 4;  // in the XA field, big-endian; 0x8000: a directory
    if ((record[field::FLAGS] & FLAG_DIRECTORY) != 0) return true;
    const std::optional<xa_field> xa = xa_field_of(record);
    return xa && ((*xa)[XA_ATTRIBUTES] & 0x80U) != 0;
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

// Prints one record's listing line to `to` (nothing when null). Returns the
// record's extent.
std::uint32_t print_dir(std::FILE* to, const dir_record& item) {
    const std::string printable = printable_name(item.name);
    const char* shown = printable.c_str();
    if (!item.name.empty() && item.name[0] == '\0') shown = ".";
    if (!item.name.empty() && item.name[0] == '\1') shown = "..";
    const std::uint64_t offset = std::uint64_t{item.extent} * SECTOR_SIZE;
    tprintf(to, "%30.30s %9lu %5u (%08llX)\n", shown,
                 static_cast<unsigned long>(item.data_length), item.extent,
                 static_cast<unsigned long long>(offset));
    return item.extent;
}

unsigned long long ull(std::uint64_t v) { return static_cast<unsigned long long>(v); }

// The listing: every record of the root (and with -r of every directory
// below it, else of those on the path looked for), and the records the
// name looked for names. Traced, it heads each directory sector with its
// index and read step and repeats the column header after a subdirectory's
// listing. A quiet run lists each directory whole, as one table (headed by
// its path when more than the root may be listed), before those below it,
// and names the directory in every warning about the disc.
class listing final : public dir_visitor {
public:
    listing(run_output& run, wanted_name want, bool recurse, listing_use use)
        : run_(run), want_(std::move(want)), recurse_(recurse),
          tables_(use == listing_use::result ? run.out : trace_stream(run)), grouped_(run.quiet) {}

    dir_lookup found;  // the records the name names exactly
    dir_lookup loose;  // those it names without their version

    bool reached(const dir_span& d) override {
        if (!grouped_) tprintf(tables_, "\nSector %llu", ull(d.first));
        return true;
    }

    void refused(const dir_span& d, dir_refusal why) override {
        const bool deep = why == dir_refusal::too_deep;
        if (!grouped_ && deep)
            tprintf(tables_, " | deeper than %u directories, not entered\n", MAX_DIRECTORY_DEPTH);
        else if (!grouped_)
            tprintf(tables_, "%s", " | already listed: the directory tree loops here, not entered again\n");
        else if (deep)
            std::fprintf(run_.out, "Directory '%s' (sector %llu) lies deeper than %u directories -- not entered\n",
                         path_.c_str(), ull(d.first), MAX_DIRECTORY_DEPTH);
        else
            std::fprintf(run_.out,
                         "Directory '%s' (sector %llu) was listed before: the directory tree loops here -- "
                         "not entered again\n",
                         path_.c_str(), ull(d.first));
    }

    void entered(const dir_span&) override {
        if (!grouped_) return;
        below_.emplace_back();
        headed_ = false;
    }

    bool read(int fd, const dir_span& d, std::uint64_t sector, sector_span buffer) override {
        if (!grouped_ && sector != d.first) tprintf(tables_, "\nSector %llu", ull(sector));
        if (read_sector_traced(run_, fd, buffer, sector) >= 0) return true;
        if (grouped_)
            std::fprintf(run_.out, "Directory '%s': sector %llu cannot be read -- rest not listed\n",
                         path_.c_str(), ull(sector));
        return false;
    }

    // Prints and matches the records of one sector; the subdirectories to
    // list are entered from here, or in a quiet run once their directory is
    // done.
    void sector(dir_walk& walk, std::uint64_t sector, std::span<const std::uint8_t, SECTOR_SIZE> buffer,
                const dir_sector& dir) override {
        if (!grouped_) {
            tprintf(tables_, "%s", "\n");
            print_column_header(tables_);
        }
        for (const dir_record& record : dir.records) {
            if (grouped_ && !headed_) head();
            print_dir(tables_, record);
            match(record);
            const int next = along(record);
            if ((!recurse_ && next <= 0) || record.name.empty() ||
                static_cast<unsigned char>(record.name[0]) < 2 || !record.is_directory)
                continue;
            if (grouped_) {
                below_.back().push_back({record, next});
                continue;
            }
            enter(walk, record, next);
            tprintf(tables_, "%s", "\n");
            print_column_header(tables_);
        }
        if (dir.end != walk_end::malformed) return;
        const std::size_t at = dir.end_position - user_data_at(buffer);
        if (grouped_)
            std::fprintf(run_.out, "Malformed directory record at byte %zu of sector %llu -- rest of sector skipped\n",
                         at, ull(sector));
        else
            tprintf(tables_, "Malformed directory record at byte %zu -- rest of sector skipped\n", at);
    }

    void left(dir_walk& walk, const dir_span& d, bool whole) override {
        if (whole && d.read != d.declared) {
            std::FILE* out = grouped_ ? run_.out : tables_;
            const std::string name = grouped_ ? " '" + path_ + "'" : "";
            if (d.read == MAX_DIRECTORY_SECTORS)
                tprintf(out, "Directory%s of %llu sectors: only its first %u are read\n", name.c_str(),
                        ull(d.declared), MAX_DIRECTORY_SECTORS);
            else
                tprintf(out, "Directory%s runs past the end of the image: %llu of its %llu sectors read\n",
                        name.c_str(), ull(d.read), ull(d.declared));
        }
        if (!grouped_) return;
        const std::vector<subdirectory> below = std::move(below_.back());
        below_.pop_back();
        for (const subdirectory& sub : below) enter(walk, sub.record, sub.next);
    }

private:
    struct subdirectory {
        dir_record record;
        int next;  // its place along the path looked for
    };

    // Lists a subdirectory of the directory entered.
    void enter(dir_walk& walk, const dir_record& record, int next) {
        const int here = on_path_;
        const std::string parent = path_;
        on_path_ = next;
        if (path_ != "/") path_ += '/';
        path_ += printable_name(record.name);
        walk.enter(record);
        on_path_ = here;
        path_ = parent;
    }

    // Heads a quiet run's table of the directory entered.
    void head() {
        if (tables_ != nullptr && tables_written_++ != 0) tprintf(tables_, "%s", "\n");
        if (recurse_ || want_.by_path) tprintf(tables_, "%s\n", path_.c_str());
        print_column_header(tables_);
        headed_ = true;
    }

    // Counts the record when it is the name looked for: in the directory the
    // path names, or (a name alone) wherever the listing goes.
    void match(const dir_record& item) {
        // An empty name matches nothing, and neither "." nor ".." is a file.
        if (want_.name.empty() || item.name.empty() || static_cast<unsigned char>(item.name[0]) <= 1) return;
        if (want_.by_path && on_path_ != static_cast<int>(want_.dirs.size())) return;
        const name_match how = match_name(item.name, want_.name);
        if (how == name_match::none) return;
        dir_lookup& hit = how == name_match::exact ? found : loose;
        ++hit.hits;
        hit.offset = std::uint64_t{item.extent} * SECTOR_SIZE;
        hit.record = item;
    }

    // How far a subdirectory goes along the path looked for: the parts of
    // the path it has matched, or -1 once off it.
    int along(const dir_record& item) const {
        if (!want_.by_path || on_path_ < 0 || on_path_ >= static_cast<int>(want_.dirs.size())) return -1;
        const std::string& part = want_.dirs[static_cast<std::size_t>(on_path_)];
        return match_name(item.name, part) != name_match::none ? on_path_ + 1 : -1;
    }

    run_output& run_;
    wanted_name want_;  // the name looked for; empty: none
    bool recurse_;
    std::FILE* tables_;  // where the tables go: null in a quiet lookup
    bool grouped_;       // a quiet run: each directory whole, then those below it
    int on_path_ = 0;    // parts of the path looked for that lead to the directory entered (-1: none do)
    std::string path_ = "/";  // of the directory entered
    std::vector<std::vector<subdirectory>> below_;  // quiet: the subdirectories of each directory entered
    bool headed_ = false;         // quiet: the directory entered has its table's head
    unsigned tables_written_ = 0;  // quiet: tables headed so far
};

// Whether the image may hold an ISO 9660 volume: sector 16 carries the
// CD001 descriptor, or is at least a data sector (a disc whose descriptor is
// damaged, listed from sector 22).
bool holds_volume(int fd) {
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    if (read_sector_quietly(fd, buffer, VOLUME_DESCRIPTOR_SECTOR) < 0) return false;
    return has_standard_id(user_data_of(buffer)) || has_sync(buffer);
}

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
    if (read_sector_quietly(fd, buffer, VOLUME_DESCRIPTOR_SECTOR) < 0) return root;
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
    // A backslash parts a path as a slash does, as on Windows: no name on
    // the disc can hold one.
    constexpr std::string_view SEPARATORS = "/\\";
    w.by_path = name.find_first_of(SEPARATORS) != std::string_view::npos;
    if (!w.by_path) {
        w.name = name;
        return w;
    }
    for (std::size_t at = 0; at <= name.size();) {
        const std::size_t end = std::min(name.find_first_of(SEPARATORS, at), name.size());
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
    std::size_t pos = user_data_at(buffer);
    const std::size_t data_end = pos + USER_DATA_SIZE;
    for (;;) {
        dir.end_position = pos;
        if (pos >= data_end) {
            dir.end = walk_end::end_of_data;
            return dir;
        }
        const std::size_t size = buffer[pos];
        if (size == 0) {
            dir.end = walk_end::zero_length;
            return dir;
        }
        if (size < RECORD_FIXED || pos + size > data_end) {
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
        r.is_directory = record_is_directory(record);
        dir.records.push_back(std::move(r));
        pos += size;
    }
}

namespace {

// The root directory's record of a volume descriptor held in raw sector
// `sector`, whose user data starts at byte `data_at`: whole (34 bytes,
// identifier 0x00, both byte orders agreeing, a length of at least one
// byte), else none.
std::optional<dir_record> root_record(std::span<const std::uint8_t, USER_DATA_SIZE> vd,
                                      std::uint64_t sector, std::size_t data_at) {
    constexpr std::size_t ROOT_RECORD_SIZE = 34;
    const auto record = vd.subspan<descriptor_field::ROOT_RECORD, ROOT_RECORD_SIZE>();
    if (record[field::LENGTH] != ROOT_RECORD_SIZE || record[field::NAME_LENGTH] != 1 ||
        record[field::NAME] != 0)
        return std::nullopt;
    dir_record root;
    root.sector = sector;
    root.position = data_at + descriptor_field::ROOT_RECORD;
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
    const auto pvd = user_data_of(buffer);
    if (pvd[descriptor_field::TYPE] != descriptor_type::PRIMARY || !has_standard_id(pvd) ||
        pvd[descriptor_field::VERSION] != 1)
        return std::nullopt;
    return root_record(pvd, VOLUME_DESCRIPTOR_SECTOR, user_data_at(buffer));
}

bool has_standard_id(descriptor_span vd) {
    return std::equal(STANDARD_ID.begin(), STANDARD_ID.end(), vd.begin() + descriptor_field::ID);
}

namespace {

// for_each_descriptor, handing `each` the raw sector of each descriptor too.
std::uint64_t each_descriptor(
    int fd, const std::function<void(std::uint64_t, std::span<const std::uint8_t, SECTOR_SIZE>, descriptor_span)>& each) {
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    std::uint64_t sector = VOLUME_DESCRIPTOR_SECTOR;
    for (; sector < VOLUME_DESCRIPTOR_SECTOR + MAX_DESCRIPTORS; ++sector) {
        if (read_sector_quietly(fd, buffer, sector) < 0) break;
        const auto vd = user_data_of(buffer);
        if (!has_standard_id(vd)) break;
        if (vd[descriptor_field::TYPE] == descriptor_type::TERMINATOR) return sector + 1;
        each(sector, buffer, vd);
    }
    return sector;
}

}  // namespace

std::uint64_t for_each_descriptor(int fd, const std::function<void(std::uint64_t, descriptor_span)>& each) {
    return each_descriptor(fd, [&](std::uint64_t sector, auto, descriptor_span vd) { each(sector, vd); });
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

// Reads a tree's directories into the map, as the listing would, without
// a word.
class tree_mapper final : public dir_visitor {
public:
    explicit tree_mapper(disc_map& map) : map_(map) {}

    // Maps the tree from its root; directories another tree took are left to it.
    void map_tree(dir_walk& walk, const tree_info& tree) {
        tree_ = &tree;
        path_.clear();
        walk.enter(tree.root);
    }

    void entered(const dir_span& d) override {
        map_.claims.push_back({d.first, d.declared, "directory '" + (path_.empty() ? "/" : path_) + "'" + tree_->label});
    }

    void sector(dir_walk& walk, std::uint64_t, std::span<const std::uint8_t, SECTOR_SIZE>, const dir_sector& dir) override {
        for (const dir_record& r : dir.records) {
            // "." and "..": one byte, 0x00 or 0x01 (a UCS-2 name may start with 0x00).
            if (r.name.empty() || (r.name.size() == 1 && static_cast<unsigned char>(r.name[0]) <= 1)) continue;
            const placed_record placed{r, path_ + "/" + shown_name(r.name, tree_->ucs2), tree_->label};
            map_.records.push_back(placed);
            if (r.is_directory) {
                std::string here = std::move(path_);
                path_ = placed.path;
                walk.enter(r);
                path_ = std::move(here);
            } else if (r.data_length != 0) {  // an empty file holds no sector, whatever it points at
                map_.claims.push_back({r.extent, user_data_sectors(r.data_length), file_owner(placed)});
            }
        }
    }

private:
    disc_map& map_;
    const tree_info* tree_ = nullptr;
    std::string path_;  // of the directory entered, "" for the root
};

// The boot catalog an El Torito boot record names, and the boot images its
// entries name: the initial entry, then those of each section.
void map_boot_catalog(int fd, std::uint32_t catalog, disc_map& map) {
    constexpr std::size_t ENTRY = 32;
    map.claims.push_back({catalog, 1, "the boot catalog"});
    map.boot_catalogs.push_back(catalog);
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    if (read_sector_quietly(fd, buffer, catalog) < 0) return;
    const auto cat = user_data_of(buffer);
    if (cat[0] != 1 || cat[30] != 0x55 || cat[31] != 0xAA) return;  // no validation entry
    auto entry = [&](std::size_t at) {
        if (cat[at] != 0x88 && cat[at] != 0x00) return;  // bootable or not: both name an image
        // Emulated diskettes are read whole; other images as far as the entry loads.
        static constexpr std::uint64_t diskette[] = {1228800, 1474560, 2949120};
        const std::uint8_t media = cat[at + 1] & 0x0F;
        const std::uint16_t count = load_le16(cat.subspan(at + boot_field::COUNT).first<2>());
        const std::uint64_t bytes = media >= 1 && media <= 3 ? diskette[media - 1] : 512ULL * count;
        const std::uint32_t first = load_le32(cat.subspan(at + boot_field::LOAD).first<4>());
        if (first == 0) return;
        const std::uint64_t sectors = std::max<std::uint64_t>(1, user_data_sectors(bytes));
        map.claims.push_back({first, sectors, "a boot image the boot catalog names"});
        map.boot_entries.push_back({catalog, at, media, count, first, sectors});
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
    namespace at = descriptor_field;
    const std::uint64_t end = each_descriptor(fd, [&](std::uint64_t sector, auto raw, descriptor_span vd) {
        if (vd[at::TYPE] == descriptor_type::BOOT &&
            std::memcmp(vd.data() + at::BOOT_SYSTEM, EL_TORITO_SYSTEM.data(), EL_TORITO_SYSTEM.size()) == 0) {
            map_boot_catalog(fd, load_le32(vd.subspan<at::BOOT_CATALOG, 4>()), map);
            return;
        }
        if (vd[at::TYPE] != descriptor_type::PRIMARY && vd[at::TYPE] != descriptor_type::SUPPLEMENTARY) return;
        const bool primary = vd[at::TYPE] == descriptor_type::PRIMARY;
        if (primary && map.volume_sectors != 0) return;
        // Joliet: UCS-2 at level 1, 2 or 3 by the escape sequence.
        const auto esc = vd.subspan<at::ESCAPES, 3>();
        const bool joliet = !primary && esc[0] == '%' && esc[1] == '/' && (esc[2] == '@' || esc[2] == 'C' || esc[2] == 'E');
        const std::string label = primary ? ""
                                  : joliet ? " of the Joliet tree"
                                  : vd[at::VERSION] == 2 ? " of the enhanced tree"
                                                         : " of the supplementary tree";
        if (primary) map.volume_sectors = load_le32(vd.subspan<at::VOLUME_SIZE, 4>());
        else if (const auto root = root_record(vd, sector, user_data_at(raw)))
            trees.push_back({*root, label, joliet});
        const std::uint64_t table = directory_sectors(load_le32(vd.subspan<at::PATH_TABLE_SIZE, 4>()));
        for (const std::uint32_t t : {load_le32(vd.subspan<at::L_PATH_TABLE, 4>()), load_le32(vd.subspan<at::L_PATH_TABLE + 4, 4>()),
                                      load_be32(vd.subspan<at::M_PATH_TABLE, 4>()), load_be32(vd.subspan<at::M_PATH_TABLE + 4, 4>())})
            if (t != 0) map.claims.push_back({t, table, "the path table" + label});
    });
    map.claims.push_back({0, VOLUME_DESCRIPTOR_SECTOR, "the system area"});
    map.claims.push_back({VOLUME_DESCRIPTOR_SECTOR, end - VOLUME_DESCRIPTOR_SECTOR, "the volume descriptors"});
}

}  // namespace

disc_map map_disc(int fd_bin) {
    disc_map map;
    tree_mapper mapper(map);
    dir_walk walk(fd_bin, mapper);
    std::vector<tree_info> trees{{root_of(fd_bin, walk.image_sectors()), "", false}};
    map_descriptors(fd_bin, map, trees);
    // A tree that shares a directory with one read before is not read again there.
    for (const tree_info& tree : trees)
        if (tree.root.extent < walk.image_sectors()) mapper.map_tree(walk, tree);
    return map;
}

dir_lookup listdir(run_output& run, int fd_bin, std::string_view name, bool recurse, listing_use use) {
    if (!holds_volume(fd_bin)) {
        std::fprintf(run.out, "%s", "The image holds no ISO 9660 volume: no CD001 descriptor at sector 16\n");
        dir_lookup none;
        none.no_volume = true;
        return none;
    }
    listing list(run, wanted_name::of(name), recurse, use);
    dir_walk walk(fd_bin, list);
    walk.enter(root_of(fd_bin, walk.image_sectors()));
    return list.found.hits != 0 ? list.found : list.loose;
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
    if (found.hits == 0 && !found.no_volume)
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
    const std::uint64_t room = user_data_sectors(r.data_length) * USER_DATA_SIZE;
    if (*patch_size <= room) return true;
    std::fprintf(run.out,
                 "Patch of %llu bytes is larger than '%s' (%llu bytes, %llu to the end of its "
                 "last sector) -- refused\n",
                 static_cast<unsigned long long>(*patch_size), name.c_str(),
                 static_cast<unsigned long long>(r.data_length), static_cast<unsigned long long>(room));
    return false;
}

#include "ops/placement.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "sector/byte_order.h"

namespace {

constexpr std::uint8_t SUBMODE_EOR = 0x01;    // end of record
constexpr std::uint8_t SUBMODE_VIDEO = 0x02;
constexpr std::uint8_t SUBMODE_AUDIO = 0x04;
constexpr std::uint8_t SUBMODE_DATA = 0x08;
constexpr std::uint8_t SUBMODE_EOF = 0x80;    // end of file
// Sectors read at a time when a file's sectors or its room are looked at.
constexpr std::size_t READ_SECTORS = 64;
// Sectors at the end of a data track that disc readers expect to stay empty.
constexpr std::uint64_t POSTGAP_SECTORS = relocation::POSTGAP_SECTORS;


// The first sector of [from, to) that something other than the file itself
// claims, and who: none when all are free.
std::optional<claim> first_claimed(const disc_map& map, const replace_plan& plan, std::uint64_t from,
                                   std::uint64_t to, std::uint64_t image_sectors) {
    std::optional<claim> hit;
    auto take = [&](std::uint64_t first, std::uint64_t count, const std::string& owner) {
        const std::uint64_t at = std::max(first, from);
        if (at < to && at < first + count && (!hit || at < hit->first)) hit = claim{at, 1, owner};
    };
    // Where several reasons meet at one sector, the most particular is named:
    // what holds it, then the end of the image or the volume, then the postgap.
    auto own = [&](const claim& c) {
        return std::any_of(plan.records.begin(), plan.records.end(),
                           [&](const placed_record& r) { return c.owner == file_owner(r); });
    };
    for (const claim& c : map.claims)
        if (!own(c)) take(c.first, c.count, c.owner);
    take(image_sectors, UINT64_MAX - image_sectors, "the space past the image's end");
    if (map.volume_sectors != 0)
        take(map.volume_sectors, UINT64_MAX - map.volume_sectors,
             "the space past the volume's " + std::to_string(map.volume_sectors) + " sectors");
    const std::uint64_t end = map.volume_sectors != 0 ? std::min(map.volume_sectors, image_sectors)
                                                      : image_sectors;
    const std::uint64_t postgap = end > POSTGAP_SECTORS ? end - POSTGAP_SECTORS : 0;
    take(postgap, UINT64_MAX - postgap, "the last 150 sectors of the track (its postgap)");
    return hit;
}

// Calls `each(sector, raw bytes)` for the sectors [from, to) that can be
// read, until it returns false; stops quietly where the image cannot be read
// (the patch run reads them again and says why). The sector it stopped at.
template <class Each>
std::optional<std::uint64_t> find_sector(int fd, std::uint64_t from, std::uint64_t to, Each each) {
    std::vector<std::uint8_t> chunk(READ_SECTORS * SECTOR_SIZE);
    for (std::uint64_t at = from; at < to; at += READ_SECTORS) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(READ_SECTORS, to - at));
        const std::size_t got = pread_full(fd, std::span(chunk).first(n * SECTOR_SIZE), at * SECTOR_SIZE) / SECTOR_SIZE;
        for (std::size_t i = 0; i < got; ++i)
            if (each(std::span<const std::uint8_t, SECTOR_SIZE>(chunk.data() + i * SECTOR_SIZE, SECTOR_SIZE)))
                return at + i;
        if (got != n) break;
    }
    return std::nullopt;
}


// Why the sectors [from, to) cannot take the file: the first that something
// claims, or before it one that holds data. Empty when they can.
std::string growth_blocker(int fd, const disc_map& map, const replace_plan& plan, std::uint64_t from,
                           std::uint64_t to, std::uint64_t image_sectors, const std::string& name,
                           std::uint64_t new_size, const shared_room* room) {
    const auto taken = first_claimed(map, plan, from, to, image_sectors);
    // Before the first claimed sector, a sector whose user data are not all
    // zero holds something no directory names (unless a file of the run
    // gave it up).
    std::uint64_t at = from;
    const auto data = find_sector(fd, from, taken ? taken->first : to, [&](auto sector) {
        return !(room && room->is_freed(at++)) && std::any_of(sector.begin() + USER_DATA, sector.begin() + USER_DATA_END,
                                                             [](std::uint8_t b) { return b != 0; });
    });
    if (!taken && !data) return {};
    char head[160];
    std::snprintf(head, sizeof head, "Sector %llu, which '%s' needs to grow to %llu bytes, ",
                  static_cast<unsigned long long>(data ? *data : taken->first), name.c_str(),
                  static_cast<unsigned long long>(new_size));
    return head + (data ? std::string("holds data outside the directory tree")
                        : "belongs to " + taken->owner);
}

// A sector a moved file may take: blank user data, and either never
// written (all zero) or a Mode 2 Form 1 sector.
bool blank_sector(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    auto zero = [](std::uint8_t b) { return b == 0; };
    if (!std::all_of(sector.begin() + USER_DATA, sector.begin() + USER_DATA_END, zero)) return false;
    if (!has_sync(sector))
        return std::all_of(sector.begin(), sector.end(), zero);
    return sector[MODE_BYTE] == 2 && ((sector[SUBMODE_BYTE] | sector[SUBMODE_COPY_BYTE]) & SUBMODE_FORM2) == 0;
}

// A sector of a postgap, of any mode and form: its user data all zero. A
// mode past 2 is no sector of a postgap.
bool postgap_sector(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    const std::uint8_t mode = sector[MODE_BYTE];
    if (mode > 2) return false;
    const bool form2 = mode == 2 && (sector[SUBMODE_BYTE] & SUBMODE_FORM2) != 0;
    const std::size_t from = mode == 2 ? USER_DATA : SUBHEADER;
    const std::size_t to = mode == 0 ? SECTOR_SIZE : mode == 1 ? MODE1_EDC_AT : form2 ? FORM2_EDC_AT : USER_DATA_END;
    return std::all_of(sector.begin() + static_cast<std::ptrdiff_t>(from),
                       sector.begin() + static_cast<std::ptrdiff_t>(to), [](std::uint8_t b) { return b == 0; });
}

// The first sector of the lowest run of `count` sectors before `end` that
// nothing on the disc claims (the file's old sectors and the postgap
// included) and whose sectors are blank.
std::optional<std::uint64_t> find_hole(int fd, const disc_map& map, std::uint64_t end, std::uint64_t count,
                                       const shared_room* room) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> taken;  // [first, end)
    for (const claim& c : map.claims) taken.emplace_back(c.first, c.first + std::min(c.count, UINT64_MAX - c.first));
    taken.emplace_back(end > POSTGAP_SECTORS ? end - POSTGAP_SECTORS : 0, UINT64_MAX);
    std::sort(taken.begin(), taken.end());
    auto look = [&](std::uint64_t from, std::uint64_t to) -> std::optional<std::uint64_t> {
        if (to <= from || to - from < count) return std::nullopt;
        std::uint64_t at = from, run_from = from;
        const auto last = find_sector(fd, from, to, [&](auto sector) {
            if (!blank_sector(sector) && !(room && room->is_freed(at))) run_from = at + 1;
            return ++at - run_from == count;
        });
        if (last) return *last + 1 - count;
        return std::nullopt;
    };
    std::uint64_t free_from = 0;
    for (const auto& [first, past] : taken) {
        if (first >= end) break;
        if (const auto hole = look(free_from, first)) return hole;
        free_from = std::max(free_from, past);
    }
    return look(free_from, end);
}

// Plans the growth of the image by the file: fills in where it goes, the
// postgap's model and the volume descriptors to update. Why not in a few
// words, or empty when it can.
std::string plan_growth(int fd, const disc_map& map, std::uint64_t image_bytes, const std::string& track_after,
                        relocation& r) {
    char why[200];
    if (!track_after.empty()) return track_after + " follows the data track in the image file";
    const std::uint64_t volume = map.volume_sectors, image_sectors = image_bytes / SECTOR_SIZE;
    if (volume == 0) return "the disc has no primary volume descriptor with a volume space size";
    if (image_bytes % SECTOR_SIZE != 0) {
        std::snprintf(why, sizeof why, "the image ends %llu bytes into a sector after its last whole one",
                      static_cast<unsigned long long>(image_bytes % SECTOR_SIZE));
        return why;
    }
    if (image_sectors < volume) {
        std::snprintf(why, sizeof why, "the image holds %llu of the volume's %llu sectors",
                      static_cast<unsigned long long>(image_sectors), static_cast<unsigned long long>(volume));
        return why;
    }
    if (image_sectors - volume > POSTGAP_SECTORS) {
        std::snprintf(why, sizeof why, "the image holds %llu sectors after the volume, more than a postgap",
                      static_cast<unsigned long long>(image_sectors - volume));
        return why;
    }
    if (image_sectors < POSTGAP_SECTORS + VOLUME_DESCRIPTOR_SECTOR + 1) {
        std::snprintf(why, sizeof why, "the image's %llu sectors hold no %llu-sector postgap to follow",
                      static_cast<unsigned long long>(image_sectors),
                      static_cast<unsigned long long>(POSTGAP_SECTORS));
        return why;
    }
    // After the volume only a postgap may lie: data sectors whose user data
    // are all zero. A sector with no data sync is audio, another track; one
    // with user data holds what no directory names.
    bool no_sync = false;
    const auto other = find_sector(fd, volume, image_sectors, [&](auto sector) {
        no_sync = !has_sync(sector);
        return no_sync || !postgap_sector(sector);
    });
    if (other) {
        std::snprintf(why, sizeof why,
                      no_sync ? "sector %llu, after the volume, holds no data sync: another track follows in the image file"
                              : "sector %llu, after the volume, holds user data: only a blank postgap may follow the volume",
                      static_cast<unsigned long long>(*other));
        return why;
    }
    const bool covered = image_sectors == volume;
    r.grows = true;
    r.new_first = volume;
    r.tail_from = image_sectors - POSTGAP_SECTORS;
    r.old_volume = volume;
    r.volume_sectors = volume + r.new_sectors + (covered ? POSTGAP_SECTORS : 0);
    if (r.volume_sectors > UINT32_MAX) return "the volume would pass 4294967295 sectors";
    // Every descriptor that names the volume's size: the primary and the
    // supplementary ones (a Joliet tree's).
    (void)for_each_descriptor(fd, [&](std::uint64_t s, descriptor_span vd) {
        const std::uint8_t type = vd[descriptor_field::TYPE];
        if ((type == descriptor_type::PRIMARY || type == descriptor_type::SUPPLEMENTARY) &&
            load_le32(vd.subspan<descriptor_field::VOLUME_SIZE, 4>()) == volume &&
            load_be32(vd.subspan<descriptor_field::VOLUME_SIZE + 4, 4>()) == volume)
            r.descriptors.push_back(s);
    });
    if (r.descriptors.empty()) return "no volume descriptor names the volume's size in both byte orders";
    return {};
}

// Two trees name the same file with `a` and `b`: part for part the same
// name (a-z and A-Z alike), a version only where both give one, a dot that
// ends a name only where both keep it.
bool same_path(std::string_view a, std::string_view b) {
    auto next = [](std::string_view& path) {
        path.remove_prefix(std::min<std::size_t>(1, path.size()));  // its '/'
        const std::size_t end = std::min(path.find('/'), path.size());
        const std::string_view part = path.substr(0, end);
        path.remove_prefix(end);
        return part;
    };
    auto base = [](std::string_view part) {
        part = part.substr(0, part.find(';'));
        if (part.size() > 1 && part.back() == '.') part.remove_suffix(1);
        return part;
    };
    while (!a.empty() && !b.empty()) {
        const std::string_view x = next(a), y = next(b);
        const bool versions = x.find(';') != std::string_view::npos && y.find(';') != std::string_view::npos;
        if (match_name(versions ? x : base(x), versions ? y : base(y)) != name_match::exact) return false;
    }
    return a.empty() && b.empty();
}

// The boot catalog entries that load a file moving by `r` from `old_size`
// to `new_size` bytes, as they become (into `moves`); or why the move
// would leave the boot catalog wrong, empty when it would not.
std::string boot_blocker(const disc_map& map, const relocation& r, std::uint64_t old_size, std::uint64_t new_size,
                         std::vector<boot_move>& moves) {
    char why[200];
    const auto inside = [&](std::uint64_t sector) { return sector >= r.old_first && sector - r.old_first < r.old_sectors; };
    for (const std::uint64_t catalog : map.boot_catalogs)
        if (inside(catalog)) {
            std::snprintf(why, sizeof why, "it holds the boot catalog (sector %llu), which the boot record names there",
                          static_cast<unsigned long long>(catalog));
            return why;
        }
    for (const boot_entry& e : map.boot_entries) {
        if (!inside(e.load)) continue;
        const auto catalog = static_cast<unsigned long long>(e.catalog);
        if (e.load != r.old_first) {
            std::snprintf(why, sizeof why, "the boot catalog in sector %llu loads a boot image from its sector %llu, not its first",
                          catalog, static_cast<unsigned long long>(e.load));
            return why;
        }
        if (e.sectors > r.old_sectors) {
            std::snprintf(why, sizeof why, "the boot catalog in sector %llu loads %llu sectors from its first, past its %llu",
                          catalog, static_cast<unsigned long long>(e.sectors), static_cast<unsigned long long>(r.old_sectors));
            return why;
        }
        // An emulated diskette is as large as its media says, whatever the file.
        if (e.media >= 1 && e.media <= 3 && new_size > e.sectors * USER_DATA_SIZE) {
            std::snprintf(why, sizeof why, "the boot catalog in sector %llu emulates a diskette of %llu bytes with it, fewer than %llu",
                          catalog, static_cast<unsigned long long>(e.sectors * USER_DATA_SIZE),
                          static_cast<unsigned long long>(new_size));
            return why;
        }
        // Without emulation the count may load the whole file: by its
        // sectors, or by its bytes. Then it follows the new size.
        boot_move m{e, e.count};
        const std::uint64_t loaded = 512ULL * e.count;
        if (e.media == 0 && loaded >= old_size) {
            std::uint64_t count = 0;
            if (e.count == 4 * r.old_sectors) count = 4 * r.new_sectors;
            else if (e.count == (old_size + 511) / 512) count = (new_size + 511) / 512;
            else {
                std::snprintf(why, sizeof why,
                              "the boot catalog in sector %llu loads %u 512-byte sectors, past its %llu bytes "
                              "yet not its %llu sectors",
                              catalog, static_cast<unsigned>(e.count), static_cast<unsigned long long>(old_size),
                              static_cast<unsigned long long>(r.old_sectors));
                return why;
            }
            if (count > UINT16_MAX) {
                std::snprintf(why, sizeof why,
                              "the boot catalog in sector %llu loads it whole, and %llu bytes are more than an entry loads",
                              catalog, static_cast<unsigned long long>(new_size));
                return why;
            }
            m.new_count = static_cast<std::uint16_t>(count);
        }
        moves.push_back(m);
    }
    return {};
}

}  // namespace

void print_record_changes(run_output& run, const replace_plan& plan) {
    if (const std::optional<relocation>& m = plan.moved)
        std::fprintf(run.out, "Moved '%s' from sector %llu (%llu sectors) to sector %llu (%llu sectors)\n",
                     m->path.c_str(), static_cast<unsigned long long>(m->old_first),
                     static_cast<unsigned long long>(m->old_sectors), static_cast<unsigned long long>(m->new_first),
                     static_cast<unsigned long long>(m->new_sectors));
    for (const placed_record& r : plan.records)
        std::fprintf(run.out, "Directory record %s%s in sector %llu: %lu -> %lu bytes\n", r.path.c_str(),
                     r.tree.c_str(), static_cast<unsigned long long>(r.record.sector),
                     static_cast<unsigned long>(r.record.data_length),
                     static_cast<unsigned long>(plan.new_size));
    for (const boot_move& b : plan.boot) {
        std::fprintf(run.out, "Boot catalog in sector %llu: boot image at sector %lu -> %llu",
                     static_cast<unsigned long long>(b.entry.catalog), static_cast<unsigned long>(b.entry.load),
                     static_cast<unsigned long long>(plan.moved->new_first));
        if (b.new_count != b.entry.count)
            std::fprintf(run.out, ", loading %u -> %u 512-byte sectors\n", static_cast<unsigned>(b.entry.count),
                         static_cast<unsigned>(b.new_count));
        else
            std::fprintf(run.out, ", loading %u 512-byte sectors as before\n", static_cast<unsigned>(b.entry.count));
    }
}

void update_records(std::span<std::uint8_t, SECTOR_SIZE> raw, const replace_plan& plan, std::uint64_t sector) {
    const auto size = static_cast<std::uint32_t>(plan.new_size);
    for (const placed_record& r : plan.records) {
        if (r.record.sector != sector) continue;
        const auto record = std::span<std::uint8_t>(raw).subspan(r.record.position);
        store_le32(record.subspan<record_field::SIZE_LE, 4>(), size);
        store_be32(record.subspan<record_field::SIZE_BE, 4>(), size);
        if (plan.moved) {
            store_le32(record.subspan<record_field::EXTENT_LE, 4>(), static_cast<std::uint32_t>(plan.moved->new_first));
            store_be32(record.subspan<record_field::EXTENT_BE, 4>(), static_cast<std::uint32_t>(plan.moved->new_first));
        }
    }
    for (const boot_move& b : plan.boot) {
        if (b.entry.catalog != sector) continue;
        const auto entry = std::span<std::uint8_t>(raw).subspan(USER_DATA + b.entry.position);
        store_le16(entry.subspan<boot_field::COUNT, 2>(), b.new_count);
        store_le32(entry.subspan<boot_field::LOAD, 4>(), static_cast<std::uint32_t>(plan.moved->new_first));
    }
}

bool boot_catalog_sector(const replace_plan& plan, std::uint64_t sector) {
    return std::any_of(plan.boot.begin(), plan.boot.end(), [&](const boot_move& b) { return b.entry.catalog == sector; });
}

std::vector<std::uint64_t> record_sectors(const replace_plan& plan) {
    std::vector<std::uint64_t> sectors;
    for (const placed_record& r : plan.records) sectors.push_back(r.record.sector);
    for (const boot_move& b : plan.boot) sectors.push_back(b.entry.catalog);
    std::sort(sectors.begin(), sectors.end());
    sectors.erase(std::unique(sectors.begin(), sectors.end()), sectors.end());
    return sectors;
}

std::array<std::uint8_t, 4> subheader_for(const replace_plan& plan, bool last) {
    std::array<std::uint8_t, 4> sub = plan.last_subheader;
    sub[2] = static_cast<std::uint8_t>((sub[2] & ~(SUBMODE_FORM2 | SUBMODE_AUDIO | SUBMODE_VIDEO)) | SUBMODE_DATA);
    if (!last) sub[2] &= static_cast<std::uint8_t>(~(SUBMODE_EOR | SUBMODE_EOF));
    return sub;
}

bool shared_room::is_freed(std::uint64_t sector) const {
    return std::any_of(freed.begin(), freed.end(), [&](const auto& f) { return sector >= f.first && sector < f.second; });
}

namespace {

bool plan_in(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size, replace_plan& plan,
             bool relocate, const std::string& track_after, const disc_map& map, const shared_room* room) {
    const dir_record& file = found.record;
    const std::string name = printable_name(file.name);
    if (new_size > UINT32_MAX) {
        std::fprintf(run.out, "Patch of %llu bytes is larger than a file on the disc can be -- refused\n",
                     static_cast<unsigned long long>(new_size));
        return false;
    }
    plan.new_size = new_size;
    // Its records: the one found by name, and every other that names its
    // first sector and its size in any tree (a hard link, or the file as a
    // Joliet tree names it). Empty files that merely point at the same
    // sector are others: an empty file's record in another tree is the
    // empty one at its path there.
    const auto own = std::find_if(map.records.begin(), map.records.end(), [&](const placed_record& r) {
        return r.record.sector == file.sector && r.record.position == file.position;
    });
    for (const placed_record& r : map.records)
        if ((r.record.sector == file.sector && r.record.position == file.position) ||
            (file.data_length != 0 && !r.record.is_directory && r.record.extent == file.extent &&
             r.record.data_length == file.data_length) ||
            (file.data_length == 0 && own != map.records.end() && r.tree != own->tree && !r.record.is_directory &&
             r.record.data_length == 0 && same_path(r.path, own->path)))
            plan.records.push_back(r);

    if (relocate)
        for (const placed_record& p : map.records)
            if (!p.record.is_directory) plan.files.push_back(p);

    const std::uint64_t had = user_data_sectors(file.data_length);
    // The file's own convention, from its old last sector; a file that had
    // none takes that of a plain data file.
    plan.last_subheader = {0x00, 0x00, 0x89, 0x00};
    std::array<std::uint8_t, SECTOR_SIZE> last{};
    if (had != 0 && read_sector_quietly(fd_bin, last, file.extent + had - 1) == static_cast<long>(SECTOR_SIZE))
        std::copy_n(last.begin() + SUBHEADER, SUBHEADER_COPY, plan.last_subheader.begin());

    platform::file_info image;
    const std::uint64_t image_sectors = platform::query(fd_bin, image) ? image.size / SECTOR_SIZE : 0;
    const std::uint64_t needs = user_data_sectors(new_size);
    if (needs <= had) return true;
    const std::string in_place = growth_blocker(fd_bin, map, plan, file.extent + had, file.extent + needs,
                                                image_sectors, name, new_size, room);
    if (in_place.empty()) return true;
    if (!relocate) {
        if (!(room && room->quiet)) std::fprintf(run.out, "%s -- refused\n", in_place.c_str());
        return false;
    }
    relocation r;
    for (const placed_record& p : plan.records)
        if (p.record.sector == file.sector && p.record.position == file.position) r.path = p.path;
    r.old_first = file.extent;
    r.old_sectors = had;
    r.new_sectors = needs;
    r.image_sectors = image_sectors;
    const std::uint64_t volume_end = map.volume_sectors != 0 ? std::min(map.volume_sectors, image_sectors)
                                                             : image_sectors;
    // A move the boot catalog cannot follow is refused wherever it would go.
    if (const std::string boot = boot_blocker(map, r, file.data_length, new_size, plan.boot); !boot.empty()) {
        std::fprintf(run.out, "%s\n'%s' cannot move: %s -- refused\n", in_place.c_str(), name.c_str(), boot.c_str());
        return false;
    }
    if (const auto hole = find_hole(fd_bin, map, volume_end, needs, room)) {
        r.new_first = *hole;
        plan.moved = r;
        return true;
    }
    const std::string growth = room && room->grown ? "another file of this run grows it already"
                                                   : plan_growth(fd_bin, map, image.size, track_after, r);
    if (growth.empty()) {
        plan.moved = r;
        return true;
    }
    std::fprintf(run.out,
                 "%s\nNo run of %llu free, blank sectors lies inside the volume\nThe image cannot grow: %s\n"
                 "'%s' can neither grow in place nor move -- refused\n",
                 in_place.c_str(), static_cast<unsigned long long>(needs), growth.c_str(), name.c_str());
    return false;
}

}  // namespace

bool plan_replacement(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size,
                      replace_plan& plan, bool relocate, const std::string& track_after) {
    return plan_in(run, fd_bin, found, new_size, plan, relocate, track_after, map_disc(fd_bin), nullptr);
}

bool plan_replacement(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size,
                      replace_plan& plan, bool relocate, const std::string& track_after, const shared_room& room) {
    return plan_in(run, fd_bin, found, new_size, plan, relocate, track_after, room.map, &room);
}

void rebuild_postgap_sector(std::span<std::uint8_t, SECTOR_SIZE> sector, std::uint64_t at, bool blank) {
    if (!has_sync(sector)) {
        std::fill(sector.begin(), sector.end(), 0);
        return;
    }
    const std::uint8_t mode = sector[MODE_BYTE];
    const bool form2 = mode == 2 && (sector[SUBMODE_BYTE] & SUBMODE_FORM2) != 0;
    // Form 2 leaves its EDC out where it is zero.
    const bool form2_edc = form2 && std::any_of(sector.begin() + FORM2_EDC_AT, sector.end(),
                                                [](std::uint8_t b) { return b != 0; });
    if (blank) std::fill(sector.begin() + (mode == 2 ? USER_DATA : SUBHEADER), sector.end(), 0);
    const int type = mode == 0 ? MODE_0 : mode == 1 ? MODE_1 : form2 ? MODE_2_FORM_2 : MODE_2_FORM_1;
    if (mode > 2) return;  // no kind to rebuild: only its sync written again
    (void)do_encode_L2(sector, type, static_cast<unsigned>(at + ADDRESS_BIAS));
    if (form2 && !form2_edc) std::fill(sector.begin() + FORM2_EDC_AT, sector.end(), 0);
}

void set_volume_size(std::span<std::uint8_t, SECTOR_SIZE> raw, std::uint64_t sector, std::uint64_t size) {
    const auto field = raw.subspan<USER_DATA + descriptor_field::VOLUME_SIZE, 8>();
    store_le32(field.first<4>(), static_cast<std::uint32_t>(size));
    store_be32(field.last<4>(), static_cast<std::uint32_t>(size));
    encode_sectors(raw, sector);
}

std::string sector_table(const std::vector<const replace_plan*>& plans) {
    std::string table = "# path\told sector\told size\tnew sector\tnew size\n";
    const auto listed = std::find_if(plans.begin(), plans.end(), [](const replace_plan* p) { return !p->files.empty(); });
    if (listed == plans.end()) return table;
    char line[64];
    for (const placed_record& f : (*listed)->files) {
        const replace_plan* its = nullptr;
        for (const replace_plan* plan : plans)
            if (std::any_of(plan->records.begin(), plan->records.end(), [&](const placed_record& r) {
                    return r.record.sector == f.record.sector && r.record.position == f.record.position;
                }))
                its = plan;
        const std::uint64_t at = its && its->moved ? its->moved->new_first : f.record.extent;
        const std::uint64_t size = its ? its->new_size : f.record.data_length;
        std::snprintf(line, sizeof line, "\t%lu\t%lu\t%llu\t%llu\n", static_cast<unsigned long>(f.record.extent),
                      static_cast<unsigned long>(f.record.data_length), static_cast<unsigned long long>(at),
                      static_cast<unsigned long long>(size));
        table += f.path + f.tree + line;
    }
    return table;
}

#include "corvaner_replace.h"

#include <algorithm>
#include <optional>
#include <string>

namespace {

constexpr std::uint8_t SUBMODE_EOR = 0x01;    // end of record
constexpr std::uint8_t SUBMODE_VIDEO = 0x02;
constexpr std::uint8_t SUBMODE_AUDIO = 0x04;
constexpr std::uint8_t SUBMODE_DATA = 0x08;
constexpr std::uint8_t SUBMODE_EOF = 0x80;    // end of file
// Sectors read at a time when a file's sectors or its room are looked at.
constexpr std::size_t READ_SECTORS = 64;
// Sectors at the end of a data track that disc readers expect to stay empty.
constexpr std::uint64_t POSTGAP_SECTORS = 150;

std::uint64_t sectors_of(std::uint64_t bytes) { return (bytes + USER_DATA_SIZE - 1) / USER_DATA_SIZE; }

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

}  // namespace

std::array<std::uint8_t, 4> subheader_for(const replace_plan& plan, bool last) {
    std::array<std::uint8_t, 4> sub = plan.last_subheader;
    sub[2] = static_cast<std::uint8_t>((sub[2] & ~(SUBMODE_FORM2 | SUBMODE_AUDIO | SUBMODE_VIDEO)) | SUBMODE_DATA);
    if (!last) sub[2] &= static_cast<std::uint8_t>(~(SUBMODE_EOR | SUBMODE_EOF));
    return sub;
}

bool plan_replacement(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size,
                      replace_plan& plan) {
    const dir_record& file = found.record;
    const std::string name = printable_name(file.name);
    if (new_size > UINT32_MAX) {
        std::fprintf(run.out, "Patch of %llu bytes is larger than a file on the disc can be -- refused\n",
                     static_cast<unsigned long long>(new_size));
        return false;
    }
    const disc_map map = map_disc(fd_bin);
    plan.new_size = new_size;
    // Its records: the one found by name, and every other that names its
    // first sector and its size in any tree (a hard link, or the file as a
    // Joliet tree names it). Empty files that merely point at the same
    // sector are others.
    for (const placed_record& r : map.records)
        if ((r.record.sector == file.sector && r.record.position == file.position) ||
            (file.data_length != 0 && !r.record.is_directory && r.record.extent == file.extent &&
             r.record.data_length == file.data_length))
            plan.records.push_back(r);

    const std::uint64_t had = sectors_of(file.data_length);
    // The file's own convention, from its old last sector; a file that had
    // none takes that of a plain data file.
    plan.last_subheader = {0x00, 0x00, 0x89, 0x00};
    std::array<std::uint8_t, SECTOR_SIZE> last{};
    if (had != 0 && read_sector(fd_bin, last, file.extent + had - 1) == static_cast<long>(SECTOR_SIZE))
        std::copy_n(last.begin() + SUBHEADER, 4, plan.last_subheader.begin());

    platform::file_info image;
    const std::uint64_t image_sectors = platform::query(fd_bin, image) ? image.size / SECTOR_SIZE : 0;
    const std::uint64_t needs = sectors_of(new_size);
    if (needs <= had) return true;
    const std::uint64_t from = file.extent + had, to = file.extent + needs;
    const auto taken = first_claimed(map, plan, from, to, image_sectors);
    // Before the first claimed sector, a sector whose user data are not all
    // zero holds something no directory names.
    const auto data = find_sector(fd_bin, from, taken ? taken->first : to, [](auto sector) {
        return std::any_of(sector.begin() + USER_DATA, sector.begin() + USER_DATA_END,
                           [](std::uint8_t b) { return b != 0; });
    });
    if (!taken && !data) return true;
    std::fprintf(run.out, "Sector %llu, which '%s' needs to grow to %llu bytes, ",
                 static_cast<unsigned long long>(data ? *data : taken->first), name.c_str(),
                 static_cast<unsigned long long>(new_size));
    if (data) std::fputs("holds data outside the directory tree -- refused\n", run.out);
    else std::fprintf(run.out, "belongs to %s -- refused\n", taken->owner.c_str());
    return false;
}

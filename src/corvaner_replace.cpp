#include "corvaner_replace.h"

#include <algorithm>
#include <optional>
#include <string>

namespace {

constexpr std::uint8_t SUBMODE_EOR = 0x01;  // end of record
constexpr std::uint8_t SUBMODE_EOF = 0x80;  // end of file
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
                           [&](const placed_record& r) { return c.owner == "file '" + r.path + "'"; });
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

}  // namespace

std::array<std::uint8_t, 4> subheader_for(const replace_plan& plan, bool last) {
    std::array<std::uint8_t, 4> sub = plan.last_subheader;
    if (!last) sub[2] &= static_cast<std::uint8_t>(~(SUBMODE_EOR | SUBMODE_EOF));
    return sub;
}

bool plan_replacement(run_output& run, int fd_bin, const dir_lookup& found, std::uint64_t new_size,
                      replace_plan& plan) {
    const dir_record& file = found.record;
    if (new_size > UINT32_MAX) {
        std::fprintf(run.out, "Patch of %llu bytes is larger than a file on the disc can be -- refused\n",
                     static_cast<unsigned long long>(new_size));
        return false;
    }
    const disc_map map = map_disc(fd_bin);
    plan.new_size = new_size;
    // Its records: every one that names its first sector and its size (a hard
    // link); an empty file that merely points at the same sector is another.
    for (const placed_record& r : map.records)
        if (!r.record.is_directory && r.record.extent == file.extent &&
            r.record.data_length == file.data_length)
            plan.records.push_back(r);

    // The file's own convention, from its old last sector; a file that had
    // none takes that of a plain data file.
    plan.last_subheader = {0x00, 0x00, 0x89, 0x00};
    const std::uint64_t had = sectors_of(file.data_length);
    std::array<std::uint8_t, SECTOR_SIZE> last{};
    if (had != 0 && read_sector(fd_bin, last, file.extent + had - 1) == static_cast<long>(SECTOR_SIZE))
        std::copy_n(last.begin() + SUBHEADER, 4, plan.last_subheader.begin());

    platform::file_info image;
    const std::uint64_t image_sectors = platform::query(fd_bin, image) ? image.size / SECTOR_SIZE : 0;
    const std::uint64_t needs = sectors_of(new_size);
    if (needs <= had) return true;
    const auto taken = first_claimed(map, plan, file.extent + had, file.extent + needs, image_sectors);
    if (!taken) return true;
    std::fprintf(run.out, "Sector %llu, which '%s' needs to grow to %llu bytes, belongs to %s -- refused\n",
                 static_cast<unsigned long long>(taken->first), printable_name(file.name).c_str(),
                 static_cast<unsigned long long>(new_size), taken->owner.c_str());
    return false;
}

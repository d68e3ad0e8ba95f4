#include "format/dir_walk.h"

#include <algorithm>
#include <array>
#include <memory>

std::uint64_t directory_sectors(std::uint32_t data_length) {
    return std::max<std::uint64_t>(1, user_data_sectors(data_length));
}

dir_span dir_span::of(const dir_record& dir, std::uint64_t image_sectors) {
    dir_span d;
    d.first = dir.extent;
    d.declared = directory_sectors(dir.data_length);
    const std::uint64_t capped = std::min<std::uint64_t>(d.declared, MAX_DIRECTORY_SECTORS);
    d.past_end = d.first >= image_sectors || capped > image_sectors - d.first;
    // A first sector past the end is still tried, and its failed read shown.
    d.read = d.first < image_sectors ? std::min(capped, image_sectors - d.first) : 1;
    return d;
}

dir_walk::dir_walk(int fd, dir_visitor& visitor) : fd_(fd), visitor_(visitor) {
    platform::file_info info;
    image_sectors_ = platform::query(fd, info) ? info.size / SECTOR_SIZE : 0;
}

void dir_walk::enter(const dir_record& dir) {
    const dir_span d = dir_span::of(dir, image_sectors_);
    if (!visitor_.reached(d)) return;
    if (depth_ > MAX_DIRECTORY_DEPTH) {
        visitor_.refused(d, dir_refusal::too_deep);
        return;
    }
    if (const auto at = entered_.lower_bound(d.first); at != entered_.end() && *at < d.first + d.read) {
        visitor_.refused(d, dir_refusal::loops);
        return;
    }
    for (std::uint64_t s = d.first; s < d.first + d.read; ++s) entered_.insert(s);
    visitor_.entered(d);
    ++depth_;
    // One buffer per level, on the heap: a deep tree must not exhaust the stack.
    auto buffer = std::make_unique<std::array<std::uint8_t, SECTOR_SIZE>>();
    bool whole = true;
    for (std::uint64_t sector = d.first; sector < d.first + d.read && whole; ++sector) {
        whole = visitor_.read(fd_, d, sector, *buffer);
        if (whole) visitor_.sector(*this, sector, *buffer, walk_dir_sector(*buffer, sector));
    }
    visitor_.left(*this, d, whole);
    --depth_;
}

// Fuzz target: the byte walker of one directory sector, and the reader of
// the root's record in a volume descriptor.
//
// An input of up to 2048 bytes is the user data of an otherwise zero sector,
// a longer one a raw sector. The bytes around the user data are poisoned
// under AddressSanitizer: the walker may read nothing outside it.
#include <sanitizer/asan_interface.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "format/iso9660.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Aligned to 8 so that the poisoned ranges (0..14, 16..23 or none, past
    // the user data) start on the sanitizer's 8-byte granules where they can.
    alignas(8) static std::array<std::uint8_t, SECTOR_SIZE> sector;
    sector.fill(0);
    if (size <= USER_DATA_SIZE)
        std::copy_n(data, size, sector.begin() + USER_DATA);
    else
        std::copy_n(data, std::min(size, SECTOR_SIZE), sector.begin());

    // The mode byte says where the user data starts (16 in Mode 1, else 24).
    const std::size_t data_at = user_data_at(sector);
    const std::size_t data_end = data_at + USER_DATA_SIZE;
    ASAN_POISON_MEMORY_REGION(sector.data(), MODE_BYTE);
    ASAN_POISON_MEMORY_REGION(sector.data() + MODE_BYTE + 1, data_at - MODE_BYTE - 1);
    ASAN_POISON_MEMORY_REGION(sector.data() + data_end, SECTOR_SIZE - data_end);
    const dir_sector dir = walk_dir_sector(sector, 0);
    // The same sector read as a volume descriptor: a root it names has data.
    const std::optional<dir_record> root = volume_root(sector);
    ASAN_UNPOISON_MEMORY_REGION(sector.data(), SECTOR_SIZE);
    check(!root || (root->data_length != 0 && root->is_directory));

    // The records follow one another inside the user data, and the walk
    // ends at or before its end.
    std::size_t next = data_at;
    for (const dir_record& r : dir.records) {
        check(r.position == next);
        const std::size_t length = sector[r.position];
        check(length >= 33 + r.name.size() && r.position + length <= data_end);
        next = r.position + length;
    }
    check(dir.end_position == next && next <= data_end);
    check((dir.end == walk_end::end_of_data) == (next == data_end));

    return 0;
}

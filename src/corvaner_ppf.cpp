#include "corvaner_ppf.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "byte_order.h"
#include "corvaner_io.h"

namespace {

constexpr std::size_t DESCRIPTION = 6;        // 50 bytes
constexpr std::size_t DESCRIPTION_TEXT = 46;  // room for the -d text
constexpr std::size_t SIZE_FIELD = 56;        // image length, 4 bytes LE
constexpr std::size_t ID_BLOCK = 60;          // 1024 bytes
constexpr std::size_t ID_SECTOR = 16;         // the first volume descriptor's sector
constexpr std::size_t ID_FROM = 32;           // bytes 32..1055 of that raw sector
constexpr std::size_t ID_SIZE = 1024;
constexpr std::size_t CHUNK = 255;

// Appends `data` whole or not at all: a write that fails part-way is taken
// back, so the file never ends inside the header or inside a sector's
// chunks. errno still tells why the write failed.
bool append_whole(int fd, std::span<const std::uint8_t> data) {
    const off_t start = ::lseek(fd, 0, SEEK_CUR);
    if (write_full(fd, data) == static_cast<long long>(data.size())) return true;
    const int saved = errno;
    if (start >= 0 && ::ftruncate(fd, start) == 0) (void)::lseek(fd, start, SEEK_SET);
    errno = saved;
    return false;
}

}  // namespace

bool ppf2_header(run_state& run, int fd_ppf, int fd_bin) {
    std::fputs("\nWriting PPF20 header\n", run.out);
    std::array<std::uint8_t, PPF2_HEADER_SIZE> header{};
    std::memcpy(header.data(), "PPF20", 5);
    header[5] = 1;

    // The text fills at most 46 bytes; "Lan" and a zero always close the field.
    if (const auto& desc = run.settings.str_desc) {
        const std::size_t n = std::min({desc->size(), std::strlen(desc->c_str()), DESCRIPTION_TEXT});
        std::memcpy(header.data() + DESCRIPTION, desc->data(), n);
    }
    std::memcpy(header.data() + DESCRIPTION + 46, "Lan", 3);
    header[DESCRIPTION + 49] = 0;

    struct stat st {};
    const std::uint64_t length =
        ::fstat(fd_bin, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
    store_le32(std::span(header).subspan<SIZE_FIELD, 4>(), static_cast<std::uint32_t>(length));

    // Where sector 16 cannot be read whole, the bytes that did not arrive stay zero.
    std::array<std::uint8_t, SECTOR_SIZE> id_sector{};
    (void)read_sector(run, fd_bin, id_sector, ID_SECTOR);
    std::copy_n(id_sector.begin() + ID_FROM, ID_SIZE, header.begin() + ID_BLOCK);
    std::fputs("\n", run.out);

    if (!append_whole(fd_ppf, header)) {
        report_errno(run, "Failed top write PPF header");
        return false;
    }
    return true;
}

bool ppf2_write(run_state& run, int fd_ppf, std::span<const std::uint8_t, SECTOR_SIZE> buffer,
                std::uint64_t sector) {
    // The ten chunks go out in one write.
    std::array<std::uint8_t, PPF2_SECTOR_SIZE> chunks{};
    std::size_t at = 0;
    for (std::size_t p = 0; p < SECTOR_SIZE; p += CHUNK) {
        const std::size_t count = std::min(CHUNK, SECTOR_SIZE - p);
        const auto offset = static_cast<std::uint32_t>(sector * SECTOR_SIZE + p);
        store_le32(std::span(chunks).subspan(at).first<4>(), offset);
        chunks[at + 4] = static_cast<std::uint8_t>(count);
        std::copy_n(buffer.begin() + static_cast<std::ptrdiff_t>(p), count,
                    chunks.begin() + static_cast<std::ptrdiff_t>(at + 5));
        at += 5 + count;
    }
    if (!append_whole(fd_ppf, chunks)) {
        report_errno(run, "failed to write PPF chunk");
        return false;
    }
    return true;
}

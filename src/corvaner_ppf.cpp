#include "corvaner_ppf.h"

#include <fcntl.h>
#include <sys/file.h>
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

void ppf2_chunks(std::span<std::uint8_t, PPF2_SECTOR_SIZE> out,
                 std::span<const std::uint8_t, SECTOR_SIZE> sector_bytes, std::uint64_t sector) {
    std::size_t at = 0;
    for (std::size_t p = 0; p < SECTOR_SIZE; p += CHUNK) {
        const std::size_t count = std::min(CHUNK, SECTOR_SIZE - p);
        const auto offset = static_cast<std::uint32_t>(sector * SECTOR_SIZE + p);
        store_le32(out.subspan(at).first<4>(), offset);
        out[at + 4] = static_cast<std::uint8_t>(count);
        std::copy_n(sector_bytes.begin() + static_cast<std::ptrdiff_t>(p), count,
                    out.begin() + static_cast<std::ptrdiff_t>(at + 5));
        at += 5 + count;
    }
}

bool ppf2_write(run_state& run, int fd_ppf, std::span<const std::uint8_t> chunks) {
    if (!append_whole(fd_ppf, chunks)) {
        report_errno(run, "failed to write PPF chunk");
        return false;
    }
    return true;
}

ppf_file::~ppf_file() {
    if (!temp_.empty() && fd_.valid()) ::unlink(temp_.c_str());
}

bool ppf_file::open(run_state& run, const std::string& path,
                    const std::vector<struct stat>& inputs) {
    const char* what = "Failed to create PPF file";
    auto is_input = [&](const struct stat& st) {
        return std::any_of(inputs.begin(), inputs.end(), [&](const struct stat& in) {
            return in.st_dev == st.st_dev && in.st_ino == st.st_ino;
        });
    };
    auto refuse_input = [&] {
        std::fprintf(run.out, "PPF file '%s' is an input of this run -- refused\n", path.c_str());
        return false;
    };
    target_ = path;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && is_input(st)) return refuse_input();
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or pipe cannot be replaced by renaming: written directly.
        fd_ = unique_fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
        if (!fd_.valid()) report_errno(run, what);
        return fd_.valid();
    }
    temp_ = path + ".corvane-part";
    unique_fd fd(::open(temp_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    struct stat temp_st {};
    if (!fd.valid() || ::fstat(fd.get(), &temp_st) != 0) {
        report_errno(run, what);
        temp_.clear();
        return false;
    }
    if (is_input(temp_st)) {
        temp_.clear();
        return refuse_input();
    }
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(run.out, "PPF file '%s' is being written by another run -- refused\n",
                     path.c_str());
        temp_.clear();
        return false;
    }
    if (::ftruncate(fd.get(), 0) != 0 ||
        (exists && ::fchmod(fd.get(), st.st_mode & 07777) != 0)) {
        report_errno(run, what);
        fd_ = std::move(fd);  // so the destructor removes the temporary file
        return false;
    }
    fd_ = std::move(fd);
    return true;
}

bool ppf_file::commit(run_state& run) {
    if (!sync_file(fd_.get())) {
        report_errno(run, "Failed to sync PPF file");
        return false;
    }
    if (!temp_.empty()) {
        if (::rename(temp_.c_str(), target_.c_str()) != 0) {
            report_errno(run, "Failed to put PPF file in place");
            return false;
        }
        temp_.clear();
        // The rename itself reaches the disk with the directory.
        const auto slash = target_.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : target_.substr(0, slash + 1);
        unique_fd d(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (d.valid() && !sync_file(d.get())) {
            report_errno(run, "Failed to sync PPF file");
            return false;
        }
    }
    if (!fd_.close()) {
        report_errno(run, "Failed to close PPF file");
        return false;
    }
    return true;
}

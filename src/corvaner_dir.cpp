#include "corvaner_dir.h"

#include <array>
#include <memory>
#include <set>

#include "byte_order.h"
#include "corvaner_io.h"

namespace {

constexpr std::size_t RECORD_FIXED = 33;   // bytes before the identifier
constexpr std::size_t XA_INFO_SIZE = 14;   // CD-ROM XA system-use information
constexpr unsigned MAX_DEPTH = 64;         // far beyond any real disc's nesting

void print_column_header(std::FILE* out) {
    std::fprintf(out, "%30.30s %9.9s %6.6s%8.8s\n", "Name", "Size", "Sector", "Offset");
}

// A record is a directory when its CD-ROM XA attribute word says so; records
// written without XA information fall back on the ISO 9660 file flags.
bool record_is_directory(std::span<const std::uint8_t> record, std::size_t namelen) {
    const std::size_t su = RECORD_FIXED + namelen + (namelen % 2 == 0 ? 1 : 0);
    if (su + XA_INFO_SIZE <= record.size() && record[su + 6] == 'X' && record[su + 7] == 'A')
        return (record[su + 4] & 0x80U) != 0;
    return (record[25] & 0x02U) != 0;
}

struct walker {
    run_state& run;
    int fd_bin;
    std::set<std::uint32_t> visited;
    dir_lookup found;

    // Counts the record when it is the -n name.
    void match(const dir_record& item) {
        const auto& wanted = run.settings.file_name;
        // An empty name matches nothing, not even the directory's own record.
        if (!wanted || wanted->empty() || mystrccmp(item.name.c_str(), wanted->c_str()) != 0)
            return;
        ++found.hits;
        found.offset = std::uint64_t{item.extent} * SECTOR_SIZE;
        found.record = item;
    }

    void list(std::uint32_t sector, unsigned depth) {
        std::FILE* out = run.out;
        std::fprintf(out, "\nSector %u", sector);
        if (depth > MAX_DEPTH) {
            std::fprintf(out, " | deeper than %u directories, not entered\n", MAX_DEPTH);
            return;
        }
        if (!visited.insert(sector).second) {
            std::fputs(" | already listed: the directory tree loops here, not entered again\n",
                       out);
            return;
        }
        // One buffer per level, on the heap: a deep tree must not exhaust the stack.
        auto buffer = std::make_unique<std::array<std::uint8_t, SECTOR_SIZE>>();
        if (read_sector(run, fd_bin, *buffer, sector) < 0) return;
        std::fputs("\n", out);
        print_column_header(out);
        const dir_sector dir = walk_dir_sector(*buffer);
        for (const dir_record& record : dir.records) {
            const std::uint32_t next_sector = print_dir(run, record);
            match(record);
            if (run.settings.mode_recurse && !record.name.empty() &&
                static_cast<unsigned char>(record.name[0]) >= 2 && record.is_directory) {
                list(next_sector, depth + 1);
                std::fputs("\n", out);
                print_column_header(out);
            }
        }
        if (dir.end == walk_end::malformed)
            std::fprintf(out, "Malformed directory record at byte %zu -- rest of sector skipped\n",
                         dir.end_position - USER_DATA);
    }
};

}  // namespace

dir_sector walk_dir_sector(std::span<const std::uint8_t, SECTOR_SIZE> buffer) {
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
        const std::size_t namelen = record[32];
        if (RECORD_FIXED + namelen > size) {
            dir.end = walk_end::malformed;
            return dir;
        }
        dir_record r;
        r.position = pos;
        r.name.assign(reinterpret_cast<const char*>(record.data()) + RECORD_FIXED, namelen);
        r.extent = load_be32(record.subspan<6, 4>());
        r.data_length = load_be32(record.subspan<14, 4>());
        r.is_directory = record_is_directory(record, namelen);
        dir.records.push_back(std::move(r));
        pos += size;
    }
}

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

std::uint32_t print_dir(run_state& run, const dir_record& item) {
    const char* shown = item.name.c_str();
    if (!item.name.empty() && item.name[0] == '\0') shown = ".";
    if (!item.name.empty() && item.name[0] == '\1') shown = "..";
    const std::uint64_t offset = std::uint64_t{item.extent} * SECTOR_SIZE;
    std::fprintf(run.out, "%30.30s %9ld %5u (%08lX)\n", shown,
                 static_cast<long>(item.data_length), item.extent,
                 static_cast<unsigned long>(offset));
    return item.extent;
}

dir_lookup listdir(run_state& run, int fd_bin) {
    walker w{run, fd_bin, {}, {}};
    w.list(ROOT_DIRECTORY_SECTOR, 0);
    return w.found;
}

#include "ops/compare.h"

#include <algorithm>
#include <array>


namespace {

constexpr std::size_t HEADER_END = USER_DATA;  // sync, header and subheader
constexpr std::size_t DATA_END = USER_DATA_END;  // user data ends, EDC/ECC begins
constexpr int MAX_COMPARED_SECTORS = 33000;

bool differ(std::span<const std::uint8_t, SECTOR_SIZE> a,
            std::span<const std::uint8_t, SECTOR_SIZE> b, std::size_t from, std::size_t to) {
    return !std::equal(a.begin() + static_cast<std::ptrdiff_t>(from),
                       a.begin() + static_cast<std::ptrdiff_t>(to),
                       b.begin() + static_cast<std::ptrdiff_t>(from));
}

void print_hex_line(std::FILE* out, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) std::fprintf(out, "%02X ", b);
    std::fputs("\n", out);
}

void print_dump_row(std::FILE* out, const char* label, std::span<const std::uint8_t> row) {
    std::fputs(label, out);
    for (const std::uint8_t b : row) std::fprintf(out, "%02X", b);
    std::fputs("     : ", out);
    for (const std::uint8_t b : row) std::fputc(b >= 0x20 && b <= 0x7E ? b : '.', out);
}

}  // namespace

int compare_sector(run_output& run, std::uint64_t sector, std::span<const std::uint8_t, SECTOR_SIZE> buffer,
                   std::span<const std::uint8_t, SECTOR_SIZE> verify) {
    std::FILE* out = run.out;
    tprintf(trace_stream(run), " | COMPARE");
    // Without the trace, the report names its sector itself.
    const auto name = [&] {
        if (run.quiet) std::fprintf(out, "Sector %llu:", static_cast<unsigned long long>(sector));
    };
    if (differ(buffer, verify, 0, HEADER_END)) {
        name();
        std::fputs("\n", out);
        print_hex_line(out, buffer.first(HEADER_END));
        print_hex_line(out, verify.first(HEADER_END));
        std::fputs("\nSYNC/Header MISMATCH\n", out);
        return -1;
    }
    if (differ(buffer, verify, HEADER_END, DATA_END)) {
        name();
        for (std::size_t row = HEADER_END; row < DATA_END; row += 16) {
            print_dump_row(out, "\n.bin : ", buffer.subspan(row, 16));
            print_dump_row(out, "\npatch: ", verify.subspan(row, 16));
        }
        std::fputs("\nDATA MISMATCH - Source is wrong and/or .bin is not linear\n", out);
        return -1;
    }
    if (differ(buffer, verify, DATA_END, SECTOR_SIZE)) {
        name();
        std::fputs("\nEDC_ECC MISMATCH - (my code is broken)\n", out);
        return -1;
    }
    return 0;
}

namespace {

// A copy cut short must not pass for the same image: says so when the two
// lengths differ.
void report_lengths(run_output& run, int fd_bin, int fd_patch) {
    platform::file_info bin, second;
    if (!platform::query(fd_bin, bin) || !platform::query(fd_patch, second) || bin.size == second.size)
        return;
    std::fprintf(run.out,
                 "\nThe images differ in length: %llu bytes (%llu sectors) in the .bin file, "
                 "%llu bytes (%llu sectors) in the second",
                 static_cast<unsigned long long>(bin.size),
                 static_cast<unsigned long long>(bin.size / SECTOR_SIZE),
                 static_cast<unsigned long long>(second.size),
                 static_cast<unsigned long long>(second.size / SECTOR_SIZE));
}

}  // namespace

void checkedc(run_output& run, int fd_bin, int fd_patch) {
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    std::array<std::uint8_t, SECTOR_SIZE> verify{};
    for (int sector = 0; sector < MAX_COMPARED_SECTORS; ++sector) {
        const auto index = static_cast<std::uint64_t>(sector);
        if (read_sector_traced(run, fd_bin, buffer, index) < 0 ||
            read_sector_traced(run, fd_patch, verify, index) < 0)
            return report_lengths(run, fd_bin, fd_patch);
        tprintf(trace_stream(run), "\nSector %d:\n", sector);
        if (compare_sector(run, index, buffer, verify) != 0) {
            std::fputs("Failed\n", run.out);
            return report_lengths(run, fd_bin, fd_patch);
        }
    }
    // Stopping at the limit must not pass for the end of both images.
    const auto limit = static_cast<std::uint64_t>(MAX_COMPARED_SECTORS) * SECTOR_SIZE;
    std::array<std::uint8_t, 1> probe{};
    if (pread_full(fd_bin, probe, limit) == 1 && pread_full(fd_patch, probe, limit) == 1)
        std::fprintf(run.out, "\nCompared the first %d sectors only: both images go on past them",
                     MAX_COMPARED_SECTORS);
    report_lengths(run, fd_bin, fd_patch);
}

bool verify_run(run_output& run, int fd_bin, int fd_orig, const patch_window& window) {
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    std::array<std::uint8_t, SECTOR_SIZE> verify{};
    data_reader source(fd_orig);
    std::uint64_t remaining = window.size;
    auto remainder = static_cast<std::size_t>(window.remainder);  // inside a sector
    for (std::uint64_t sector = window.first; remaining != 0; ++sector) {
        print_index(run, sector);
        if (read_sector_traced(run, fd_bin, buffer, sector) < 0) return false;
        verify = buffer;
        const auto span = std::span(verify).subspan(USER_DATA + remainder,
                                                    USER_DATA_SIZE - remainder);
        if (read_data(run, source, span, remaining) < 0) return false;
        remainder = 0;
        do_encode_L2(verify, MODE_2_FORM_1, static_cast<unsigned>(sector + ADDRESS_BIAS));
        if (compare_sector(run, sector, buffer, verify) != 0) return false;
        tprintf(trace_stream(run), "\n");
    }
    return true;
}

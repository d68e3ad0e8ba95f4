#include "ops/form2_file.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "ops/compare.h"
#include "sector/byte_order.h"

namespace {

constexpr std::uint64_t SCAN_SECTORS = 64;  // sectors read at a time

}  // namespace

xa_file_facts scan_xa_file(int fd_bin, const dir_record& record) {
    xa_file_facts facts;
    facts.sectors = file_sectors(record);
    bool form1 = false, form2 = false, edc = false;
    std::vector<std::uint8_t> chunk(SCAN_SECTORS * SECTOR_SIZE);
    for (std::uint64_t done = 0; done < facts.sectors;) {
        const auto n = std::min(SCAN_SECTORS, facts.sectors - done);
        const auto bytes = std::span(chunk).first(static_cast<std::size_t>(n) * SECTOR_SIZE);
        if (pread_full(fd_bin, bytes, (record.extent + done) * SECTOR_SIZE) != bytes.size()) return {};
        for (std::size_t i = 0; i < n; ++i) {
            const auto sector = bytes.subspan(i * SECTOR_SIZE).first<SECTOR_SIZE>();
            const bool is_form2 = form_of(sector) == sector_form::form2;
            (is_form2 ? form2 : form1) = true;
            if (is_form2 && load_le32(sector.subspan<FORM2_EDC_AT, 4>()) != 0) edc = true;
        }
        done += n;
    }
    facts.kind = file_kind_of(form1, form2);
    facts.zero_edc = form2 && !edc;
    return facts;
}

input_verdict read_xa_input(int fd, std::uint64_t size, bool raw2336, xa_input& in) {
    if (raw2336) {
        if (size % RAW2336_SIZE != 0) return input_verdict::partial;
        in = {xa_source::raw2336, size / RAW2336_SIZE, 0, RAW2336_SIZE};
        return input_verdict::ok;
    }
    std::array<std::uint8_t, CDXA_HEADER_SIZE> head{};
    if (size < head.size() || pread_full(fd, head, 0) != head.size()) return input_verdict::plain;
    if (const auto info = read_cdxa_header(head, size)) {
        in = {xa_source::cdxa, info->sectors, CDXA_HEADER_SIZE, SECTOR_SIZE};
        return input_verdict::ok;
    }
    if (std::memcmp(head.data(), "RIFF", 4) != 0 || std::memcmp(head.data() + 8, "CDXA", 4) != 0)
        return input_verdict::plain;
    return (size - CDXA_HEADER_SIZE) % SECTOR_SIZE != 0 ? input_verdict::partial : input_verdict::damaged;
}

bool input_subheader_agrees(std::span<const std::uint8_t> piece) {
    const auto sub = piece.last<RAW2336_SIZE>();
    return std::equal(sub.begin(), sub.begin() + SUBHEADER_COPY, sub.begin() + SUBHEADER_COPY);
}

sector_form lay_xa_sector(std::span<const std::uint8_t> piece, std::span<std::uint8_t, SECTOR_SIZE> sector,
                          std::uint64_t index, bool zero_edc) {
    place_raw2336(piece.last<RAW2336_SIZE>(), sector);
    const sector_form form = form_of(sector);
    const auto address = static_cast<unsigned>(index + ADDRESS_BIAS);
    do_encode_L2(sector, form == sector_form::form2 ? MODE_2_FORM_2 : MODE_2_FORM_1, address);
    if (form == sector_form::form2 && zero_edc) store_le32(sector.subspan<FORM2_EDC_AT, 4>(), 0);
    return form;
}

bool verify_xa_run(run_output& run, int fd_bin, int fd_orig, std::uint64_t first, const xa_input& orig,
                   bool zero_edc) {
    std::array<std::uint8_t, SECTOR_SIZE> buffer{};
    std::array<std::uint8_t, SECTOR_SIZE> verify{};
    const auto piece = std::span(verify).first(orig.piece);  // read here, then laid in place
    for (std::uint64_t i = 0; i < orig.sectors; ++i) {
        print_index(run, first + i);
        if (read_sector_traced(run, fd_bin, buffer, first + i) < 0) return false;
        if (pread_full(fd_orig, piece, orig.offset_of(i)) != piece.size()) {
            report_short_data(run, piece.size());
            return false;
        }
        std::string step;
        append_read_patch(step, piece.size());
        std::array<std::uint8_t, SECTOR_SIZE> laid{};
        const bool form2 = lay_xa_sector(piece, laid, first + i, zero_edc) == sector_form::form2;
        step += form2 ? " | FORM2" : " | FORM1";
        print_trace(run, step);
        if (compare_sector(run, first + i, buffer, laid) != 0) return false;
        tprintf(trace_stream(run), "%s", "\n");
    }
    return true;
}

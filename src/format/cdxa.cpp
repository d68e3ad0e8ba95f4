#include "format/cdxa.h"

#include <algorithm>
#include <cstring>

#include "format/iso9660.h"
#include "sector/byte_order.h"
#include "sector/edc_ecc.h"

namespace {

constexpr std::size_t FMT_SIZE = 16;                // the "fmt " chunk's body
constexpr std::size_t RIFF_FOLLOWS = CDXA_HEADER_SIZE - 8;  // header bytes after "RIFF" and its size
constexpr std::size_t RECORD_FIXED = record_field::NAME;  // directory record bytes before the identifier

bool tag_at(std::span<const std::uint8_t> bytes, std::size_t at, const char* tag) {
    return std::memcmp(bytes.data() + at, tag, 4) == 0;
}

void put_tag(std::span<std::uint8_t> bytes, std::size_t at, const char* tag) {
    std::memcpy(bytes.data() + at, tag, 4);
}

}  // namespace

const file_kind_names& names_of(file_kind kind) {
    static constexpr file_kind_names names[] = {
        {"Form 1", "a Form 1 file", "Form 1 sectors"},
        {"Form 2", "a Form 2 file", "Form 2 sectors"},
        {"mixed", "an interleaved file", "Form 1 and Form 2 sectors"},
    };
    return names[static_cast<std::size_t>(kind)];
}

namespace {

bool is_mode1(std::span<const std::uint8_t, SECTOR_SIZE> sector) { return user_data_at(sector) == MODE1_USER_DATA; }

}  // namespace

sector_form form_of(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    if (is_mode1(sector)) return sector_form::form1;
    return (sector[SUBMODE_BYTE] & SUBMODE_FORM2) != 0 ? sector_form::form2 : sector_form::form1;
}

bool subheader_copies_agree(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    return is_mode1(sector) || std::memcmp(sector.data() + SUBHEADER, sector.data() + SUBHEADER + SUBHEADER_COPY, SUBHEADER_COPY) == 0;
}

bool edc_matches(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    if (is_mode1(sector))
        return build_edc(sector, 0, static_cast<int>(MODE1_EDC_AT) - 1) ==
               load_le32(sector.subspan<MODE1_EDC_AT, EDC_SIZE>());
    const bool form2 = form_of(sector) == sector_form::form2;
    const std::size_t at = form2 ? FORM2_EDC_AT : EDC_AT;
    const std::uint32_t stored = load_le32(sector.subspan(at).first<4>());
    if (form2 && stored == 0) return true;
    return build_edc(sector, static_cast<int>(SUBHEADER), static_cast<int>(at) - 1) == stored;
}

std::optional<xa_field> xa_field_of(std::span<const std::uint8_t> record) {
    if (record.size() <= record_field::NAME_LENGTH) return std::nullopt;
    const std::size_t namelen = record[record_field::NAME_LENGTH];
    const std::size_t at = RECORD_FIXED + namelen + (namelen % 2 == 0 ? 1 : 0);
    if (at + XA_FIELD_SIZE > record.size() || record[at + 6] != 'X' || record[at + 7] != 'A')
        return std::nullopt;
    xa_field field{};
    std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(at), XA_FIELD_SIZE, field.begin());
    return field;
}

std::optional<std::array<std::uint8_t, CDXA_HEADER_SIZE>> cdxa_header(const xa_field& field,
                                                                      std::uint64_t sectors) {
    const std::uint64_t data = sectors * SECTOR_SIZE;
    if (sectors > UINT32_MAX / SECTOR_SIZE || data + RIFF_FOLLOWS > UINT32_MAX) return std::nullopt;
    std::array<std::uint8_t, CDXA_HEADER_SIZE> h{};
    const std::span<std::uint8_t, CDXA_HEADER_SIZE> b(h);
    put_tag(b, 0, "RIFF");
    store_le32(b.subspan<4, 4>(), static_cast<std::uint32_t>(data + RIFF_FOLLOWS));
    put_tag(b, 8, "CDXA");
    put_tag(b, 12, "fmt ");
    store_le32(b.subspan<16, 4>(), FMT_SIZE);
    std::copy(field.begin(), field.end(), h.begin() + 20);  // then two zero bytes
    put_tag(b, 36, "data");
    store_le32(b.subspan<40, 4>(), static_cast<std::uint32_t>(data));
    return h;
}

std::optional<cdxa_info> read_cdxa_header(std::span<const std::uint8_t> head, std::uint64_t file_size) {
    if (head.size() < CDXA_HEADER_SIZE || file_size < CDXA_HEADER_SIZE) return std::nullopt;
    const auto b = head.first<CDXA_HEADER_SIZE>();
    if (!tag_at(b, 0, "RIFF") || !tag_at(b, 8, "CDXA") || !tag_at(b, 12, "fmt ") || !tag_at(b, 36, "data") ||
        load_le32(b.subspan<16, 4>()) != FMT_SIZE)
        return std::nullopt;
    const std::uint64_t data = load_le32(b.subspan<40, 4>());
    if (load_le32(b.subspan<4, 4>()) != data + RIFF_FOLLOWS || data % SECTOR_SIZE != 0 ||
        data != file_size - CDXA_HEADER_SIZE)
        return std::nullopt;
    cdxa_info info;
    std::copy_n(b.begin() + 20, XA_FIELD_SIZE, info.field.begin());
    info.sectors = data / SECTOR_SIZE;
    return info;
}

std::span<const std::uint8_t, RAW2336_SIZE> raw2336_of(std::span<const std::uint8_t, SECTOR_SIZE> sector) {
    return sector.subspan<SUBHEADER, RAW2336_SIZE>();
}

void place_raw2336(std::span<const std::uint8_t, RAW2336_SIZE> piece,
                   std::span<std::uint8_t, SECTOR_SIZE> sector) {
    std::copy(piece.begin(), piece.end(), sector.begin() + SUBHEADER);
}

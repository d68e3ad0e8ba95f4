#include "format/vcdiff_writer.h"

#include <algorithm>
#include <string>

#include "format/checksum.h"
#include "format/vcdiff_layout.h"
#include "format/vcdiff_reader.h"
#include "sector/byte_order.h"

namespace {

// The opcodes of the lone ADD of each size, and of the lone COPY of each
// mode and size, in the standard table (0 where it has none).
constexpr auto ADD_OPCODES = [] {
    std::array<std::uint8_t, VCD_ADD_MAX + 1> a{};
    for (std::uint8_t size = 0; size <= VCD_ADD_MAX; ++size) a[size] = vcdiff_opcode(VCD_ADD, size, 0);
    return a;
}();
constexpr auto COPY_OPCODES = [] {
    std::array<std::array<std::uint8_t, VCD_COPY_MAX + 1>, VCD_MODES> a{};
    for (std::uint8_t mode = 0; mode < VCD_MODES; ++mode)
        for (std::uint8_t size = 0; size <= VCD_COPY_MAX; ++size) a[mode][size] = vcdiff_opcode(VCD_COPY, size, mode);
    return a;
}();
constexpr std::size_t NEAR = VCD_NEAR, SAME = VCD_SAME * 256;

std::size_t varint_size(std::uint64_t value) {
    std::size_t n = 1;
    while (value >= 128) {
        value >>= 7;
        ++n;
    }
    return n;
}

}  // namespace

void put_varint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    std::array<std::uint8_t, 10> digits{};
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<std::uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1) out.push_back(static_cast<std::uint8_t>(digits[--n] | 0x80));
    out.push_back(digits[0]);
}

vcdiff_writer::vcdiff_writer(std::uint64_t source_size, std::uint32_t source_crc) {
    out_.assign(VCDIFF_MAGIC.begin(), VCDIFF_MAGIC.end());
    out_.push_back(VCD_APPHEADER);
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", static_cast<unsigned>(source_crc));
    const std::string app = "corvane:source-size=" + std::to_string(source_size) + ":source-crc32=" + crc;
    put_varint(out_, app.size());
    out_.insert(out_.end(), app.begin(), app.end());
}

void vcdiff_writer::checksum(std::span<const std::uint8_t> bytes) { adler_ = adler32(bytes, adler_); }

void vcdiff_writer::add(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), room()));
        if (window_.empty() || window_.back().is_copy)
            window_.push_back({false, 0, data_.size()});
        window_.back().size += n;
        data_.insert(data_.end(), bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
        checksum(bytes.first(n));
        added_ += n;
        target_ += n;
        bytes = bytes.subspan(n);
        if (room() == 0) flush_window();
    }
}

void vcdiff_writer::copy(std::uint64_t at, std::span<const std::uint8_t> bytes) { copy_from(at, bytes, false); }

void vcdiff_writer::copy_target(std::uint64_t at, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        if (at < window_at_) {
            // Bytes of an earlier window, out of this one's reach.
            const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), window_at_ - at));
            add(bytes.first(n));
            at += n;
            bytes = bytes.subspan(n);
            continue;
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), room()));
        copy_from(at, bytes.first(n), true);
        at += n;
        bytes = bytes.subspan(n);
    }
}

void vcdiff_writer::copy_from(std::uint64_t at, std::span<const std::uint8_t> bytes, bool from_target) {
    while (!bytes.empty()) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), room()));
        if (!window_.empty() && window_.back().is_copy && window_.back().from_target == from_target &&
            window_.back().at + window_.back().size == at)
            window_.back().size += n;
        else
            window_.push_back({true, n, at, from_target});
        checksum(bytes.first(n));
        copied_ += n;
        target_ += n;
        at += n;
        bytes = bytes.subspan(n);
        if (room() == 0) flush_window();
    }
}

void vcdiff_writer::finish() { flush_window(); }

void vcdiff_writer::flush_window() {
    if (target_ == 0) return;
    std::uint64_t low = UINT64_MAX, high = 0;
    for (const instruction& i : window_)
        if (i.is_copy && !i.from_target) {
            low = std::min(low, i.at);
            high = std::max(high, i.at + i.size);
        }
    const bool source = low != UINT64_MAX;
    const std::uint64_t segment = source ? high - low : 0;

    std::vector<std::uint8_t> codes, addresses;
    std::array<std::uint64_t, NEAR> near{};
    std::array<std::uint64_t, SAME> same{};
    std::size_t next_near = 0;
    std::uint64_t here = segment;  // where the next target byte lands in the window's address space
    for (const instruction& i : window_) {
        if (!i.is_copy) {
            ++adds_;
            codes.push_back(ADD_OPCODES[i.size <= VCD_ADD_MAX ? static_cast<std::size_t>(i.size) : 0]);
            if (i.size > VCD_ADD_MAX) put_varint(codes, i.size);
            here += i.size;
            continue;
        }
        ++copies_;
        // The window's address space: its source segment, then its target.
        const std::uint64_t address = i.from_target ? segment + (i.at - window_at_) : i.at - low;
        std::uint8_t mode = VCD_SELF;
        std::uint64_t value = address;
        const std::size_t slot = static_cast<std::size_t>(address % SAME);
        if (same[slot] == address) {
            mode = static_cast<std::uint8_t>(VCD_FIRST_SAME + slot / 256);
        } else {
            if (varint_size(here - address) < varint_size(value)) {
                mode = VCD_HERE;
                value = here - address;
            }
            for (std::size_t k = 0; k < NEAR; ++k)
                if (address >= near[k] && varint_size(address - near[k]) < varint_size(value)) {
                    mode = static_cast<std::uint8_t>(VCD_FIRST_NEAR + k);
                    value = address - near[k];
                }
        }
        const bool in_opcode = i.size >= VCD_COPY_MIN && i.size <= VCD_COPY_MAX;
        codes.push_back(COPY_OPCODES[mode][in_opcode ? static_cast<std::size_t>(i.size) : 0]);
        if (!in_opcode) put_varint(codes, i.size);
        if (mode >= VCD_FIRST_SAME)
            addresses.push_back(static_cast<std::uint8_t>(slot % 256));
        else
            put_varint(addresses, value);
        near[next_near] = address;
        next_near = (next_near + 1) % NEAR;
        same[slot] = address;
        here += i.size;
    }

    std::vector<std::uint8_t> delta;
    put_varint(delta, target_);
    delta.push_back(0);  // no section compressed
    put_varint(delta, data_.size());
    put_varint(delta, codes.size());
    put_varint(delta, addresses.size());
    std::array<std::uint8_t, 4> adler{};
    store_be32(adler, adler_);
    delta.insert(delta.end(), adler.begin(), adler.end());
    delta.insert(delta.end(), data_.begin(), data_.end());
    delta.insert(delta.end(), codes.begin(), codes.end());
    delta.insert(delta.end(), addresses.begin(), addresses.end());

    out_.push_back(static_cast<std::uint8_t>((source ? VCD_SOURCE : 0) | VCD_ADLER32));
    if (source) {
        put_varint(out_, segment);
        put_varint(out_, low);
    }
    put_varint(out_, delta.size());
    out_.insert(out_.end(), delta.begin(), delta.end());

    ++windows_;
    window_.clear();
    data_.clear();
    window_at_ += target_;
    target_ = 0;
    adler_ = 1;
}

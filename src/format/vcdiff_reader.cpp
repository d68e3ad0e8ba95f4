#include "format/vcdiff_reader.h"

#include <algorithm>
#include <cerrno>
#include <optional>

#include "format/checksum.h"
#include "io/sector_io.h"
#include "sector/byte_order.h"

namespace {

using instruction = vcdiff_instruction;

// Reads bytes and integers (7 bits a byte, the high bit set on every byte
// but the last) off a span; any read past its end sets `short_`.
class cursor {
public:
    explicit cursor(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::optional<std::uint8_t> byte() {
        if (at_ >= bytes_.size()) return std::nullopt;
        return bytes_[at_++];
    }
    // An integer of at most 64 bits, or nothing when it runs past the end
    // or past 64 bits.
    std::optional<std::uint64_t> integer() {
        std::uint64_t v = 0;
        for (int n = 0; n < 10; ++n) {
            const auto b = byte();
            if (!b || (v >> 57) != 0) return std::nullopt;
            v = (v << 7) | (*b & 0x7FU);
            if ((*b & 0x80U) == 0) return v;
        }
        return std::nullopt;
    }
    std::optional<std::span<const std::uint8_t>> take(std::uint64_t n) {
        if (n > bytes_.size() - at_) return std::nullopt;
        const auto s = bytes_.subspan(at_, static_cast<std::size_t>(n));
        at_ += static_cast<std::size_t>(n);
        return s;
    }
    std::size_t used() const { return at_; }
    bool empty() const { return at_ == bytes_.size(); }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t at_ = 0;
};

// The address cache of RFC 3284 section 5.1.
class address_cache {
public:
    // The address of a COPY in `mode`, its operand read from `in`; `here` is
    // the position of the COPY in the source segment followed by the target.
    std::optional<std::uint64_t> decode(cursor& in, std::uint8_t mode, std::uint64_t here) {
        std::optional<std::uint64_t> addr;
        if (mode == VCD_SELF) {
            addr = in.integer();
        } else if (mode == VCD_HERE) {
            const auto back = in.integer();
            if (back && *back <= here) addr = here - *back;
        } else if (mode < VCD_FIRST_SAME) {
            const auto off = in.integer();
            if (off) addr = near_[mode - VCD_FIRST_NEAR] + *off;
        } else {
            const auto b = in.byte();
            if (b) addr = same_[(mode - VCD_FIRST_SAME) * 256U + *b];
        }
        if (!addr) return std::nullopt;
        near_[next_] = *addr;
        next_ = (next_ + 1) % VCD_NEAR;
        same_[*addr % same_.size()] = *addr;
        return addr;
    }

private:
    std::array<std::uint64_t, VCD_NEAR> near_{};
    std::array<std::uint64_t, VCD_SAME * 256> same_{};
    unsigned next_ = 0;
};

const char* compressor_name(std::uint8_t id) {
    switch (id) {
        case 1: return "DJW";
        case 2: return "LZMA";
        case 16: return "FGK";
        default: return "an unknown compressor";
    }
}

}  // namespace

std::optional<vcdiff_source> source_named(std::span<const std::uint8_t> application_header) {
    const std::string text(application_header.begin(), application_header.end());
    unsigned long long size = 0;
    unsigned crc = 0;
    int used = 0;
    if (std::sscanf(text.c_str(), "corvane:source-size=%llu:source-crc32=%8x%n", &size, &crc, &used) != 2 ||
        static_cast<std::size_t>(used) != text.size())
        return std::nullopt;
    return vcdiff_source{size, crc};
}

std::string vcdiff_reader::read_at(std::uint64_t at, std::span<std::uint8_t> out) {
    errno = 0;
    if (pread_full(fd_, out, at) == out.size()) return {};
    read_failed_ = errno != 0;
    return "ends inside its data";
}

std::string vcdiff_reader::open(int fd, std::uint64_t size) {
    fd_ = fd;
    size_ = size;
    std::array<std::uint8_t, 4 + 1 + 1 + 10> head{};
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), size));
    if (pread_full(fd, std::span(head).first(want), 0) < want) {
        read_failed_ = true;
        return "cannot be read";
    }
    if (size < 5 || !std::equal(VCDIFF_MAGIC.begin(), VCDIFF_MAGIC.end(), head.begin()))
        return "is not a VCDIFF file of version 0";
    cursor in{std::span<const std::uint8_t>(head).first(static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), size)))};
    (void)in.take(4);
    const std::uint8_t indicator = *in.byte();
    if ((indicator & ~(VCD_DECOMPRESS | VCD_CODETABLE | VCD_APPHEADER)) != 0)
        return "has header bits no VCDIFF file sets";
    if (indicator & VCD_DECOMPRESS) {
        const auto id = in.byte();
        if (!id) return "ends inside its header";
        compressor_ = static_cast<vcdiff_compressor>(*id);
        if (*id != 0 && *id != 1 && *id != 2 && *id != 16)
            return "names a secondary compressor no decoder knows (id " + std::to_string(*id) + ")";
    }
    if (indicator & VCD_CODETABLE) return "brings a code table of its own, which this tool does not read";
    at_ = in.used();
    if (indicator & VCD_APPHEADER) {
        const auto length = in.integer();
        if (!length || *length > size - in.used() || *length > VCDIFF_MAX_SECTION) return "ends inside its header";
        application_.resize(static_cast<std::size_t>(*length));
        if (auto why = read_at(in.used(), application_); !why.empty()) return why;
        at_ = in.used() + *length;
    }
    return {};
}

std::string vcdiff_reader::next(const vcdiff_input& source, std::uint64_t source_size, const vcdiff_input& target,
                                vcdiff_window& w) {
    w.index = windows_++;
    w.target_at = target_size_;
    w.checked = false;
    const std::string where = "window " + std::to_string(w.index) + " ";
    // The window's header: at most 1 + 9 integers of 10 bytes + 1 + 4.
    std::array<std::uint8_t, 96> head{};
    const auto head_size = static_cast<std::size_t>(std::min<std::uint64_t>(head.size(), size_ - at_));
    if (auto why = read_at(at_, std::span(head).first(head_size)); !why.empty()) return where + why;
    cursor in{std::span<const std::uint8_t>(head).first(head_size)};
    const std::uint8_t indicator = *in.byte();
    if ((indicator & ~(VCD_SOURCE | VCD_TARGET | VCD_ADLER32)) != 0 ||
        (indicator & (VCD_SOURCE | VCD_TARGET)) == (VCD_SOURCE | VCD_TARGET))
        return where + "has indicator bits no VCDIFF file sets";
    std::uint64_t segment_size = 0, segment_at = 0;
    if (indicator & (VCD_SOURCE | VCD_TARGET)) {
        const auto n = in.integer(), p = in.integer();
        if (!n || !p) return where + "ends inside its header";
        segment_size = *n;
        segment_at = *p;
        const std::uint64_t limit = indicator & VCD_SOURCE ? source_size : target_size_;
        if (segment_at > limit || segment_size > limit - segment_at)
            return where + (indicator & VCD_SOURCE ? "copies from past the end of the source"
                                                   : "copies from target bytes not yet decoded");
    }
    const auto delta_length = in.integer();
    if (!delta_length) return where + "ends inside its header";
    const std::uint64_t delta_at = at_ + in.used();
    if (*delta_length > size_ - delta_at) return where + "ends past the end of the file";
    const auto target_size = in.integer();
    const auto delta_indicator = in.byte();
    const auto data_size = in.integer(), inst_size = in.integer(), addr_size = in.integer();
    if (!target_size || !delta_indicator || !data_size || !inst_size || !addr_size)
        return where + "ends inside its header";
    if (*target_size > VCDIFF_MAX_WINDOW)
        return where + "is larger than the " + std::to_string(VCDIFF_MAX_WINDOW >> 20) + " MiB a window may hold";
    if ((*delta_indicator & (VCD_DATACOMP | VCD_INSTCOMP | VCD_ADDRCOMP)) != *delta_indicator)
        return where + "has indicator bits no VCDIFF file sets";
    if (*delta_indicator != 0 && compressor_ == vcdiff_compressor::none)
        return where + "has compressed sections but the file names no compressor";
    std::optional<std::uint32_t> checksum;
    if (indicator & VCD_ADLER32) {
        const auto sum = in.take(4);
        if (!sum) return where + "ends inside its header";
        checksum = load_be32(sum->first<4>());
    }
    const std::uint64_t sections_at = at_ + in.used();
    const std::uint64_t sections = *data_size + *inst_size + *addr_size;
    if (*data_size > VCDIFF_MAX_SECTION || *inst_size > VCDIFF_MAX_SECTION || *addr_size > VCDIFF_MAX_SECTION ||
        sections_at - delta_at > *delta_length || sections != *delta_length - (sections_at - delta_at))
        return where + "has section lengths that do not add up to its length";
    delta_.resize(static_cast<std::size_t>(sections));
    if (auto why = read_at(sections_at, delta_); !why.empty()) return where + why;

    const std::span<const std::uint8_t> all(delta_);
    std::array<std::span<const std::uint8_t>, 3> section = {
        all.first(static_cast<std::size_t>(*data_size)),
        all.subspan(static_cast<std::size_t>(*data_size), static_cast<std::size_t>(*inst_size)),
        all.subspan(static_cast<std::size_t>(*data_size + *inst_size))};
    // A compressed section: its length decompressed, then the compressor's bytes.
    for (std::size_t k = 0; k < section.size(); ++k) {
        if ((*delta_indicator & (1U << k)) == 0) continue;
        static constexpr const char* NAMES[] = {"data", "instructions", "addresses"};
        if (!secondary_[k]) secondary_[k] = make_secondary(compressor_);
        if (!secondary_[k])
            return where + "is compressed with " + compressor_name(static_cast<std::uint8_t>(compressor_)) +
                   ", which this build of corvane does not decode";
        cursor packed(section[k]);
        const auto length = packed.integer();
        if (!length || *length == 0 || *length > VCDIFF_MAX_SECTION)
            return where + "has a compressed " + NAMES[k] + " section of no sound length";
        decoded_[k].resize(static_cast<std::size_t>(*length));
        if (!secondary_[k]->decode(section[k].subspan(packed.used()), decoded_[k]))
            return where + "has a compressed " + NAMES[k] + " section that does not decompress";
        section[k] = decoded_[k];
    }
    cursor data(section[0]);
    cursor inst(section[1]);
    cursor addr(section[2]);
    // The target at its full length from the start (a vector that held a
    // window as large keeps its bytes: nothing to clear), filled up to `made`.
    std::vector<std::uint8_t>& out = w.target;
    out.resize(static_cast<std::size_t>(*target_size));
    std::size_t made = 0;
    address_cache cache;
    const vcdiff_input& segment = indicator & VCD_SOURCE ? source : target;
    while (!inst.empty()) {
        const auto index = inst.byte();
        for (const instruction& op : VCDIFF_CODE_TABLE[*index]) {
            if (op.type == VCD_NOOP) continue;
            std::uint64_t size = op.size;
            if (size == 0) {
                const auto n = inst.integer();
                if (!n) return where + "ends inside its instructions";
                size = *n;
            }
            if (size > *target_size - made) return where + "decodes past its target's length";
            const auto n = static_cast<std::size_t>(size);
            const auto to = out.begin() + static_cast<std::ptrdiff_t>(made);
            if (op.type == VCD_ADD) {
                const auto bytes = data.take(size);
                if (!bytes) return where + "adds more bytes than its data section holds";
                std::copy(bytes->begin(), bytes->end(), to);
            } else if (op.type == VCD_RUN) {
                const auto b = data.byte();
                if (!b) return where + "runs past its data section";
                std::fill_n(to, n, *b);
            } else {
                const std::uint64_t here = segment_size + made;
                const auto a = cache.decode(addr, op.mode, here);
                if (!a || *a >= here) return where + "copies from an address it has not reached";
                std::uint64_t from = *a;
                std::size_t left = n, at = made;
                if (from < segment_size) {  // from the source segment first
                    const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(left, segment_size - from));
                    if (!segment(segment_at + from, std::span(out).subspan(at, k))) {
                        read_failed_ = true;
                        return where + "could not read the bytes it copies";
                    }
                    left -= k;
                    at += k;
                    from += k;
                }
                // Then from this window's target: a copy may overlap the
                // bytes it makes, which then repeat.
                auto src = out.begin() + static_cast<std::ptrdiff_t>(from - segment_size);
                const auto dst = out.begin() + static_cast<std::ptrdiff_t>(at);
                if (src + static_cast<std::ptrdiff_t>(left) <= dst)
                    std::copy_n(src, left, dst);
                else
                    for (std::size_t k = 0; k < left; ++k) dst[static_cast<std::ptrdiff_t>(k)] = src[static_cast<std::ptrdiff_t>(k)];
            }
            made += n;
        }
    }
    if (made != out.size() || !data.empty() || !addr.empty())
        return where + "does not decode to its target's length";
    if (checksum) {
        const std::uint32_t got = adler32(out);
        if (got != *checksum) {
            char text[112];
            std::snprintf(text, sizeof text, "gives a target whose checksum does not match (Adler-32 %08X expected, %08X decoded)",
                          *checksum, got);
            return where + text;
        }
        w.checked = true;
    }
    at_ = delta_at + *delta_length;
    target_size_ += out.size();
    return {};
}

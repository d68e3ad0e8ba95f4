// DJW sections: a Huffman coder with up to eight code tables. The output is
// cut into sectors of one size, each coded with the table a selector names;
// the tables' code lengths and the selectors are themselves Huffman coded
// after move-to-front and run-length coding.
//
// Layout of a section, as bit fields:
//   3 bits   tables - 1
//   5 bits   sector size / 5 - 1            (only when there are 2 or more tables)
//   4 bits   how many code-length lengths follow, less 7
//   4 bits   each of them: the code-length code's lengths of its first symbols
//   ...      the tables' 256 code lengths each, through that code
//   3 bits   each: the selector code's lengths of its tables + 1 symbols  (2+ tables)
//   ...      one selector a sector, through that code                     (2+ tables)
//   ...      the output bytes, each sector through its table's code
// Bits are taken from each byte lowest first. A field of n bits comes highest
// bit first; a Huffman code comes first bit first and is canonical (shorter
// codes first, codes of one length in the order of their symbols). The
// section's last byte may hold unused bits; no byte may follow it.
#include "format/vcdiff_djw.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

namespace {

constexpr unsigned MAX_TABLES = 8;
constexpr unsigned ALPHABET = 256;
constexpr unsigned MAX_LENGTH = 20;      // of a byte's code
constexpr unsigned SECTOR_UNIT = 5;      // sector sizes are multiples of it
constexpr unsigned FIXED_LENGTHS = 7;    // code-length lengths always given
constexpr unsigned LENGTH_SYMBOLS = 22;  // the code-length code's symbols
// Symbols of the move-to-front codes: two that count a run of the front
// value (1-2 coding: RUN_0 adds 1 << k, RUN_1 adds 2 << k, k counting the
// run symbols in a row), then position 1, 2, ... of the list moved to front.
constexpr unsigned RUN_0 = 0, RUN_1 = 1;

// The code lengths' move-to-front list as it starts: 0, then the lengths
// most often seen.
constexpr auto LENGTH_ORDER =
    std::to_array<std::uint8_t>({0, 4, 5, 6, 7, 8, 9, 10, 3, 11, 2, 12, 13, 1, 14, 15, 16, 17, 18, 19, 20});
constexpr bool holds_every_length() {
    std::array<bool, MAX_LENGTH + 1> seen{};
    for (const std::uint8_t l : LENGTH_ORDER) seen[l] = true;
    return std::all_of(seen.begin(), seen.end(), [](bool b) { return b; });
}
static_assert(LENGTH_ORDER.size() == LENGTH_SYMBOLS - 1 && holds_every_length());

class bit_reader {
public:
    explicit bit_reader(std::span<const std::uint8_t> in) : in_(in) {}

    std::optional<unsigned> bit() {
        if (mask_ == 0x100) {
            if (at_ == in_.size()) return std::nullopt;
            byte_ = in_[at_++];
            mask_ = 1;
        }
        const unsigned b = (byte_ & mask_) != 0 ? 1 : 0;
        mask_ <<= 1;
        return b;
    }

    // A field of `n` bits, highest first.
    std::optional<unsigned> field(unsigned n) {
        unsigned v = 0;
        for (unsigned i = 0; i < n; ++i) {
            const auto b = bit();
            if (!b) return std::nullopt;
            v = (v << 1) | *b;
        }
        return v;
    }

    bool all_read() const { return at_ == in_.size(); }

private:
    std::span<const std::uint8_t> in_;
    std::size_t at_ = 0;
    unsigned byte_ = 0, mask_ = 0x100;
};

// A canonical prefix code over symbols 0 .. n-1 (n <= 256) from their code
// lengths, 0 for a symbol with no code. Lengths that over- or under-fill the
// code are taken as they come: a code no symbol has fails to decode. No
// length can exceed MAX_LENGTH: they come from fields of 4 bits or less, or
// from LENGTH_ORDER.
class prefix_code {
public:
    void build(std::span<const std::uint8_t> lengths) {
        count_.fill(0);
        for (const std::uint8_t l : lengths) ++count_[l];
        count_[0] = 0;
        std::array<unsigned, MAX_LENGTH + 1> next{};
        for (unsigned l = 1; l < MAX_LENGTH; ++l) next[l + 1] = next[l] + count_[l];
        for (std::size_t s = 0; s < lengths.size(); ++s)
            if (lengths[s] != 0) symbols_[next[lengths[s]]++] = static_cast<std::uint8_t>(s);
    }

    std::optional<unsigned> decode(bit_reader& in) const {
        // `code` is never below `first`, the first code of its length.
        unsigned code = 0, first = 0, index = 0;
        for (unsigned l = 1; l <= MAX_LENGTH; ++l) {
            const auto b = in.bit();
            if (!b) return std::nullopt;
            code |= *b;
            if (code - first < count_[l]) return symbols_[index + (code - first)];
            index += count_[l];
            first = (first + count_[l]) << 1;
            code <<= 1;
        }
        return std::nullopt;
    }

private:
    std::array<unsigned, MAX_LENGTH + 1> count_{};  // codes of each length
    std::array<std::uint8_t, ALPHABET> symbols_{};  // by length, then by symbol
};

// Fills `out` with values coded by `code` through the move-to-front list
// `order`; the code's symbols run to order.size() + 1, so every position they
// name is in the list. With `skip` nonzero, out[n] is 0 without reading whenever
// out[n - skip] is 0 (a table has no code where the table before has none).
bool decode_moved(bit_reader& in, const prefix_code& code, std::span<std::uint8_t> order,
                  std::span<std::uint8_t> out, std::size_t skip) {
    std::uint64_t repeat = 0;
    unsigned run_symbols = 0;
    for (std::size_t n = 0; n < out.size();) {
        if (skip != 0 && n >= skip && out[n - skip] == 0) {
            out[n++] = 0;
            continue;
        }
        if (repeat != 0) {
            out[n++] = order[0];
            --repeat;
            continue;
        }
        const auto symbol = code.decode(in);
        if (!symbol) return false;
        if (*symbol == RUN_0 || *symbol == RUN_1) {
            // Each run symbol is emitted whole before the next is read, so
            // `run_symbols` stays below the bits of out.size() + 1.
            repeat = std::uint64_t{*symbol + 1} << run_symbols;
            ++run_symbols;
            continue;
        }
        const std::size_t at = *symbol - 1;
        const std::uint8_t v = order[at];
        for (std::size_t k = at; k != 0; --k) order[k] = order[k - 1];
        order[0] = v;
        out[n++] = v;
        run_symbols = 0;
    }
    return repeat == 0;  // a run longer than what was left
}

class djw_section final : public vcdiff_secondary {
public:
    bool decode(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) override {
        if (out.empty()) return false;
        bit_reader bits(in);
        const auto tables_less_1 = bits.field(3);
        if (!tables_less_1) return false;
        const unsigned tables = *tables_less_1 + 1;
        std::size_t sector = out.size();
        if (tables > 1) {
            const auto units = bits.field(5);
            if (!units) return false;
            sector = (*units + 1) * SECTOR_UNIT;
        }
        const std::size_t sectors = (out.size() - 1) / sector + 1;

        // The code of the code lengths, then the tables' lengths through it.
        const auto given = bits.field(4);
        if (!given) return false;
        std::array<std::uint8_t, LENGTH_SYMBOLS> length_lengths{};
        for (unsigned s = 0; s < FIXED_LENGTHS + *given; ++s) {
            const auto l = bits.field(4);
            if (!l) return false;
            length_lengths[s] = static_cast<std::uint8_t>(*l);
        }
        prefix_code length_code;
        length_code.build(length_lengths);
        std::array<std::uint8_t, LENGTH_ORDER.size()> length_order = LENGTH_ORDER;
        std::array<std::uint8_t, MAX_TABLES * ALPHABET> lengths{};
        const std::span<std::uint8_t> used_lengths = std::span(lengths).first(tables * ALPHABET);
        if (!decode_moved(bits, length_code, length_order, used_lengths, ALPHABET)) return false;
        std::array<prefix_code, MAX_TABLES> table;
        for (unsigned t = 0; t < tables; ++t) table[t].build(used_lengths.subspan(t * ALPHABET, ALPHABET));

        // Which table codes each sector.
        std::vector<std::uint8_t> selector(sectors, 0);
        if (tables > 1) {
            std::array<std::uint8_t, MAX_TABLES + 1> selector_lengths{};
            for (unsigned s = 0; s <= tables; ++s) {
                const auto l = bits.field(3);
                if (!l) return false;
                selector_lengths[s] = static_cast<std::uint8_t>(*l);
            }
            prefix_code selector_code;
            selector_code.build(std::span(selector_lengths).first(tables + 1));
            std::array<std::uint8_t, MAX_TABLES> order{};
            std::iota(order.begin(), order.end(), std::uint8_t{0});
            if (!decode_moved(bits, selector_code, std::span(order).first(tables), selector, 0)) return false;
        }

        std::size_t at = 0;
        for (const std::uint8_t t : selector) {
            const std::size_t end = std::min(out.size(), at + sector);
            for (; at < end; ++at) {
                const auto b = table[t].decode(bits);
                if (!b) return false;
                out[at] = static_cast<std::uint8_t>(*b);
            }
        }
        return bits.all_read();
    }
};

}  // namespace

std::unique_ptr<vcdiff_secondary> make_djw_secondary() { return std::make_unique<djw_section>(); }

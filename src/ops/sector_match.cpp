#include "ops/sector_match.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "format/vcdiff_writer.h"
#include "io/sector_io.h"

namespace {

constexpr std::uint64_t CHUNK_SECTORS = 448;  // about a megabyte of each image per read
constexpr std::size_t CANDIDATES = 8;         // hash matches tried per sector

// The bytes a move leaves as they were: after the header of a Mode 2
// sector (its EDC and parity do not cover the address), the user data of a
// Mode 1 sector; all of any other sector.
std::span<const std::uint8_t> kept_by_move(std::span<const std::uint8_t> sector) {
    if (sector.size() != SECTOR_SIZE || !has_sync(sector)) return sector;
    if (sector[MODE_BYTE] == 2) return sector.subspan(SUBHEADER);
    if (sector[MODE_BYTE] == 1) return sector.subspan(MODE1_USER_DATA, USER_DATA_SIZE);
    return sector;
}

// A hash of those bytes, their place in the sector mixed in. It never
// leaves memory, so the words are read in the host's order.
std::uint64_t hash_of(std::span<const std::uint8_t> sector) {
    const std::span<const std::uint8_t> kept = kept_by_move(sector);
    // Four lanes of words, each mixed on its own so that their multiplies
    // overlap, then folded together.
    std::array<std::uint64_t, 4> lane = {0x9E3779B97F4A7C15ULL ^ static_cast<std::uint64_t>(kept.data() - sector.data()),
                                         0xC2B2AE3D27D4EB4FULL, 0x165667B19E3779F9ULL, 0x27D4EB2F165667C5ULL};
    const auto word = [&](std::size_t at) {
        std::uint64_t w;
        std::memcpy(&w, kept.data() + at, sizeof w);
        return w;
    };
    std::size_t i = 0;
    for (; i + 32 <= kept.size(); i += 32)
        for (std::size_t k = 0; k < lane.size(); ++k) {
            lane[k] = (lane[k] ^ word(i + 8 * k)) * 0xFF51AFD7ED558CCDULL;
            lane[k] ^= lane[k] >> 32;
        }
    std::uint64_t h = lane[0];
    for (std::size_t k = 1; k < lane.size(); ++k) h = (h ^ lane[k]) * 0xFF51AFD7ED558CCDULL;
    for (; i < kept.size(); ++i) h = (h ^ kept[i]) * 0x100000001B3ULL;
    return h;
}

// Two sectors whose bytes kept by a move agree (the target's kind decides which).
bool same_kept(std::span<const std::uint8_t> target, std::span<const std::uint8_t> source) {
    if (source.size() != target.size()) return false;
    const std::span<const std::uint8_t> kept = kept_by_move(target);
    const auto from = static_cast<std::size_t>(kept.data() - target.data());
    return std::equal(kept.begin(), kept.end(), source.begin() + static_cast<std::ptrdiff_t>(from));
}

// How many bytes at the start of `a` and `b` agree: eight at a time while
// they do.
std::size_t common_run(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) {
    const std::size_t n = std::min(a.size(), b.size());
    std::size_t k = 0;
    for (std::uint64_t x, y; k + 8 <= n; k += 8) {
        std::memcpy(&x, a.data() + k, 8);
        std::memcpy(&y, b.data() + k, 8);
        if (x != y) break;
    }
    while (k < n && a[k] == b[k]) ++k;
    return k;
}

}  // namespace

sector_matcher::sector_matcher(match_image original, match_image modified)
    : original_(original), modified_(modified), original_sectors_(original.size / SECTOR_SIZE) {}

bool sector_matcher::fill() {
    chunk_first_ = at_;
    const std::uint64_t from = at_ * SECTOR_SIZE;
    const std::uint64_t bytes = std::min<std::uint64_t>(CHUNK_SECTORS * SECTOR_SIZE, modified_.size - from);
    chunk_sectors_ = (bytes + SECTOR_SIZE - 1) / SECTOR_SIZE;
    target_.resize(static_cast<std::size_t>(bytes));
    const std::uint64_t old_bytes = from < original_.size ? std::min(bytes, original_.size - from) : 0;
    in_place_.resize(static_cast<std::size_t>(old_bytes));
    if (pread_full(modified_.fd, target_, from) != target_.size() ||
        pread_full(original_.fd, in_place_, from) != in_place_.size()) {
        if (errno == 0) errno = EIO;  // an image cut short while it was read
        failed_ = true;
    }
    return !failed_;
}

bool sector_matcher::read_original(std::uint64_t sector, std::vector<std::uint8_t>& out) {
    out.resize(SECTOR_SIZE);
    // A sector of the original the current chunk holds already (a file
    // shifted by a few sectors comes from there): no read of its own.
    if (sector >= chunk_first_ && (sector - chunk_first_ + 1) * SECTOR_SIZE <= in_place_.size()) {
        const auto at = static_cast<std::ptrdiff_t>((sector - chunk_first_) * SECTOR_SIZE);
        std::copy_n(in_place_.begin() + at, SECTOR_SIZE, out.begin());
        return true;
    }
    if (pread_full(original_.fd, out, sector * SECTOR_SIZE) == SECTOR_SIZE) return true;
    if (errno == 0) errno = EIO;
    failed_ = true;
    return false;
}

void sector_matcher::sort_index() {
    std::sort(index_.begin(), index_.end(),
              [](const entry& a, const entry& b) { return a.hash != b.hash ? a.hash < b.hash : a.sector < b.sector; });
    indexed_ = true;
}

void sector_matcher::index_original(std::uint64_t at, std::span<const std::uint8_t> bytes) {
    if (indexed_ || at != shown_ * SECTOR_SIZE) return;
    if (at == 0) index_.reserve(static_cast<std::size_t>(original_sectors_));
    for (; bytes.size() >= SECTOR_SIZE && shown_ < original_sectors_; bytes = bytes.subspan(SECTOR_SIZE))
        index_.push_back({hash_of(bytes.first(SECTOR_SIZE)), shown_++});
    if (shown_ == original_sectors_) sort_index();
}

bool sector_matcher::build_index() {
    index_.clear();
    index_.reserve(static_cast<std::size_t>(original_sectors_));
    std::vector<std::uint8_t> chunk;
    for (std::uint64_t first = 0; first < original_sectors_; first += CHUNK_SECTORS) {
        const std::uint64_t count = std::min(CHUNK_SECTORS, original_sectors_ - first);
        chunk.resize(static_cast<std::size_t>(count * SECTOR_SIZE));
        if (pread_full(original_.fd, chunk, first * SECTOR_SIZE) != chunk.size()) {
            if (errno == 0) errno = EIO;
            failed_ = true;
            return false;
        }
        for (std::uint64_t i = 0; i < count; ++i)
            index_.push_back({hash_of(std::span(chunk).subspan(static_cast<std::size_t>(i * SECTOR_SIZE), SECTOR_SIZE)),
                              first + i});
    }
    sort_index();
    return true;
}

// True when original sector `candidate` holds the target's bytes kept by a
// move; it is then in source_.
bool sector_matcher::moved_from(std::uint64_t candidate, std::span<const std::uint8_t> target) {
    if (candidate >= original_sectors_ || target.size() != SECTOR_SIZE) return false;
    if (!read_original(candidate, source_)) return false;
    return same_kept(target, source_);
}

// An original sector other than `skip` that holds the target's bytes kept
// by a move (left in source_); NO_SOURCE when there is none.
std::uint64_t sector_matcher::find(std::span<const std::uint8_t> target, std::uint64_t skip) {
    if (target.size() != SECTOR_SIZE || (!indexed_ && !build_index())) return NO_SOURCE;
    const std::uint64_t h = hash_of(target);
    auto it = std::lower_bound(index_.begin(), index_.end(), h, [](const entry& e, std::uint64_t v) { return e.hash < v; });
    for (std::size_t tried = 0; it != index_.end() && it->hash == h && tried < CANDIDATES && !failed_; ++it) {
        if (it->sector == skip) continue;
        ++tried;
        if (moved_from(it->sector, target)) return it->sector;
    }
    return NO_SOURCE;
}

bool sector_matcher::next(sector_step& step) {
    if (failed_ || at_ * SECTOR_SIZE >= modified_.size) return false;
    if (at_ >= chunk_first_ + chunk_sectors_ && !fill()) return false;
    const auto offset = static_cast<std::size_t>((at_ - chunk_first_) * SECTOR_SIZE);
    const auto target = std::span<const std::uint8_t>(target_).subspan(offset, std::min(SECTOR_SIZE, target_.size() - offset));
    std::span<const std::uint8_t> in_place;
    if (offset < in_place_.size())
        in_place = std::span<const std::uint8_t>(in_place_).subspan(offset, std::min(target.size(), in_place_.size() - offset));
    return match(at_++, target, in_place, step);
}

bool sector_matcher::match(std::uint64_t sector, std::span<const std::uint8_t> target,
                           std::span<const std::uint8_t> in_place, sector_step& step) {
    if (failed_) return false;
    // After sectors not shown to it, the one before was the same as before.
    if (sector != last_sector_ + 1) {
        last_source_ = sector == 0 ? NO_SOURCE : sector - 1;
        following_move_ = false;
    }
    last_sector_ = sector;
    step = sector_step{};
    step.sector = sector;
    step.target = target;
    step.in_place = in_place;
    const std::uint64_t t = step.sector;
    const std::uint64_t after_last = last_source_ == NO_SOURCE ? NO_SOURCE : last_source_ + 1;
    if (step.in_place.size() == step.target.size() && std::equal(step.in_place.begin(), step.in_place.end(), step.target.begin())) {
        step.kind = sector_kind::same;
        step.source = t;
        step.source_bytes = step.in_place;
    } else if (after_last != t && moved_from(after_last, step.target)) {
        step.kind = sector_kind::moved;
        step.source = after_last;
        step.source_bytes = source_;
    } else if (step.in_place.size() == SECTOR_SIZE && same_kept(step.target, step.in_place)) {
        step.kind = sector_kind::changed;  // its header alone
        step.source = t;
        step.source_bytes = step.in_place;
    } else if (const std::uint64_t found = failed_ ? NO_SOURCE : find(step.target, t); found != NO_SOURCE) {
        step.kind = sector_kind::moved;
        step.source = found;
        step.source_bytes = source_;
    } else if (following_move_ && after_last < original_sectors_) {
        // Where the sector before it came from: a moved file whose last
        // sectors changed.
        step.kind = t < original_sectors_ ? sector_kind::changed : sector_kind::appended;
        step.source = after_last;
        if (!read_original(after_last, source_)) return false;
        step.source_bytes = source_;
    } else if (!step.in_place.empty()) {
        step.kind = sector_kind::changed;
        step.source = t;
        step.source_bytes = step.in_place;
    } else {
        step.kind = sector_kind::appended;
    }
    if (failed_) return false;
    last_source_ = step.source;
    following_move_ = step.source != NO_SOURCE && step.source != t;
    return true;
}

void pieces_of(const sector_step& step, const std::function<void(const step_piece&)>& each) {
    const std::span<const std::uint8_t> t = step.target, src = step.source_bytes;
    const std::uint64_t base = step.source == NO_SOURCE ? 0 : step.source * SECTOR_SIZE;
    const std::size_t both = std::min(t.size(), src.size());
    std::size_t added_from = 0, i = 0;
    while (i < both) {
        while (i < both && t[i] != src[i]) ++i;  // to the next byte that agrees
        const std::size_t run = common_run(t.subspan(i), src.subspan(i));
        if (run < MIN_COPY) {
            i += run;
            continue;
        }
        if (added_from < i) each({false, 0, t.subspan(added_from, i - added_from)});
        each({true, base + i, t.subspan(i, run)});
        i += run;
        added_from = i;
    }
    if (added_from < t.size()) each({false, 0, t.subspan(added_from)});
}

void step_coder::code(const sector_step& step) {
    const std::span<const std::uint8_t> t = step.target;
    const std::uint64_t at = step.sector * SECTOR_SIZE;
    if (step.kind == sector_kind::same) {
        writer_.copy(at, t);
        before_sector_ = NO_SOURCE;
        return;
    }
    // The address's minute, second and frame are bytes 12 to 14. A repeat
    // keeps at least the minute: it adds no more than the three bytes a
    // moved sector adds, and its copies run on from the sector before.
    constexpr std::size_t MINUTE = 12, AFTER_ADDRESS = 15;
    if (t.size() == SECTOR_SIZE && before_sector_ != NO_SOURCE && before_sector_ + 1 == step.sector &&
        std::equal(t.begin(), t.begin() + MINUTE + 1, before_.begin()) &&
        std::equal(t.begin() + AFTER_ADDRESS, t.end(), before_.begin() + AFTER_ADDRESS)) {
        std::size_t kept = MINUTE + 1;
        while (kept < AFTER_ADDRESS && t[kept] == before_[kept]) ++kept;
        const std::uint64_t from = before_sector_ * SECTOR_SIZE;
        writer_.copy_target(from, t.first(kept));
        writer_.add(t.subspan(kept, AFTER_ADDRESS - kept));
        writer_.copy_target(from + AFTER_ADDRESS, t.subspan(AFTER_ADDRESS));
    } else {
        pieces_of(step, [&](const step_piece& p) {
            if (p.copy)
                writer_.copy(p.from, p.bytes);
            else
                writer_.add(p.bytes);
        });
    }
    before_sector_ = t.size() == SECTOR_SIZE ? step.sector : NO_SOURCE;
    if (t.size() == SECTOR_SIZE) before_.assign(t.begin(), t.end());
}

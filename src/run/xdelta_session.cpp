#include "run/xdelta_session.h"

#include <algorithm>
#include <cerrno>

#include "ops/vcdiff_apply.h"
#include "ops/sector_match.h"
#include "run/kit.h"

namespace {

// Bytes of the image read at a time: whole sectors, about a megabyte.
constexpr std::size_t CHUNK = 448 * SECTOR_SIZE;

}  // namespace

xdelta_session::xdelta_session() = default;
xdelta_session::~xdelta_session() = default;

bool xdelta_session::start(run_output& run, const run_settings& s, const std::vector<platform::file_info>& inputs) {
    target_ = *s.file_xdelta;
    return admit_output(run, file_, target_, inputs) && file_.create(run);
}

bool xdelta_session::begin(run_output& run, int fd_bin, std::uint64_t image_size, const std::optional<std::string>&) {
    fd_ = fd_bin;
    image_size_ = image_size;
    chunk_.resize(CHUNK);
    matcher_ = std::make_unique<sector_matcher>(match_image{fd_bin, image_size}, match_image{});
    // The image's CRC-32, which the file carries; the same read makes the
    // matcher's index of its sectors.
    std::uint32_t crc = 0;
    if (!image_crc32(run, fd_bin, image_size, nullptr, crc, ".bin file", {},
                     [&](std::uint64_t at, std::span<const std::uint8_t> bytes) { matcher_->index_original(at, bytes); }))
        return false;
    writer_ = std::make_unique<vcdiff_writer>(image_size, crc);
    coder_ = std::make_unique<step_coder>(*writer_);
    return true;
}

// Codes the target up to byte `end` as the image holds it there (past the
// image's end: zeros, as a hole reads).
bool xdelta_session::copy_image(run_output& run, std::uint64_t end) {
    while (at_ < std::min(end, image_size_)) {
        const auto part = std::span(chunk_).first(static_cast<std::size_t>(std::min<std::uint64_t>(CHUNK, std::min(end, image_size_) - at_)));
        if (pread_full(fd_, part, at_) != part.size()) {
            if (errno == 0) errno = EIO;
            report_errno(run, "Failed to read .bin file");
            return false;
        }
        writer_->copy(at_, part);
        at_ += part.size();
        if (!drain(run, false)) return false;
    }
    if (at_ < end) {
        const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(end - at_), 0);
        writer_->add(zeros);
        at_ = end;
    }
    return true;
}

bool xdelta_session::sectors(run_output& run, std::span<const std::uint8_t> old_bytes,
                             std::span<const std::uint8_t> new_bytes, std::uint64_t first) {
    if (first * SECTOR_SIZE < at_) {
        std::fprintf(run.out, "Sector %llu comes after the sectors the xdelta file holds -- refused\n",
                     static_cast<unsigned long long>(first));
        return false;
    }
    if (!copy_image(run, first * SECTOR_SIZE)) return false;
    changes_ = changes_ || !std::equal(old_bytes.begin(), old_bytes.end(), new_bytes.begin(), new_bytes.end());
    sector_step step;
    for (std::size_t i = 0; i * SECTOR_SIZE < new_bytes.size(); ++i) {
        const std::uint64_t sector = first + i;
        const std::uint64_t offset = sector * SECTOR_SIZE;
        const auto target = new_bytes.subspan(i * SECTOR_SIZE, SECTOR_SIZE);
        // The image's bytes at the sector's place, a part of one past its end.
        std::span<const std::uint8_t> in_place;
        if (offset + SECTOR_SIZE <= image_size_) {
            in_place = old_bytes.subspan(i * SECTOR_SIZE, SECTOR_SIZE);
        } else if (offset < image_size_) {
            tail_.resize(static_cast<std::size_t>(image_size_ - offset));
            if (pread_full(fd_, tail_, offset) != tail_.size()) {
                if (errno == 0) errno = EIO;
                report_errno(run, "Failed to read .bin file");
                return false;
            }
            in_place = tail_;
        }
        if (!matcher_->match(sector, target, in_place, step)) {
            report_errno(run, "Failed to read .bin file");
            return false;
        }
        coder_->code(step);
        at_ = offset + SECTOR_SIZE;
    }
    return drain(run, false);
}

bool xdelta_session::drain(run_output& run, bool all) {
    std::vector<std::uint8_t>& bytes = writer_->output();
    if (!all && bytes.size() < CHUNK) return true;
    if (pwrite_full(file_.fd(), bytes, written_) != bytes.size()) {
        report_errno(run, "Failed to write xdelta file");
        return false;
    }
    written_ += bytes.size();
    bytes.clear();
    return true;
}

bool xdelta_session::finish(run_output& run, std::uint64_t image_size) {
    if (!copy_image(run, image_size)) return false;
    if (!changes_) {
        std::fprintf(run.out, "xdelta file '%s' would hold no change: the run changes no byte -- refused\n",
                     target_.c_str());
        return false;
    }
    writer_->finish();
    return drain(run, true) && file_.commit(run);
}

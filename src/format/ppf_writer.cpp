#include "format/ppf_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "sector/byte_order.h"

namespace {

// The raw sector that holds the block check, and where in it the block starts.
constexpr std::uint64_t ID_SECTOR = PPF_BLOCK_AT / SECTOR_SIZE;
constexpr std::size_t ID_FROM = PPF_BLOCK_AT % SECTOR_SIZE;
static_assert(ID_FROM + PPF_BLOCK_SIZE <= SECTOR_SIZE);

void read_id_block(run_output& run, int fd_bin, std::span<std::uint8_t, PPF_BLOCK_SIZE> out);

// The magic and encoding method a header of PPF `version` opens with.
void put_magic(std::span<std::uint8_t> header, int version) {
    const std::string_view magic = PPF_MAGIC[static_cast<std::size_t>(version - 1)];
    std::copy(magic.begin(), magic.end(), header.begin());
    header[PPF_METHOD] = static_cast<std::uint8_t>(version - 1);
}

}  // namespace

bool ppf2_header(run_output& run, ppf_file& ppf, int fd_bin, std::uint64_t image_size,
                 const std::optional<std::string>& description) {
    tprintf(trace_stream(run), "\nWriting PPF20 header\n");
    std::array<std::uint8_t, PPF2_HEADER_SIZE> header{};
    put_magic(header, 2);

    // The text fills at most 46 bytes; "Lan" and a zero always close the field.
    if (const auto& desc = description) {
        const std::size_t n = std::min({desc->size(), std::strlen(desc->c_str()), PPF2_DESCRIPTION_TEXT});
        std::memcpy(header.data() + PPF_DESCRIPTION, desc->data(), n);
    }
    std::memcpy(header.data() + PPF_DESCRIPTION + PPF2_DESCRIPTION_TEXT, "Lan", 3);
    header[PPF_DESCRIPTION + PPF_DESCRIPTION_SIZE - 1] = 0;

    store_le32(std::span(header).subspan<PPF2_IMAGE_SIZE, 4>(), static_cast<std::uint32_t>(image_size));

    // Where sector 16 cannot be read whole, the bytes that did not arrive stay zero.
    read_id_block(run, fd_bin, std::span(header).subspan<PPF_BLOCK, PPF_BLOCK_SIZE>());
    tprintf(trace_stream(run), "\n");

    return ppf.append(run, header, "Failed top write PPF header");
}

void ppf2_chunks(std::span<std::uint8_t, PPF2_SECTOR_SIZE> out,
                 std::span<const std::uint8_t, SECTOR_SIZE> sector_bytes, std::uint64_t sector) {
    std::size_t at = 0;
    for (std::size_t p = 0; p < SECTOR_SIZE; p += PPF_RECORD_MAX) {
        const std::size_t count = std::min(PPF_RECORD_MAX, SECTOR_SIZE - p);
        const auto offset = static_cast<std::uint32_t>(sector * SECTOR_SIZE + p);
        store_le32(out.subspan(at).first<4>(), offset);
        out[at + 4] = static_cast<std::uint8_t>(count);
        std::copy_n(sector_bytes.begin() + static_cast<std::ptrdiff_t>(p), count,
                    out.begin() + static_cast<std::ptrdiff_t>(at + 5));
        at += 5 + count;
    }
}

bool ppf2_write(run_output& run, ppf_file& ppf, std::span<const std::uint8_t> chunks) {
    return ppf.append(run, chunks, "failed to write PPF chunk");
}

namespace {

// The 1024 bytes a PPF file checks its image by; the bytes that could not
// be read stay zero.
void read_id_block(run_output& run, int fd_bin, std::span<std::uint8_t, PPF_BLOCK_SIZE> out) {
    std::array<std::uint8_t, SECTOR_SIZE> id_sector{};
    (void)read_sector_traced(run, fd_bin, id_sector, ID_SECTOR);
    std::copy_n(id_sector.begin() + ID_FROM, PPF_BLOCK_SIZE, out.begin());
}

class ppf2_writer final : public ppf_records {
public:
    bool begin(run_output& run, ppf_file& ppf, int fd_bin, std::uint64_t image_size,
               const std::optional<std::string>& description) override {
        return ppf2_header(run, ppf, fd_bin, image_size, description);
    }
    bool sectors(run_output& run, ppf_file& ppf, std::span<const std::uint8_t>,
                 std::span<const std::uint8_t> new_bytes, std::uint64_t first) override {
        const std::size_t count = new_bytes.size() / SECTOR_SIZE;
        chunks_.resize(count * PPF2_SECTOR_SIZE);
        for (std::size_t i = 0; i < count; ++i)
            ppf2_chunks(std::span(chunks_).subspan(i * PPF2_SECTOR_SIZE).first<PPF2_SECTOR_SIZE>(),
                        std::span<const std::uint8_t, SECTOR_SIZE>(new_bytes.data() + i * SECTOR_SIZE, SECTOR_SIZE),
                        first + i);
        records_ += count;
        return ppf2_write(run, ppf, chunks_);
    }
    bool end(run_output&, ppf_file&) override { return true; }
    std::uint64_t records() const override { return records_; }

private:
    std::vector<std::uint8_t> chunks_;
    std::uint64_t records_ = 0;
};

class ppf3_writer final : public ppf_records {
public:
    ppf3_writer(bool undo, std::vector<std::uint8_t> diz) : undo_(undo), diz_(std::move(diz)) {}

    bool begin(run_output& run, ppf_file& ppf, int fd_bin, std::uint64_t image_size,
               const std::optional<std::string>& description) override {
        image_end_ = image_size;
        tprintf(trace_stream(run), "\nWriting PPF30 header\n");
        // An image too short to hold the block gets a file without the check.
        const bool block = image_size >= PPF_BLOCK_AT + PPF_BLOCK_SIZE;
        std::array<std::uint8_t, PPF3_HEADER_SIZE + PPF_BLOCK_SIZE> header{};
        put_magic(header, 3);
        std::fill_n(header.begin() + PPF_DESCRIPTION, PPF_DESCRIPTION_SIZE, ' ');
        if (description)
            std::copy_n(description->begin(),
                        std::min(PPF_DESCRIPTION_SIZE, std::strlen(description->c_str())),
                        header.begin() + PPF_DESCRIPTION);
        header[PPF3_IMAGE_TYPE] = 0;  // BIN
        header[PPF3_BLOCK_CHECK] = block ? 1 : 0;
        header[PPF3_UNDO] = undo_ ? 1 : 0;
        if (block) read_id_block(run, fd_bin, std::span(header).subspan<PPF_BLOCK, PPF_BLOCK_SIZE>());
        tprintf(trace_stream(run), "\n");
        return ppf.append(run, std::span(header).first(PPF3_HEADER_SIZE + (block ? PPF_BLOCK_SIZE : 0)),
                          "Failed top write PPF header");
    }

    bool sectors(run_output& run, ppf_file& ppf, std::span<const std::uint8_t> old_bytes,
                 std::span<const std::uint8_t> new_bytes, std::uint64_t first) override {
        const std::uint64_t base = first * SECTOR_SIZE;
        const std::size_t n = new_bytes.size();
        // Bytes inside the image are recorded where they change; every byte
        // past its end is recorded: appliers grow the image by them.
        const std::size_t inside =
            base >= image_end_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(n, image_end_ - base));
        for (std::size_t i = 0; i < n;) {
            while (i < inside && old_bytes[i] == new_bytes[i]) ++i;
            if (i == n) break;
            std::size_t j = i;
            if (i < inside)
                while (j < inside && old_bytes[j] != new_bytes[j]) ++j;
            else
                j = n;
            // With undo data, a record of no bytes marks where the image
            // ended before it grew: the undo cuts it back there.
            if (undo_ && !marked_ && base + i >= image_end_) {
                close_record();
                at_ = image_end_;
                put_record();
                marked_ = true;
            }
            gather(base + i, old_bytes.subspan(i, j - i), new_bytes.subspan(i, j - i));
            i = j;
        }
        return out_.size() < (1U << 18) || flush(run, ppf);
    }

    bool end(run_output& run, ppf_file& ppf) override {
        close_record();
        if (!diz_.empty()) {
            out_.insert(out_.end(), PPF_DIZ_BEGIN.begin(), PPF_DIZ_BEGIN.end());
            out_.insert(out_.end(), diz_.begin(), diz_.end());
            out_.insert(out_.end(), PPF_DIZ_END.begin(), PPF_DIZ_END.end());
            std::array<std::uint8_t, PPF3_DIZ_LENGTH_SIZE> length{};
            store_le16(length, static_cast<std::uint16_t>(diz_.size()));
            out_.insert(out_.end(), length.begin(), length.end());
        }
        return flush(run, ppf);
    }

    std::uint64_t records() const override { return records_ + (length_ != 0 ? 1 : 0); }

private:
    void close_record() {
        if (length_ != 0) put_record();
    }

    // Adds consecutive recorded bytes from image offset `at` on, into records
    // of up to 255 bytes, a new record where they do not follow the last.
    void gather(std::uint64_t at, std::span<const std::uint8_t> old_bytes, std::span<const std::uint8_t> new_bytes) {
        while (!new_bytes.empty()) {
            if (length_ == PPF_RECORD_MAX || (length_ != 0 && at_ + length_ != at)) close_record();
            if (length_ == 0) at_ = at;
            const std::size_t k = std::min(new_bytes.size(), PPF_RECORD_MAX - length_);
            std::copy_n(new_bytes.begin(), k, new_.begin() + static_cast<std::ptrdiff_t>(length_));
            std::copy_n(old_bytes.begin(), k, old_.begin() + static_cast<std::ptrdiff_t>(length_));
            length_ += k;
            at += k;
            new_bytes = new_bytes.subspan(k);
            old_bytes = old_bytes.subspan(k);
        }
    }

    void put_record() {
        std::array<std::uint8_t, PPF3_RECORD_HEAD> head{};
        store_le32(std::span(head).subspan<0, 4>(), static_cast<std::uint32_t>(at_));
        store_le32(std::span(head).subspan<4, 4>(), static_cast<std::uint32_t>(at_ >> 32));
        head[8] = static_cast<std::uint8_t>(length_);
        out_.insert(out_.end(), head.begin(), head.end());
        out_.insert(out_.end(), new_.begin(), new_.begin() + static_cast<std::ptrdiff_t>(length_));
        if (undo_) out_.insert(out_.end(), old_.begin(), old_.begin() + static_cast<std::ptrdiff_t>(length_));
        ++records_;
        length_ = 0;
    }

    bool flush(run_output& run, ppf_file& ppf) {
        const bool ok = ppf.append(run, out_, "failed to write PPF record");
        out_.clear();
        return ok;
    }

    bool undo_;
    std::uint64_t image_end_ = UINT64_MAX;
    std::vector<std::uint8_t> diz_;
    std::vector<std::uint8_t> out_;
    std::uint64_t records_ = 0;
    std::uint64_t at_ = 0;      // image offset of the record being gathered
    std::size_t length_ = 0;    // its bytes so far
    bool marked_ = false;       // the image's old end is marked
    std::array<std::uint8_t, PPF_RECORD_MAX> new_{}, old_{};
};

}  // namespace

std::unique_ptr<ppf_records> ppf2_records() { return std::make_unique<ppf2_writer>(); }

std::unique_ptr<ppf_records> ppf3_records(bool undo, std::vector<std::uint8_t> diz) {
    return std::make_unique<ppf3_writer>(undo, std::move(diz));
}

bool ppf_file::refuse(run_output& run, const char* why) {
    std::fprintf(run.out, "PPF file '%s' %s -- refused\n", shown_.c_str(), why);
    return false;
}

bool ppf_file::create_temporary(run_output& run, const std::string& path,
                                const std::vector<platform::file_info>& inputs,
                                const std::vector<platform::file_info>& outputs) {
    shown_ = path;
    if (path.empty()) return refuse(run, "has no name");
    auto cannot = [&](const char* what) {
        char why[160];
        std::snprintf(why, sizeof why, "%s: %s", what, platform::error_text(errno));
        return refuse(run, why);
    };
    if (!platform::resolve_links(path, target_)) return cannot("cannot be followed");
    constexpr const char* INPUT = "is an input of this run";
    platform::file_info target;
    if (platform::query(target_, target) && !target.regular) {
        if (std::any_of(inputs.begin(), inputs.end(), [&](const auto& in) { return platform::same_file(in, target); }))
            return refuse(run, INPUT);
        // A device or pipe cannot be replaced by renaming: written directly,
        // if that can start without waiting.
        direct_ = platform::open_write(target_);
        return direct_.valid() || cannot("cannot be written");
    }
    std::vector<kept_file> kept;
    for (const platform::file_info& in : inputs) kept.push_back({in, INPUT});
    for (const platform::file_info& out : outputs) kept.push_back({out, "is where this run's own output goes"});
    if (!file_.admit(run, target_, kept, shown_)) return false;
    if (file_.replaces()) {
        // Only a file the user could overwrite, in a folder that lets it be
        // replaced; locked, and still the file that the name names.
        target_lock_ = platform::open_write(target_);
        if (!target_lock_.valid()) return cannot("cannot be written");
        if (!platform::may_replace(target_)) return cannot("cannot be replaced in its folder");
        platform::file_info locked, now;
        const platform::lock_result lock = platform::lock_file(target_lock_.get(), platform::lock_kind::exclusive);
        if (lock == platform::lock_result::failed) return cannot("cannot be locked");
        if (lock == platform::lock_result::busy || !platform::query(target_lock_.get(), locked) ||
            !platform::query(target_, now) || !platform::same_file(locked, now))
            return refuse(run, "is being written by another run");
    }
    return file_.create(run);
}

bool ppf_file::append(run_output& run, std::span<const std::uint8_t> data, const char* message) {
    // A temporary file is written at its known end and cut back there on a
    // failure; a device or pipe is written in sequence.
    const bool direct = direct_.valid();
    if (measured_) {
        written_ += data.size();
        return true;
    }
    const std::size_t done = direct ? write_full(fd(), data) : pwrite_full(fd(), data, written_);
    if (done == data.size()) {
        written_ += done;
        return true;
    }
    const int saved = errno;
    if (!direct) (void)platform::truncate(fd(), written_);
    errno = saved;
    report_errno(run, message);
    return false;
}

bool ppf_file::commit(run_output& run) {
    if (!direct_.valid()) {
        if (!file_.commit(run, target_lock_)) return false;
        (void)target_lock_.close();
        return true;
    }
    if (!platform::sync_file(direct_.get())) {
        report_errno(run, "Failed to sync PPF file");
        return false;
    }
    if (!direct_.close()) {
        report_errno(run, "Failed to close PPF file");
        return false;
    }
    return true;
}

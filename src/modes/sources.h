// The sources a replacement feeds the writer: a file's new bytes laid into
// Form 1 sectors from an offset on, or a Form 2 or interleaved file's
// RIFF-CDXA or 2336-byte sectors, one for one. The patch run and the tree
// run both build them over a data_run.
#pragma once

#include <algorithm>
#include <string>

#include "run/form2_data.h"
#include "run/patch_session.h"
#include "run/writer.h"

// Where the patch's bytes go in the window's sectors.
struct layout {
    const patch_window& w;
    // Room for patch data in a sector: the first starts at the remainder.
    std::size_t room(std::uint64_t sector) const {
        return USER_DATA_SIZE - static_cast<std::size_t>(sector == w.first ? w.remainder : 0);
    }
    // The patch's byte that goes first into the sector.
    std::uint64_t data_at(std::uint64_t sector) const {
        return sector == w.first ? 0 : room(w.first) + (sector - w.first - 1) * USER_DATA_SIZE;
    }
    // Bytes of patch data in the sector.
    std::size_t data_in(std::uint64_t sector) const {
        return static_cast<std::size_t>(std::min<std::uint64_t>(room(sector), w.size - data_at(sector)));
    }
    // The patch covers only part of the sector's user data.
    bool partly(std::uint64_t sector) const { return data_in(sector) != USER_DATA_SIZE; }
};

// A patch laid into the user data of the window's Form 1 sectors from its
// offset on; replacing a file (-s), its sectors take the file's subheader
// convention and its new last sector ends cleanly.
class form1_patch final : public sector_source {
public:
    form1_patch(const data_run& d, const replace_plan* replace)
        : at_{d.window}, patch_(d.patch, 0, d.window.size), image_(d.image), replace_(replace) {}

    std::uint64_t first() const override { return at_.w.first; }
    std::uint64_t count() const override { return at_.w.size == 0 ? 0 : at_.w.last + 1 - at_.w.first; }
    bool takes_form2() const override { return false; }
    run_input& input() override { return patch_; }

    // A window past the image's whole sectors, and a PPF file of no record
    // (which patchers would refuse, or run away in).
    bool refuse(run_state& run) override {
        const run_settings& s = run.settings;
        const patch_window& w = at_.w;
        const relocation* grows = replace_ && replace_->moved && replace_->moved->grows ? &*replace_->moved : nullptr;
        const std::uint64_t image_sectors = grows ? grows->end_sectors() : image_.size / SECTOR_SIZE;
        if (w.size != 0 && w.last >= image_sectors) {
            std::fprintf(run.out,
                         "Patch of %llu bytes at offset %08llX needs sectors %llu to %llu, "
                         "but the image holds only %llu whole sectors -- refused\n",
                         static_cast<unsigned long long>(w.size), static_cast<unsigned long long>(w.offset),
                         static_cast<unsigned long long>(w.first), static_cast<unsigned long long>(w.last),
                         static_cast<unsigned long long>(image_sectors));
            return false;
        }
        if (patch_target(s) && w.size == 0 && !s.mode_replace) {
            std::fprintf(run.out, "%s '%s' would hold no %s: the patch is empty -- refused\n", patch_noun(s),
                         patch_target(s)->c_str(), s.file_xdelta ? "change" : "record");
            return false;
        }
        return true;
    }

    // A partly patched sector whose EDC/ECC already fail keeps its
    // unpatched bytes as they are: says so.
    void admitted(run_state& run, const_sector sector, std::uint64_t index) override {
        const bool edge = index == at_.w.first || index == at_.w.last;
        if (!replace_ && edge && at_.partly(index) && has_sync(sector) && !form1_intact(sector))
            std::fprintf(run.out,
                         "Warning: sector %llu fails its EDC/ECC check already; the bytes the "
                         "patch does not cover are kept as they are\n",
                         static_cast<unsigned long long>(index));
    }

    void fill(batch& b) const override {
        // The batch's patch bytes lie one after another in the patch.
        std::size_t wanted = 0;
        for (std::size_t i = 0; i < b.count; ++i) wanted += b.taken[i] = at_.data_in(b.first + i);
        const std::span<const std::uint8_t> data = patch_.bytes(at_.data_at(b.first), wanted, b.input);
        // Encoding writes the sync, header, EDC and parity: a sector the
        // patch covers whole takes only its subheader from the image.
        std::size_t taken = 0;
        for (b.complete = 0; b.complete < b.count; ++b.complete) {
            const std::uint64_t sector = b.first + b.complete;
            const std::size_t n = b.taken[b.complete];
            const std::size_t base = b.complete * SECTOR_SIZE;
            if (at_.partly(sector))
                std::copy_n(b.old_bytes.begin() + static_cast<std::ptrdiff_t>(base), SECTOR_SIZE,
                            b.new_bytes.begin() + static_cast<std::ptrdiff_t>(base));
            else
                std::copy_n(b.old_bytes.begin() + static_cast<std::ptrdiff_t>(base + SUBHEADER), USER_DATA - SUBHEADER,
                            b.new_bytes.begin() + static_cast<std::ptrdiff_t>(base + SUBHEADER));
            if (data.size() - taken < n) break;
            std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(taken), n,
                        b.new_bytes.begin() + static_cast<std::ptrdiff_t>(base + USER_DATA_END - at_.room(sector)));
            taken += n;
        }
        if (replace_) follow_file(b);
        encode_sectors(b.rebuilt(), b.first);
    }

    void trace(std::string& line, const batch& b, std::size_t i) const override {
        append_read_patch(line, b.taken[i]);
        append_rebuilt(line);
    }

    void report_short(run_state& run, std::uint64_t sector) const override {
        report_short_data(run, at_.room(sector));
    }

private:
    // A replaced file's sectors take its subheader convention, and its new
    // last sector ends cleanly: nothing after the patch's last byte.
    void follow_file(batch& b) const {
        for (std::size_t i = 0; i < b.complete; ++i) {
            const bool last = b.first + i == at_.w.last;
            const auto sub = subheader_for(*replace_, last);
            const auto head = b.new_bytes.begin() + static_cast<std::ptrdiff_t>(i * SECTOR_SIZE + SUBHEADER);
            std::copy(sub.begin(), sub.end(), head);
            std::copy(sub.begin(), sub.end(), head + 4);
            if (last)
                std::fill(head + static_cast<std::ptrdiff_t>(USER_DATA - SUBHEADER + b.taken[i]),
                          head + static_cast<std::ptrdiff_t>(USER_DATA_END - SUBHEADER), 0);
        }
    }

    layout at_;
    run_input patch_;
    platform::file_info image_;
    const replace_plan* replace_;
};

// The sectors of a Form 2 or interleaved file, from RIFF-CDXA or 2336-byte
// input: each laid into the file's sector at its place, in the form its
// subheader gives.
class form2_sectors final : public sector_source {
public:
    form2_sectors(const data_run& d, const xa_data& xa)
        : first_(d.found->record.extent), xa_(xa), input_(d.patch, xa.input.data_at, xa.input.sectors * xa.input.piece) {}

    std::uint64_t first() const override { return first_; }
    std::uint64_t count() const override { return xa_.input.sectors; }
    bool takes_form2() const override { return true; }
    run_input& input() override { return input_; }

    // Reads the input and checks that each of its sectors' subheader says
    // one thing.
    bool load(run_state& run) override {
        if (!input_.load(run)) return false;
        std::vector<std::uint8_t> scratch;
        const std::size_t piece = xa_.input.piece;
        for (std::uint64_t from = 0; from < count(); from += BATCH_SECTORS) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(BATCH_SECTORS, count() - from));
            const auto pieces = input_.bytes(from * piece, n * piece, scratch);
            if (pieces.size() != n * piece) {
                report_short(run, first_ + from + pieces.size() / piece);
                return false;
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (input_subheader_agrees(pieces.subspan(i * piece, piece))) continue;
                std::fprintf(run.out,
                             "Sector %llu of the patch (for sector %llu): the two copies of its subheader "
                             "differ -- refused\n",
                             static_cast<unsigned long long>(from + i),
                             static_cast<unsigned long long>(first_ + from + i));
                return false;
            }
        }
        return true;
    }

    void fill(batch& b) const override {
        const std::size_t piece = xa_.input.piece;
        const auto pieces = input_.bytes((b.first - first_) * piece, b.count * piece, b.input);
        b.complete = pieces.size() / piece;
        std::copy_n(b.old_bytes.begin(), b.count * SECTOR_SIZE, b.new_bytes.begin());
        for (std::size_t i = 0; i < b.complete; ++i)
            b.forms[i] = lay_xa_sector(pieces.subspan(i * piece, piece), b.sector(i), b.first + i, xa_.file.zero_edc);
    }

    // What it read, the form it was laid in, and its write.
    void trace(std::string& line, const batch& b, std::size_t i) const override {
        append_read_patch(line, xa_.input.piece);
        if (b.forms[i] == sector_form::form1) line += " | FORM1";
        else line += xa_.file.zero_edc ? " | FORM2 | ZERO_EDC" : " | FORM2";
        line += b.forms[i] == sector_form::form1 ? " | EDC_ECC" : xa_.file.zero_edc ? "" : " | EDC";
        line += " | WRITESECTOR(2352)\n";
    }

    void report_short(run_state& run, std::uint64_t) const override {
        std::fputs("\nThe patch file was cut short during the run\n", run.out);
    }

private:
    std::uint64_t first_;
    const xa_data& xa_;
    run_input input_;
};

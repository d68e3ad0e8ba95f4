#include "ops/doctor.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <numeric>

#include "format/checksum.h"
#include "format/iso9660.h"
#include "io/progress.h"
#include "io/sector_io.h"
#include "sector/byte_order.h"
#include "sector/edc_ecc.h"
#include "sector/judge.h"

namespace {

using ull = unsigned long long;

// A Mode 2 Form 2 sector: its sync whole, both submode copies saying Form 2.
bool is_form2(std::span<const std::uint8_t, SECTOR_SIZE> s) {
    return has_sync(s) && s[MODE_BYTE] == 2 && (s[SUBMODE_BYTE] & SUBMODE_FORM2) != 0 &&
           (s[SUBMODE_COPY_BYTE] & SUBMODE_FORM2) != 0;
}

std::span<std::uint8_t, EDC_SIZE> form2_edc(std::span<std::uint8_t, SECTOR_SIZE> s) {
    return s.subspan<FORM2_EDC_AT, EDC_SIZE>();
}

bool all_zero(std::span<const std::uint8_t> b) {
    return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

// The variants of the image a CRC-32 is taken of, the image as it is first.
constexpr std::array<dump_mending, 4> VARIANTS = {dump_mending::none, dump_mending::form2_edc_computed,
                                                  dump_mending::form2_edc_zeroed, dump_mending::coded_rebuilt};

// An ISO image of 2048-byte sectors: its length a multiple of 2048 but not
// of 2352, or a volume descriptor at the place it has in such an image.
bool looks_like_iso(int fd, std::uint64_t size) {
    std::array<std::uint8_t, 6> vd{};
    return (size % USER_DATA_SIZE == 0 && size % SECTOR_SIZE != 0) ||
           (pread_full(fd, vd, 16 * USER_DATA_SIZE) == vd.size() &&
            std::equal(STANDARD_ID.begin(), STANDARD_ID.end(), vd.begin() + 1));
}

std::string sectors_text(std::uint64_t bytes) {
    const std::uint64_t n = bytes / SECTOR_SIZE;
    return std::to_string(n) + (n == 1 ? " sector" : " sectors");
}

}  // namespace

sector_mend mend_of(dump_mending kind) {
    switch (kind) {
        case dump_mending::form2_edc_computed:
            return [](std::span<std::uint8_t, SECTOR_SIZE> s, std::uint64_t) {
                if (is_form2(s) && all_zero(form2_edc(s)))
                    store_le32(form2_edc(s), build_edc(s, SUBHEADER, FORM2_EDC_AT - 1));
            };
        case dump_mending::form2_edc_zeroed:
            return [](std::span<std::uint8_t, SECTOR_SIZE> s, std::uint64_t) {
                if (is_form2(s)) std::fill_n(form2_edc(s).begin(), EDC_SIZE, 0);
            };
        case dump_mending::coded_rebuilt:
            return [](std::span<std::uint8_t, SECTOR_SIZE> s, std::uint64_t index) {
                (void)check_sector(s, index + ADDRESS_BIAS, true);
            };
        case dump_mending::none: break;
    }
    return nullptr;
}

bool diagnose_dump(run_output& run, int image, std::uint64_t image_size, const std::string& image_path,
                   const dump_expected& expected, const std::optional<sheet_beside>& sheet,
                   std::optional<dump_mending>& fits) {
    fits.reset();
    std::FILE* out = run.out;
    std::fputs("What this image is:\n", out);
    const bool iso = looks_like_iso(image, image_size);
    std::fprintf(out, "  %llu bytes", static_cast<ull>(image_size));
    if (!iso)
        std::fprintf(out, " (%s%s)", sectors_text(image_size).c_str(), image_size % SECTOR_SIZE ? " and a part" : "");
    if (expected.size && *expected.size != image_size)
        std::fprintf(out, "; the patch is for an image of %llu bytes", static_cast<ull>(*expected.size));
    std::fputs("\n", out);
    bool explained = false;
    if (sheet && expected.size && *expected.size != image_size) {
        const std::uint64_t sum = std::accumulate(sheet->file_sizes.begin(), sheet->file_sizes.end(), std::uint64_t{0});
        if (sheet->file_sizes.size() > 1 && sum == *expected.size) {
            std::fprintf(out,
                         "  The patch is for the whole disc as one file; your dump is split into %zu files (%s): "
                         "merge them into one image and apply the patch to it\n",
                         sheet->file_sizes.size(), sheet->path.c_str());
            explained = true;
        } else if (std::find(sheet->data_track_sizes.begin(), sheet->data_track_sizes.end(), *expected.size) !=
                   sheet->data_track_sizes.end()) {
            std::fprintf(out,
                         "  The patch is for the data track alone (%llu bytes); this image holds the whole disc "
                         "(%s): split its tracks into files of their own and apply the patch to the first\n",
                         static_cast<ull>(*expected.size), sheet->path.c_str());
            explained = true;
        }
    }
    if (iso) {
        std::fputs("  It is an ISO image of 2048-byte sectors; the patch is for a raw image of 2352-byte sectors "
                   "(a .bin with its .cue): apply it to the raw dump\n",
                   out);
        return true;
    }
    // One pass over the sectors: their own faults, their Form 2 EDCs, and the
    // CRC-32 of each variant of the image.
    std::array<std::uint32_t, VARIANTS.size()> crc{};
    std::array<sector_mend, VARIANTS.size()> mends;
    for (std::size_t v = 0; v < VARIANTS.size(); ++v) mends[v] = mend_of(VARIANTS[v]);
    std::uint64_t faulty = 0, form2_zero = 0, form2 = 0;
    std::vector<std::uint8_t> chunk(448 * SECTOR_SIZE), copy;
    progress_meter meter(run, image_size);
    for (std::uint64_t at = 0; at < image_size; at += chunk.size()) {
        chunk.resize(static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), image_size - at)));
        errno = 0;
        if (pread_full(image, chunk, at) != chunk.size()) {
            if (errno == 0) errno = EIO;
            report_errno(run, "Failed to read image");
            return false;
        }
        const std::size_t whole = chunk.size() / SECTOR_SIZE;
        for (std::size_t k = 0; k < whole; ++k) {
            const std::span<std::uint8_t, SECTOR_SIZE> s(chunk.data() + k * SECTOR_SIZE, SECTOR_SIZE);
            std::array<std::uint8_t, SECTOR_SIZE> judged;
            std::copy(s.begin(), s.end(), judged.begin());
            if (check_sector(judged, at / SECTOR_SIZE + k + ADDRESS_BIAS, false).zones & zone::CODED) ++faulty;
            if (is_form2(s)) {
                ++form2;
                if (all_zero(form2_edc(s))) ++form2_zero;
            }
        }
        if (expected.crc32 && (!expected.size || *expected.size == image_size))
            for (std::size_t v = 0; v < VARIANTS.size(); ++v) {
                copy = chunk;
                if (mends[v])
                    for (std::size_t k = 0; k < whole; ++k)
                        mends[v](std::span<std::uint8_t, SECTOR_SIZE>(copy.data() + k * SECTOR_SIZE, SECTOR_SIZE),
                                 at / SECTOR_SIZE + k);
                crc[v] = crc32_update(crc[v], copy);
            }
        meter.update(at + chunk.size());
    }
    meter.clear();
    if (faulty != 0) {
        std::fprintf(out, "  %llu %s: the dump is damaged (corvane -c %s names %s)\n", static_cast<ull>(faulty),
                     faulty == 1 ? "sector fails its own EDC or parity" : "sectors fail their own EDC or parity",
                     image_path.c_str(), faulty == 1 ? "it" : "them");
        explained = true;
    }
    if (form2_zero != 0)
        std::fprintf(out, "  %llu of its %llu Form 2 sectors carry an EDC of zero (none), as some dumping tools write them\n",
                     static_cast<ull>(form2_zero), static_cast<ull>(form2));
    // A CRC-32 says more only of an image of the size the patch's dump had.
    if (expected.crc32 && (!expected.size || *expected.size == image_size)) {
        for (std::size_t v = 1; v < VARIANTS.size(); ++v)
            if (crc[v] == *expected.crc32 && crc[0] != *expected.crc32) {
                fits = VARIANTS[v];
                std::fprintf(out, "  With %s, it is the patch's dump byte for byte: --fix-dump applies the patch to it so\n",
                             VARIANTS[v] == dump_mending::form2_edc_computed ? "the EDC of its Form 2 sectors computed where it is zero"
                             : VARIANTS[v] == dump_mending::form2_edc_zeroed ? "the EDC of its Form 2 sectors zero"
                                                                             : "the EDC and parity of its failing sectors rebuilt");
                return true;
            }
        if (crc[0] == *expected.crc32) {
            std::fputs("  Its CRC-32 is the one of the patch's dump: the patch file itself is damaged\n", out);
            return true;
        }
        std::fprintf(out, "  Its CRC-32 is %08X; the patch's dump has %08X", static_cast<unsigned>(crc[0]),
                     static_cast<unsigned>(*expected.crc32));
        std::fputs(explained ? "\n" : ": a different dump or release of the game\n", out);
        return true;
    }
    if (!explained) std::fputs("  It looks like a different dump or release of the game\n", out);
    return true;
}

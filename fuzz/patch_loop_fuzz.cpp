// Fuzz target: a whole run of the tool over a small image held in memory.
//
// The first eight bytes of the input choose the command line, the rest is the
// patch (at most three sectors' worth):
//   byte 0  bit 0 -x, bit 1 -p, bit 2 -r, bit 3 -d, bit 4 image ends in a
//           partial sector, bits 5-6 -v (0 none, 1 the patch itself, 2 the
//           image's own bytes at the offset, 3 none), bit 7 -n
//   byte 1  bits 0-2 the -n name, bits 3-4 the PPF file (0 a file of its
//           own, 1 the -v file if there is one, else a file of its own, 2 the
//           image, 3 the patch), bits 5-7 the -d text
//   byte 2  bits 0-1 what -o gets (0 sector and remainder, 1 a 32-bit value,
//           2 a value beyond 32 bits, 3 no -o), bits 2-3 how the number is
//           written (decimal, hex, octal, " +decimal"), bit 4 "-oVALUE",
//           bits 5-6 another mode (1 -l, 2 -e, 3 -e with the image as the
//           second image too)
//   bytes 3-7  the -o value: for kind 0 byte 3 is the sector and bytes 4-5
//           the remainder (little-endian, modulo 2352)
// Image, patch, original and PPF file are memory files handed over as
// /proc/self/fd/N. The target works out on its own what the run must do and
// checks the exit status, the image and the PPF file byte for byte.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "byte_order.h"
#include "corvaner_run.h"
#include "image_maker.h"
#include "unique_fd.h"

namespace {

using fixture::bytes;

constexpr std::size_t COMMAND_BYTES = 8;
constexpr std::size_t MAX_PATCH = 3 * USER_DATA_SIZE + 100;
constexpr std::size_t PPF_HEADER = 1084;
constexpr std::size_t PPF_SECTOR = 2402;
constexpr std::size_t TAIL = 1000;  // bytes of a partial last sector

void check(bool ok) {
    if (!ok) std::abort();
}

struct test_image {
    bytes whole;                                   // encoded, whole sectors
    bytes with_tail;                               // the same plus a partial sector
    std::map<std::string, fixture::extent_info> where;
};

const test_image& image() {
    static const test_image img = [] {
        fixture::iso_image iso = fixture::make_iso(
            {{"A.TXT;1", fixture::random_bytes(3000, 1)},
             {"SUB/B.DAT;1", fixture::random_bytes(100, 2)},
             {"SUB/A.TXT;1", fixture::random_bytes(10, 3)}},
            {}, 2);
        test_image t;
        t.whole = iso.image.image();
        t.with_tail = t.whole;
        const bytes tail = fixture::random_bytes(TAIL, 4);
        t.with_tail.insert(t.with_tail.end(), tail.begin(), tail.end());
        t.where = iso.where;
        // Every sector of the starting image is valid, so a sector that
        // differs afterwards was written by the run.
        for (std::size_t i = 0; i < t.whole.size() / SECTOR_SIZE; ++i) {
            std::array<std::uint8_t, SECTOR_SIZE> copy{};
            std::copy_n(t.whole.begin() + static_cast<std::ptrdiff_t>(i * SECTOR_SIZE),
                        SECTOR_SIZE, copy.begin());
            const auto before = copy;
            do_encode_L2(copy, MODE_2_FORM_1, static_cast<unsigned>(i + 150));
            check(copy == before);
        }
        return t;
    }();
    return img;
}

const char* const NAMES[] = {"A.TXT;1",      "a.txt;1", "B.DAT;1", "SUB",
                             "MISSING.TXT;1", "",        "A.TXT",   "sub/b.dat;1"};
const char* const DESCRIPTIONS[] = {
    "",
    "corvane",
    "0123456789012345678901234567890123456789012345",
    "a description well beyond the forty-six bytes of the field",
    "\xC3\xBCml\xC3\xA4ut \xC3\x9F",
    "-o",
    "%s%n%x",
    " "};

unique_fd memory_file(const char* name, std::span<const std::uint8_t> content) {
    unique_fd fd(::memfd_create(name, MFD_CLOEXEC));
    check(fd.valid());
    check(pwrite_full(fd.get(), content, 0) == static_cast<long long>(content.size()));
    return fd;
}

bytes contents(int fd) {
    const off_t size = ::lseek(fd, 0, SEEK_END);
    check(size >= 0);
    bytes b(static_cast<std::size_t>(size));
    check(pread_full(fd, b, 0) == static_cast<long long>(b.size()));
    return b;
}

std::string path_of(const unique_fd& fd) { return "/proc/self/fd/" + std::to_string(fd.get()); }

// How the -o text reads back: base-0 strtoll, clamped to 32 bits, kept as
// its 32-bit two's-complement pattern.
std::uint64_t offset_value(long long v) {
    v = std::clamp<long long>(v, INT32_MIN, INT32_MAX);
    return static_cast<std::uint32_t>(static_cast<std::int32_t>(v));
}

std::string offset_text(long long v, unsigned form) {
    const char* sign = v < 0 ? "-" : "";
    const auto mag = static_cast<unsigned long long>(v < 0 ? -v : v);
    char text[64];
    switch (form) {
        case 0: std::snprintf(text, sizeof text, "%lld", v); break;
        case 1: std::snprintf(text, sizeof text, "%s0x%llx", sign, mag); break;
        case 2: std::snprintf(text, sizeof text, "%s0%llo", sign, mag); break;
        default: std::snprintf(text, sizeof text, " %s%llu", v < 0 ? "-" : "+", mag); break;
    }
    return text;
}

// Where byte `i` of data laid in at `offset` lands: its sector and its
// position in the raw image.
std::uint64_t data_sector(std::uint64_t offset, std::size_t i) {
    return offset / SECTOR_SIZE + (offset % SECTOR_SIZE + i) / USER_DATA_SIZE;
}
std::uint64_t data_position(std::uint64_t offset, std::size_t i) {
    return data_sector(offset, i) * SECTOR_SIZE + USER_DATA +
           (offset % SECTOR_SIZE + i) % USER_DATA_SIZE;
}

// The image with `data` laid in from `offset` and every touched sector
// rebuilt (the first one too when the data starts past its user data); the
// caller has made sure that every touched sector is whole.
bytes patched(const bytes& original, std::uint64_t offset, std::span<const std::uint8_t> data) {
    bytes out = original;
    if (data.empty()) return out;
    for (std::size_t i = 0; i < data.size(); ++i) out[data_position(offset, i)] = data[i];
    for (std::uint64_t s = offset / SECTOR_SIZE; s <= data_sector(offset, data.size() - 1); ++s)
        do_encode_L2(std::span(out).subspan(s * SECTOR_SIZE).first<SECTOR_SIZE>(), MODE_2_FORM_1,
                     static_cast<unsigned>(s + 150));
    return out;
}

// Matches of the -n name among the root's records (and the subdirectory's
// with -r), and the path of the last match.
int name_hits(const std::string& name, bool recurse, std::string& match) {
    auto fold = [](std::string t) {
        for (char& c : t)
            if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        return t;
    };
    int hits = 0;
    for (const auto& entry : image().where) {
        const std::string& path = entry.first;
        if (path.empty() || name.empty()) continue;
        const std::size_t slash = path.find('/');
        if (slash != std::string::npos && !recurse) continue;
        const std::string leaf = slash == std::string::npos ? path : path.substr(slash + 1);
        if (fold(leaf) == fold(name)) {
            ++hits;
            match = path;
        }
    }
    return hits;
}

// Applies a PPF 2.0 file to `target`; false when its layout is wrong.
bool apply_ppf(const bytes& ppf, bytes& target) {
    if (ppf.size() < PPF_HEADER || std::memcmp(ppf.data(), "PPF20", 5) != 0 || ppf[5] != 1)
        return false;
    std::size_t at = PPF_HEADER;
    while (at < ppf.size()) {
        if (ppf.size() - at < 5) return false;
        const std::uint32_t where = load_le32(std::span(ppf).subspan(at).first<4>());
        const std::size_t count = ppf[at + 4];
        at += 5;
        if (ppf.size() - at < count || where + count > target.size()) return false;
        std::copy_n(ppf.begin() + static_cast<std::ptrdiff_t>(at), count,
                    target.begin() + where);
        at += count;
    }
    return true;
}

void check_ppf_header(const bytes& ppf, const bytes& original, const char* description) {
    check(ppf.size() >= PPF_HEADER);
    std::array<std::uint8_t, 50> field{};
    if (description)
        std::copy_n(description, std::min<std::size_t>(std::strlen(description), 46),
                    field.begin());
    std::memcpy(field.data() + 46, "Lan", 3);
    check(std::equal(field.begin(), field.end(), ppf.begin() + 6));
    check(load_le32(std::span(ppf).subspan(56).first<4>()) == original.size());
    check(std::equal(ppf.begin() + 60, ppf.begin() + PPF_HEADER,
                     original.begin() + 16 * SECTOR_SIZE + 32));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static std::FILE* const sink = std::fopen("/dev/null", "w");
    check(sink != nullptr);
    opterr = 0;
    if (size < COMMAND_BYTES) return 0;
    const std::uint8_t flags = data[0];
    const std::uint8_t pick = data[1];
    const std::uint8_t form = data[2];
    const std::span<const std::uint8_t> patch(data + COMMAND_BYTES,
                                              std::min(size - COMMAND_BYTES, MAX_PATCH));

    const bool dry = flags & 0x01;
    const bool with_ppf = flags & 0x02;
    const bool recurse = flags & 0x04;
    const bool with_desc = flags & 0x08;
    const bytes& original = (flags & 0x10) ? image().with_tail : image().whole;
    const unsigned verify = (flags >> 5) & 3U;
    const bool with_name = flags & 0x80;
    const std::string name = NAMES[pick & 7U];
    const unsigned ppf_target = (pick >> 3) & 3U;
    const char* description = DESCRIPTIONS[pick >> 5];
    const unsigned kind = form & 3U;
    const unsigned other_mode = (form >> 5) & 3U;
    const std::size_t whole_sectors = original.size() / SECTOR_SIZE;

    long long value = 0;
    if (kind == 0) {
        const std::uint64_t sector = data[3] % (whole_sectors + 3);
        const std::uint64_t remainder = (data[4] | std::uint64_t{data[5]} << 8) % SECTOR_SIZE;
        value = static_cast<long long>(sector * SECTOR_SIZE + remainder);
    } else if (kind == 1) {
        value = static_cast<std::int32_t>(load_le32(std::span(data + 3, 4).first<4>()));
    } else if (kind == 2) {
        value = static_cast<std::int32_t>(load_le32(std::span(data + 3, 4).first<4>())) *
                    65536LL +
                data[7];
    }
    const bool with_offset = kind != 3;
    const bool verifying = verify == 1 || verify == 2;

    // What the run must do, worked out step by step: the usage text, the name
    // lookup, the refusals, then a verify run or a patch run.
    std::uint64_t offset = with_offset ? offset_value(value) : 0;
    int expected = -1;
    bool ppf_opened = false;  // the PPF file was created (emptied) by the run
    bool patch_run = false;
    // -l and -e (which take no offset, name, -v or PPF file) end with status 0.
    if (other_mode != 0 || (offset == 0 && !with_name)) expected = STATUS_OK;
    if (expected < 0 && offset == 0) {
        std::string match;
        if (name_hits(name, recurse, match) != 1) {
            expected = STATUS_NAME;
        } else {
            // A directory is refused (its path has no version), and so is a
            // patch that would run on past the file's last sector.
            const fixture::extent_info e = image().where.at(match);
            const std::uint64_t room =
                (e.length + USER_DATA_SIZE - 1) / USER_DATA_SIZE * USER_DATA_SIZE;
            if (match.find(';') == std::string::npos || (!verifying && patch.size() > room))
                expected = STATUS_FAIL;
            offset = std::uint64_t{e.sector} * SECTOR_SIZE;
        }
    }
    const std::uint64_t first = offset / SECTOR_SIZE;
    const std::uint64_t remainder = offset % SECTOR_SIZE;
    const bool in_user_data = remainder <= USER_DATA_SIZE;
    const std::uint64_t last = patch.empty() ? first : data_sector(offset, patch.size() - 1);
    const std::uint64_t touched = patch.empty() ? 0 : last - first + 1;

    bytes orig_data;  // the -v file
    if (verify == 1) orig_data.assign(patch.begin(), patch.end());
    if (verify == 2 && in_user_data)
        for (std::size_t i = 0; i < patch.size() && data_sector(offset, i) < whole_sectors; ++i)
            orig_data.push_back(original[data_position(offset, i)]);

    if (expected < 0 && !in_user_data) expected = STATUS_FAIL;
    if (expected < 0 && !verifying && !patch.empty() && last >= whole_sectors)
        expected = STATUS_FAIL;
    // A PPF file that is one of the run's inputs is refused.
    const bool ppf_is_input = ppf_target >= 2 || (ppf_target == 1 && verifying);
    if (expected < 0 && with_ppf && ppf_is_input) expected = STATUS_FAIL;
    if (expected < 0) {
        ppf_opened = with_ppf;
        if (verifying) {
            bool same = true;
            for (std::size_t i = 0; i < orig_data.size() && same; ++i)
                same = data_sector(offset, i) < whole_sectors &&
                       original[data_position(offset, i)] == orig_data[i];
            expected = same ? STATUS_OK : STATUS_FAIL;
        } else {
            expected = STATUS_OK;
            patch_run = true;
        }
    }

    // The files and the command line.
    static constexpr std::uint8_t STALE[] = {'o', 'l', 'd', ' ', 'P', 'P', 'F'};
    const unique_fd bin = memory_file("image", original);
    const unique_fd patch_fd = memory_file("patch", patch);
    const unique_fd orig_fd = memory_file("original", orig_data);
    const unique_fd ppf = memory_file("ppf", STALE);
    std::vector<std::string> args{"corvane"};
    if (other_mode == 1) args.emplace_back("-l");
    if (other_mode >= 2) args.emplace_back("-e");
    if (dry) args.emplace_back("-x");
    if (recurse) args.emplace_back("-r");
    if (with_ppf) {
        args.emplace_back("-p");
        const unique_fd& verified = verify == 1 ? patch_fd : orig_fd;
        args.push_back(path_of(ppf_target == 2                ? bin
                               : ppf_target == 3              ? patch_fd
                               : ppf_target == 1 && verifying ? verified
                                                              : ppf));
    }
    if (with_desc) {
        args.emplace_back("-d");
        args.emplace_back(description);
    }
    if (verifying) {
        args.emplace_back("-v");
        args.push_back(path_of(verify == 1 ? patch_fd : orig_fd));
    }
    if (with_name) {
        args.emplace_back("-n");
        args.push_back(name);
    }
    if (with_offset) {
        const std::string text = offset_text(value, (form >> 2) & 3U);
        if (form & 0x10) {
            args.push_back("-o" + text);
        } else {
            args.emplace_back("-o");
            args.push_back(text);
        }
    }
    args.push_back(path_of(other_mode == 3 ? bin : patch_fd));
    args.push_back(path_of(bin));
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    const int status = corvane_main(static_cast<int>(args.size()), argv.data(), sink, sink);
    check(status == expected);

    // The run's other inputs are never written.
    check(contents(patch_fd.get()) == bytes(patch.begin(), patch.end()));
    check(contents(orig_fd.get()) == orig_data);

    const bytes after = contents(bin.get());
    const bytes ppf_after = contents(ppf.get());
    if (patch_run && !dry)
        check(after == patched(original, offset, patch));
    else
        check(after == original);

    if (!ppf_opened) {
        check(std::equal(ppf_after.begin(), ppf_after.end(), std::begin(STALE), std::end(STALE)));
    } else if (!patch_run) {
        check(ppf_after.empty());  // created for a verify run, which writes none
    } else {
        check(ppf_after.size() == PPF_HEADER + PPF_SECTOR * touched);
        check_ppf_header(ppf_after, original, with_desc ? description : nullptr);
        bytes applied = original;
        check(apply_ppf(ppf_after, applied));
        check(applied == patched(original, offset, patch));
    }
    return 0;
}

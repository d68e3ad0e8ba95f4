#include "io/output.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

void report_errno(run_output& run, const char* message) {
    const int saved = errno;
    clear_progress(run);
    std::fflush(run.out);
    std::fprintf(run.err, "%s: %s\n", message, platform::error_text(saved));
    std::fflush(run.err);
}

void append_index(std::string& trace, std::uint64_t sector) {
    if (sector > 999999) {
        char text[24];
        std::snprintf(text, sizeof text, "%6llu", static_cast<unsigned long long>(sector));
        trace += text;
        return;
    }
    char text[6] = {' ', ' ', ' ', ' ', ' ', '0'};
    for (std::uint64_t v = sector, at = 5; v != 0; v /= 10, --at)
        text[at] = static_cast<char>('0' + v % 10);
    trace.append(text, sizeof text);
}

void append_read_sector(std::string& trace) { trace += " | READSECTOR(2352)"; }

void append_read_patch(std::string& trace, std::size_t count) {
    const char digits[4] = {static_cast<char>('0' + count / 1000 % 10),
                            static_cast<char>('0' + count / 100 % 10),
                            static_cast<char>('0' + count / 10 % 10),
                            static_cast<char>('0' + count % 10)};
    trace += " | READPATCH(";
    trace.append(digits, 4);
    trace += ')';
}

void append_directory(std::string& trace) { trace += " | DIRECTORY"; }

void append_rebuilt(std::string& trace) { trace += " | EDC_ECC | WRITESECTOR(2352)\n"; }

void print_trace(run_output& run, const std::string& trace) {
    if (std::FILE* to = trace_stream(run)) std::fwrite(trace.data(), 1, trace.size(), to);
}

void tprintf(std::FILE* to, const char* format, ...) {
    if (to == nullptr) return;
    std::va_list args;
    va_start(args, format);
    std::vfprintf(to, format, args);
    va_end(args);
}

void print_index(run_output& run, std::uint64_t sector) {
    std::string index;
    append_index(index, sector);
    print_trace(run, index);
}

long read_sector_traced(run_output& run, int fd, sector_span buffer, std::uint64_t sector) {
    std::string step;
    append_read_sector(step);
    print_trace(run, step);
    const long n = read_sector_quietly(fd, buffer, sector);
    // A position the file cannot have or reach is a failed seek.
    const bool seek = errno == ESPIPE || errno == EINVAL || errno == EOVERFLOW || errno == ENXIO;
    if (n < 0 && errno != 0) report_errno(run, seek ? "\nFailed to seek to sector" : "\nFailed to read sector");
    return n;
}

void report_short_data(run_output& run, std::size_t asked) {
    std::fprintf(run.out, "\nFailed to read %d bytes from patch file\n", static_cast<int>(asked));
}

long read_data(run_output& run, data_reader& source, std::span<std::uint8_t> buffer,
               std::uint64_t& remaining) {
    const auto ask = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), remaining));
    if (source.read(buffer.first(ask), remaining) != ask) {
        report_short_data(run, buffer.size());
        return -1;
    }
    remaining -= ask;
    std::string step;
    append_read_patch(step, ask);
    print_trace(run, step);
    return static_cast<long>(ask);
}

std::string printable_name(std::string_view name) {
    std::string printable(name);
    for (char& c : printable) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E) c = '?';
    }
    return printable;
}

namespace {

// The length of the UTF-8 letter that starts `text`, 0 when it starts with
// none: a byte that starts no sequence, one cut short, an overlong form, a
// surrogate, a value past U+10FFFF, or a C1 control (U+0080..U+009F).
std::size_t letter_length(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || lead > 0xF4 || text.size() < length) return 0;
    std::uint32_t value = lead & (0x7Fu >> length);
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80) return 0;
        value = value << 6 | (next & 0x3Fu);
    }
    static constexpr std::uint32_t LEAST[5] = {0, 0, 0xA0, 0x800, 0x10000};
    const bool fits = value >= LEAST[length] && value <= 0x10FFFF && (value < 0xD800 || value > 0xDFFF);
    return fits ? length : 0;
}

}  // namespace

std::string printable_text(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    while (!text.empty()) {
        const auto byte = static_cast<unsigned char>(text[0]);
        const std::size_t letter = byte >= 0x80 ? letter_length(text) : std::size_t{byte >= 0x20 && byte < 0x7F};
        shown.append(letter != 0 ? text.substr(0, letter) : "?");
        text.remove_prefix(letter != 0 ? letter : 1);
    }
    return shown;
}

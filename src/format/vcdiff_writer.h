// VCDIFF writer (the format of xdelta patches): a target built from copies
// of a source file and added bytes, in windows of at most 8 MiB of target,
// each with the Adler-32 of its target as xdelta3 marks it (bit 0x04 of the
// window indicator, four bytes big-endian after the section lengths). No
// secondary compression; the standard code table. The header's application
// data say the source's size and CRC-32 ("corvane:source-size=N:source-crc32=
// XXXXXXXX", no slash, so decoders that read file names there find none).
// Writes into a byte buffer the caller drains; knows nothing of files.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

inline constexpr std::uint64_t VCDIFF_WINDOW = 8 * 1024 * 1024;

class vcdiff_writer {
public:
    // Starts the file: the header, with the source's size and CRC-32.
    vcdiff_writer(std::uint64_t source_size, std::uint32_t source_crc);

    // The next target bytes, added as they are.
    void add(std::span<const std::uint8_t> bytes);
    // The next target bytes, copied from the source at `at`: `bytes` are
    // what the source holds there (the window's checksum covers them).
    void copy(std::uint64_t at, std::span<const std::uint8_t> bytes);
    // The next target bytes, copied from the target itself at `at` (an
    // offset in the whole target, before the next byte): where those bytes
    // are in an earlier window, they are added instead.
    void copy_target(std::uint64_t at, std::span<const std::uint8_t> bytes);
    // Ends the last window.
    void finish();

    // What is ready to be written; the caller empties it.
    std::vector<std::uint8_t>& output() { return out_; }

    std::uint64_t windows() const { return windows_; }
    std::uint64_t copies() const { return copies_; }
    std::uint64_t copied() const { return copied_; }
    std::uint64_t adds() const { return adds_; }
    std::uint64_t added() const { return added_; }

private:
    struct instruction {
        bool is_copy;
        std::uint64_t size;
        std::uint64_t at;  // copy: source offset (or target offset); add: offset into data_
        bool from_target = false;
    };

    void copy_from(std::uint64_t at, std::span<const std::uint8_t> bytes, bool from_target);
    void flush_window();
    void checksum(std::span<const std::uint8_t> bytes);
    std::uint64_t room() const { return VCDIFF_WINDOW - target_; }

    std::vector<std::uint8_t> out_;
    std::vector<instruction> window_;
    std::vector<std::uint8_t> data_;      // the window's added bytes
    std::uint64_t target_ = 0;            // target bytes in the window
    std::uint64_t window_at_ = 0;         // target bytes before the window
    std::uint32_t adler_ = 1;  // Adler-32 of the window's target so far
    std::uint64_t windows_ = 0, copies_ = 0, copied_ = 0, adds_ = 0, added_ = 0;
};

// The VCDIFF integer: base 128, most significant digit first, the top bit
// set on every byte but the last.
void put_varint(std::vector<std::uint8_t>& out, std::uint64_t value);

// Explicit big- and little-endian loads and stores over byte spans. Every
// multi-byte field the tool reads from an image or writes into a file goes
// through these, so the bytes are the same on hosts of either byte order.
#pragma once

#include <cstdint>
#include <span>

constexpr std::uint32_t load_be32(std::span<const std::uint8_t, 4> b) {
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) |
           (std::uint32_t{b[2]} << 8) | std::uint32_t{b[3]};
}

constexpr std::uint32_t load_le32(std::span<const std::uint8_t, 4> b) {
    return (std::uint32_t{b[3]} << 24) | (std::uint32_t{b[2]} << 16) |
           (std::uint32_t{b[1]} << 8) | std::uint32_t{b[0]};
}

constexpr std::uint16_t load_le16(std::span<const std::uint8_t, 2> b) {
    return static_cast<std::uint16_t>((b[1] << 8) | b[0]);
}

constexpr void store_le32(std::span<std::uint8_t, 4> b, std::uint32_t v) {
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
    b[2] = static_cast<std::uint8_t>(v >> 16);
    b[3] = static_cast<std::uint8_t>(v >> 24);
}

constexpr void store_be32(std::span<std::uint8_t, 4> b, std::uint32_t v) {
    b[0] = static_cast<std::uint8_t>(v >> 24);
    b[1] = static_cast<std::uint8_t>(v >> 16);
    b[2] = static_cast<std::uint8_t>(v >> 8);
    b[3] = static_cast<std::uint8_t>(v);
}

constexpr void store_le16(std::span<std::uint8_t, 2> b, std::uint16_t v) {
    b[0] = static_cast<std::uint8_t>(v);
    b[1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void store_be16(std::span<std::uint8_t, 2> b, std::uint16_t v) {
    b[0] = static_cast<std::uint8_t>(v >> 8);
    b[1] = static_cast<std::uint8_t>(v);
}

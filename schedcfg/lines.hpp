// The texts that listen mode prints for a received body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "schedcfg/lin_protocol.hpp"

namespace schedcfg {

// Room for the longest line: a dump or frame line of a full 256-byte body.
inline constexpr std::size_t line_size = 1536;

// Each returns the length of the text written into out (always NUL-terminated).

// "<<  " and "0x%02x " per body byte, then a newline.
std::size_t format_dump(std::span<char, line_size> out, std::span<const std::uint8_t> body);

// Time stamp, identifier, data length, data bytes and trailer of a valid body; every field
// followed by one space.
std::size_t format_frame_line(std::span<char, line_size> out, long seconds, long nanoseconds,
                              std::span<const std::uint8_t> valid_body);

// The message of a failed check (empty for a valid body).
std::size_t format_verdict(std::span<char, line_size> out, body_verdict verdict,
                           std::span<const std::uint8_t> body);

}  // namespace schedcfg

// LIN co-processor serial protocol: command messages, answers, forwarded-frame bodies.
// Every field is one byte; the same start sequence opens every message in both directions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace schedcfg {

inline constexpr std::array<std::uint8_t, 4> start_sequence{0x7E, 0x7E, 0x7E, 0xA7};
inline constexpr std::uint8_t start_byte = 0x7E;
inline constexpr std::uint8_t start_last = 0xA7;

inline constexpr std::size_t command_buffer_size = 256;
// Start sequence, LOM, type and checksum leave this much room for argument bytes.
inline constexpr std::size_t max_argument_bytes = command_buffer_size - 7;
inline constexpr std::size_t response_size = 5;
inline constexpr std::size_t message_buffer_size = 256;
// The first body read: a whole body with up to 12 data bytes.
inline constexpr std::size_t body_first_read = 18;
inline constexpr std::size_t body_min_read = 3;
inline constexpr std::uint8_t forwarded_frame_type = 7;

// XOR of the bytes, starting from 0.
std::uint8_t xor_checksum(std::span<const std::uint8_t> bytes);

// Builds a command message: start sequence, LOM, type, arguments, checksum. Returns its length
// (LOM + 5), or 0 when the arguments do not fit.
std::size_t build_command(std::span<std::uint8_t, command_buffer_size> out, std::uint8_t type,
                          std::span<const std::uint8_t> args);

// The answer to a command: start sequence and one error code byte.
enum class answer { accepted, rejected, bad_start };
struct answer_check {
    answer result;
    std::uint8_t error_code;           // when rejected
    std::array<std::uint8_t, 4> head;  // the first four bytes, zero where none arrived
};
answer_check check_answer(std::span<const std::uint8_t> received);
const char* error_text(std::uint8_t code);

// Start-sequence search, one byte at a time. The counter of 0x7E bytes lives with the caller
// and carries over from one search to the next.
enum class search_step {
    found,      // 0xA7 after three or more 0x7E
    counted,    // 0x7E, or an 0xA7 that came too early (passed over, counter kept)
    discarded,  // anything else: reported, counter back to 0
};
search_step search_byte(int& counter, std::uint8_t byte);

// Bytes the body's LOM still promises beyond those received (0 when none are missing).
std::size_t missing_body_bytes(std::span<const std::uint8_t> body);

// Checks on a received body, in their fixed order; the first that fails decides.
enum class body_verdict { valid, short_body, checksum_error, lom_mismatch, wrong_type, bad_status };
body_verdict validate_body(std::span<const std::uint8_t> body);

// The frame a valid body carries.
struct lin_frame {
    std::uint8_t identifier;             // bits 0-5 of body byte 3
    int data_length;                     // count - 6; negative for LOM 3 or 4
    std::span<const std::uint8_t> data;  // empty when data_length <= 0
    std::uint8_t trailer;                // the byte after the data
};
lin_frame frame_of(std::span<const std::uint8_t> valid_body);

}  // namespace schedcfg

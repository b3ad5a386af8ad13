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

// A command message: the start sequence, then LOM (the bytes after it but the checksum), type,
// the argument bytes and the checksum, the XOR of LOM, type and arguments.
namespace command_field {
inline constexpr std::size_t lom = 4;
inline constexpr std::size_t type = 5;
inline constexpr std::size_t args = 6;
}  // namespace command_field

// A forwarded-frame body, the bytes after the start sequence:
//   offset  field
//        0  LOM: the bytes after it
//        1  type: forwarded_frame_type
//        2  status: 0 when the co-processor had no error
//        3  identifier, in bits 0-5
//        4  the data bytes, then the trailer
//     last  checksum: the XOR of every byte before it
// So a body holds body_overhead bytes besides its data. A worked example, frame 0x0a with data
// 01 02 03 and trailer 0x5c: 08 07 00 0a 01 02 03 5c 59.
namespace body_field {
inline constexpr std::size_t lom = 0;
inline constexpr std::size_t type = 1;
inline constexpr std::size_t status = 2;
inline constexpr std::size_t identifier = 3;
inline constexpr std::size_t data = 4;
}  // namespace body_field
inline constexpr std::size_t body_overhead = 6;  // LOM, type, status, identifier, trailer, checksum

inline constexpr std::size_t command_buffer_size = 256;
// Start sequence, LOM, type and checksum leave this much room for argument bytes.
inline constexpr std::size_t max_argument_bytes = command_buffer_size - 7;
inline constexpr std::size_t response_size = 5;
inline constexpr std::size_t message_buffer_size = 256;
// The first body read: a whole body with up to 12 data bytes.
inline constexpr std::size_t body_first_read = 18;
inline constexpr std::size_t body_min_read = 3;
// The read that completes a body waits this long, whatever the listen time-out.
inline constexpr int completion_timeout_seconds = 1;
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

// The port as the reading of a message uses it.
inline constexpr long read_interrupted = -2;
struct message_port {
    void* context;
    // Waits for input and reads it, a second time only when the first read brought fewer than
    // `minimum` bytes. Returns the bytes placed, 0 when a wait ran out, read_interrupted when a
    // signal cut a wait short, another negative value when a wait or read failed.
    long (*read)(void* context, std::uint8_t* into, std::size_t size, std::size_t minimum,
                 int timeout_seconds);
    // Asked before each byte of the start-sequence search: true ends the search.
    bool (*stop_requested)(void* context);
    // Each byte the search took, with what it made of it.
    void (*searched)(void* context, std::uint8_t byte, search_step step);
};

enum class message_read {
    body,              // the body's bytes are in the buffer (short when its completion ran out)
    stopped,           // a stop before or during the search for a start sequence
    interrupted,       // a signal cut the body read or its completion short
    failed,            // a wait or read failed
    search_timed_out,  // no byte within the time-out while searching
    body_timed_out,    // no body within the time-out after a start sequence
};
struct message_result {
    message_read outcome;
    std::size_t count;  // body bytes read
};

// One forwarded-frame message off the port: the start-sequence search (the counter carries over
// from one message to the next), the body read, and one more read for what its LOM still
// promises. The search and the body read wait `timeout_seconds` at most.
message_result read_message(const message_port& port, int& counter,
                            std::span<std::uint8_t, message_buffer_size> message,
                            int timeout_seconds);

// Checks on a received body, in their fixed order; the first that fails decides.
enum class body_verdict { valid, short_body, checksum_error, lom_mismatch, wrong_type, bad_status };
body_verdict validate_body(std::span<const std::uint8_t> body);

// The frame a valid body carries.
struct lin_frame {
    std::uint8_t identifier;             // bits 0-5 of body byte 3
    int data_length;                     // count - body_overhead; negative for LOM 3 or 4
    std::span<const std::uint8_t> data;  // empty when data_length <= 0
    std::uint8_t trailer;                // the byte after the data
};
lin_frame frame_of(std::span<const std::uint8_t> valid_body);

}  // namespace schedcfg

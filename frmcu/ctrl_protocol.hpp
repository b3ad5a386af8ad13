// Node control protocol: one request, one response per TCP connection, big-endian fields.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace frmcu {

inline constexpr std::array<std::uint8_t, 4> ctrl_magic{'F', 'C', '0', '1'};
inline constexpr std::size_t ctrl_header_size = 10;
inline constexpr std::size_t max_response_message = 256;
inline constexpr std::size_t statistics_record_size = 44;
inline constexpr std::uint16_t response_bit = 0x8000;

// Command words; a word's command code is its position counted from 1.
// Interface texts, exact to the letter: scripts in the field match them and the
// tests pin them. Never tidy one.
inline constexpr std::array<std::string_view, 3> cmd_strings{"start", "stop", "statistics"};
inline constexpr int cmd_start = 1;
inline constexpr int cmd_stop = 2;
inline constexpr int cmd_statistics = 3;

// FR_CTRL_HEADER: magic "FC01", total length (header included), ID.
struct FR_CTRL_HEADER {
    std::array<std::uint8_t, 4> magic;
    std::uint32_t length;
    std::uint16_t id;
};

// FR_CTRL_REQ is a bare header: magic, length 10, ID = command code. A worked example: the
// request for statistics is 46 43 30 31 00 00 00 0a 00 03, and the answer to start that says OK
// is 46 43 30 31 00 00 00 0c 80 01 00 00 (ID 0x8001, return code 0).
using FR_CTRL_REQ = std::array<std::uint8_t, ctrl_header_size>;

FR_CTRL_REQ build_request(int command_code);
FR_CTRL_HEADER parse_header(std::span<const std::uint8_t, ctrl_header_size> bytes);

// The statistics record: eleven words at the start of the statistics response message.
struct statistics {
    std::uint32_t overrun, syntax, frame, content, boundary, fifo_level, state, mode, bytes, frames,
        null_frames;
};

// Acceptance rules, in their fixed order; the first that fails decides.
enum class verdict {
    accepted,
    short_header,     // fewer than 10 header bytes received
    wrong_magic,      //
    wrong_id,         // ID is not command code | 0x8000
    wrong_length,     // header length - 10 differs from the message bytes received
    no_return_code,   // message shorter than the 2-byte return code
    return_code_bad,  // return code not 0
    short_statistics  // statistics message too short for the record
};

// Header rules (magic, then ID) on the bytes actually received.
verdict check_header(std::span<const std::uint8_t> received, int command_code);

// Message rules (length, then return code) on a header that passed check_header.
struct message_result {
    verdict result;
    int received;   // message bytes received
    int announced;  // header length - 10
    std::uint16_t return_code;
};
message_result check_message(const FR_CTRL_HEADER& header, std::span<const std::uint8_t> message);

// Decodes the record of an accepted statistics response; short_statistics when the message
// cannot hold it.
verdict decode_statistics(std::span<const std::uint8_t> message, statistics& out);

const char* state_to_string(std::uint32_t state);
const char* mode_to_string(std::uint32_t mode);
const char* return_code_to_string(unsigned return_code);

// Command word matching: the text matches a word when it begins with it; the first match wins.
// Returns the command code, or -1.
int match_command(std::string_view text);

}  // namespace frmcu

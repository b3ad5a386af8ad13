// NMEA 0183 sentence assembly, checksum and GPRMC decoding: bytes in, fixes and texts out.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

namespace nmeaview {

// Longest sentence ever complete, "$" and line end included.
inline constexpr int sentence_max = 79;

enum class assembler_state { idle, body, checksum_high, checksum_low, line_end };

struct assembler {
    std::array<char, sentence_max + 1> buffer{};
    int position = 0;  // next free position in buffer
    assembler_state state = assembler_state::idle;
    int computed = 0;  // XOR of the body
    int received = 0;  // value of the digits after "*"
};

// Feeds one byte. Returns true when the byte completes a sentence whose checksum matches; `text`
// then holds the sentence from the character after "$" up to, not including, its LF. The view
// stays valid until the next byte is fed.
bool feed(assembler& a, char byte, std::string_view& text);

// What the printed line shows; values persist from sentence to sentence.
struct position_record {
    int year, month, day;
    int hour, minute, second;
    int lat_degrees, lat_minutes, lat_fraction;
    int lon_degrees, lon_minutes, lon_fraction;
    int speed;  // tenths of a knot
};

enum class sentence_kind {
    ignored,  // unknown name, malformed, or a needed comma or point missing
    gpgga,    // recognised, shows nothing
    gprmc     // record updated; print it
};

sentence_kind handle_sentence(std::string_view text, position_record& record);

// The line printed for a GPRMC sentence; returns its length.
inline constexpr std::size_t line_max = 256;
std::size_t format_fix(const position_record& record, std::span<char, line_max> out);

// One run's reading: the sentence being assembled and the record that the lines show.
struct reader_state {
    assembler sentence;
    position_record record{};
};

// Feeds one byte from the port; returns the length of the line it has printed into `line`, or 0
// when there is nothing to print.
std::size_t take_byte(reader_state& reader, char byte, std::span<char, line_max> line);

}  // namespace nmeaview

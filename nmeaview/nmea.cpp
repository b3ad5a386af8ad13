#include "nmeaview/nmea.hpp"

#include <cstdint>
#include <cstdio>

namespace nmeaview {

namespace {

// Checksum digits are uppercase hex; anything else counts as 0.
int digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

bool is_checksum_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

// A part of `s` (clipped to it); substr would drag in the exception machinery.
std::string_view slice(std::string_view s, std::size_t pos, std::size_t count) {
    if (pos > s.size()) pos = s.size();
    if (count > s.size() - pos) count = s.size() - pos;
    return std::string_view(s.data() + pos, count);
}

void store(assembler& a, char byte) {
    a.buffer[static_cast<std::size_t>(a.position)] = byte;
    ++a.position;
}

constexpr std::int64_t value_max = INT32_MAX;
constexpr std::int64_t value_min = INT32_MIN;

int clamp_value(std::int64_t v) {
    return static_cast<int>(v > value_max ? value_max : v < value_min ? value_min : v);
}

// Decimal conversion as the board's strtol does it (32-bit long): leading white space, a sign,
// digits up to the first other character; out-of-range values saturate. Never reads past `s`.
int to_long(std::string_view s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    std::int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > value_max + 1) v = value_max + 1;  // enough to saturate either way
    }
    return clamp_value(negative ? -v : v);
}

// The field starting at `pos`, up to its comma; `pos` moves past the comma. False when no comma
// follows in the sentence.
bool next_field(std::string_view text, std::size_t& pos, std::string_view& field) {
    const std::size_t comma = text.find(',', pos);
    if (comma == std::string_view::npos) return false;
    field = slice(text, pos, comma - pos);
    pos = comma + 1;
    return true;
}

// Two-character piece of a time or date field at `offset` from its start. A short field lends
// the characters that follow it, but never more than the sentence holds.
int piece(std::string_view text, std::size_t field_start, std::size_t offset) {
    return to_long(slice(text, field_start + offset, 2));
}

// Splits a number field at its decimal point; false without one.
bool split_point(std::string_view field, std::string_view& whole, std::string_view& fraction) {
    const std::size_t point = field.find('.');
    if (point == std::string_view::npos) return false;
    whole = slice(field, 0, point);
    fraction = slice(field, point + 1, field.size());
    return true;
}

// ddmm.mmmm or dddmm.mmmm: degrees, whole minutes, the digits after the point as an integer.
bool take_angle(std::string_view field, int& degrees, int& minutes, int& fraction) {
    std::string_view whole, frac;
    if (!split_point(field, whole, frac)) return false;
    const int v = to_long(whole);
    degrees = v / 100;
    minutes = v - 100 * degrees;
    fraction = to_long(frac);
    return true;
}

// Tenths: the whole part and the first digit after the point (0 when the point ends the field).
bool take_tenths(std::string_view field, int& tenths) {
    std::string_view whole, frac;
    if (!split_point(field, whole, frac)) return false;
    const int first = to_long(slice(frac, 0, 1));
    tenths = clamp_value(std::int64_t{10} * to_long(whole) + first);
    return true;
}

sentence_kind handle_gprmc(std::string_view text, std::size_t pos, position_record& r) {
    std::string_view field;
    const std::size_t time_start = pos;
    if (!next_field(text, pos, field)) return sentence_kind::ignored;
    std::string_view status;
    if (!next_field(text, pos, status)) return sentence_kind::ignored;
    if (!status.empty() && status[0] == 'A') {
        if (!next_field(text, pos, field) ||
            !take_angle(field, r.lat_degrees, r.lat_minutes, r.lat_fraction))
            return sentence_kind::ignored;
        if (!next_field(text, pos, field)) return sentence_kind::ignored;  // N/S
        if (!next_field(text, pos, field) ||
            !take_angle(field, r.lon_degrees, r.lon_minutes, r.lon_fraction))
            return sentence_kind::ignored;
        if (!next_field(text, pos, field)) return sentence_kind::ignored;  // E/W
        if (!next_field(text, pos, field) || !take_tenths(field, r.speed))
            return sentence_kind::ignored;
        int course = 0;  // must be well-formed, but is not shown
        if (!next_field(text, pos, field) || !take_tenths(field, course))
            return sentence_kind::ignored;
    } else {
        // Without a fix the position fields are passed over; the last fix stays on show.
        for (int k = 3; k <= 8; ++k)
            if (!next_field(text, pos, field)) return sentence_kind::ignored;
    }
    const std::size_t date_start = pos;
    if (!next_field(text, pos, field)) return sentence_kind::ignored;

    r.hour = piece(text, time_start, 0);
    r.minute = piece(text, time_start, 2);
    r.second = piece(text, time_start, 4);
    r.day = piece(text, date_start, 0);
    r.month = piece(text, date_start, 2);
    r.year = piece(text, date_start, 4);
    return sentence_kind::gprmc;
}

}  // namespace

bool feed(assembler& a, char byte, std::string_view& text) {
    if (a.position > sentence_max - 1) {
        // Too long to be a sentence: start over, looking at this byte afresh.
        a.position = 0;
        a.state = assembler_state::idle;
    }
    switch (a.state) {
        case assembler_state::idle:
            if (byte == '$') {
                a.computed = 0;
                store(a, byte);
                a.state = assembler_state::body;
            }
            return false;
        case assembler_state::body:
            store(a, byte);
            if (byte == '*')
                a.state = assembler_state::checksum_high;
            else
                a.computed ^= static_cast<unsigned char>(byte);
            return false;
        case assembler_state::checksum_high:
            store(a, byte);
            a.received = digit_value(byte) * 16;
            a.state = assembler_state::checksum_low;
            return false;
        case assembler_state::checksum_low:
            store(a, byte);
            a.received = is_checksum_digit(byte) ? a.received | digit_value(byte) : 0;
            a.state = assembler_state::line_end;
            return false;
        case assembler_state::line_end:
            if (byte == '\r') {
                store(a, byte);
                return false;
            }
            if (byte == '\n') {
                store(a, byte);
                a.state = assembler_state::idle;
                // From after "$" to before the LF.
                text =
                    std::string_view(a.buffer.data() + 1, static_cast<std::size_t>(a.position - 2));
                a.position = 0;
                return a.computed == a.received;
            }
            // Anything else after the checksum spoils the sentence; the byte goes with it.
            a.position = 0;
            a.state = assembler_state::idle;
            return false;
    }
    return false;
}

sentence_kind handle_sentence(std::string_view text, position_record& record) {
    std::size_t pos = 0;
    std::string_view name;
    if (!next_field(text, pos, name)) return sentence_kind::ignored;
    if (name == "GPRMC") return handle_gprmc(text, pos, record);
    if (name == "GPGGA") return sentence_kind::gpgga;
    return sentence_kind::ignored;
}

// Interface texts, exact to the letter: scripts in the field match them and the
// tests pin them. Never tidy one.
std::size_t format_fix(const position_record& r, std::span<char, line_max> out) {
    const int n = std::snprintf(
        out.data(), out.size(),
        "\r\n+GPRMC: Fix Time: %d%d%d %d:%d:%d Lat: %d.%d.%d, Long: %d.%d.%d Speed: %d\r\n", r.year,
        r.month, r.day, r.hour, r.minute, r.second, r.lat_degrees, r.lat_minutes, r.lat_fraction,
        r.lon_degrees, r.lon_minutes, r.lon_fraction, r.speed);
    return n < 0 ? 0 : static_cast<std::size_t>(n);
}

std::size_t take_byte(reader_state& reader, char byte, std::span<char, line_max> line) {
    std::string_view text;
    if (!feed(reader.sentence, byte, text)) return 0;
    if (handle_sentence(text, reader.record) != sentence_kind::gprmc) return 0;
    return format_fix(reader.record, line);
}

}  // namespace nmeaview

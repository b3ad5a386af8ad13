// The GPS receiver's bytes as nmeaview takes them: sentence assembly, checksum, the GPRMC walk
// and the printed line.
//
// Input: what the receiver sends. It is taken once byte by byte and once in reads of 1 to 128
// bytes, their sizes drawn from the input itself.
#include <algorithm>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/common.hpp"
#include "nmeaview/nmea.hpp"

namespace {

using namespace nmeaview;

bool is_upper_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
int upper_hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// The statuses of the sentences that could have ended with the LF at `end`: "$GPRMC," within
// the longest sentence before it, the body up to the first "*", two checksum characters that
// match the body's XOR, then CRs alone. 'A' is a fix, '-' anything else.
std::string gprmc_candidates(std::string_view in, std::size_t end) {
    std::string statuses;
    const std::size_t first = end + 1 >= sentence_max ? end + 1 - sentence_max : 0;
    for (std::size_t s = first; s + 7 <= end; ++s) {
        if (in.substr(s, 7) != "$GPRMC,") continue;
        const std::size_t star = in.find('*', s);
        if (star == std::string_view::npos || star + 3 > end) continue;
        if (in.find_first_not_of('\r', star + 3) != end) continue;
        int sum = 0;
        for (std::size_t k = s + 1; k < star; ++k)
            sum ^= static_cast<unsigned char>(in[k]);
        const char high = in[star + 1], low = in[star + 2];
        const int received =
            is_upper_hex(low) ? upper_hex_value(high) * 16 + upper_hex_value(low) : 0;
        if (sum != received) continue;
        // The status is the first character of the field after the time.
        const std::size_t time_end = in.find(',', s + 7);
        const bool fix = time_end < end && in[time_end + 1] == 'A';
        statuses += fix ? 'A' : '-';
    }
    return statuses;
}

bool same_position(const position_record& a, const position_record& b) {
    return a.lat_degrees == b.lat_degrees && a.lat_minutes == b.lat_minutes &&
           a.lat_fraction == b.lat_fraction && a.lon_degrees == b.lon_degrees &&
           a.lon_minutes == b.lon_minutes && a.lon_fraction == b.lon_fraction && a.speed == b.speed;
}
bool same_time(const position_record& a, const position_record& b) {
    return a.year == b.year && a.month == b.month && a.day == b.day && a.hour == b.hour &&
           a.minute == b.minute && a.second == b.second;
}

// The line shows the record, nothing padded, and fits its buffer.
void check_line(std::string_view line, const position_record& r) {
    constexpr std::string_view head = "\r\n+GPRMC: Fix Time: ";
    FUZZ_REQUIRE(line.size() < line_max && line.starts_with(head) && line.ends_with("\r\n"));
    const std::string date =
        std::to_string(r.year) + std::to_string(r.month) + std::to_string(r.day);
    FUZZ_REQUIRE(line.substr(head.size(), date.size()) == date);
    char rest[line_max];
    std::snprintf(rest, sizeof rest, " %d:%d:%d Lat: %d.%d.%d, Long: %d.%d.%d Speed: %d\r\n",
                  r.hour, r.minute, r.second, r.lat_degrees, r.lat_minutes, r.lat_fraction,
                  r.lon_degrees, r.lon_minutes, r.lon_fraction, r.speed);
    FUZZ_REQUIRE(line.substr(head.size() + date.size()) == rest);
    // Two characters make each piece of the time and the date.
    for (int v : {r.year, r.month, r.day, r.hour, r.minute, r.second})
        FUZZ_REQUIRE(v >= -9 && v <= 99);
    FUZZ_REQUIRE(r.lat_minutes > -100 && r.lat_minutes < 100);
    FUZZ_REQUIRE(r.lon_minutes > -100 && r.lon_minutes < 100);
}

// A fix sentence in its plainest form: "$GPRMC,hhmmss,A,ddmm.f,N,dddmm.f,E,s.f,c.f,ddmmyy,"
// and anything up to "*", the right checksum in uppercase hex, CR LF or LF, 79 characters at
// most. Gives the record it must print and the position of its LF.
bool plain_fix(std::string_view in, std::size_t start, position_record& r, std::size_t& lf) {
    std::size_t at = start;
    auto take = [&](std::string_view text) {
        if (in.substr(at, text.size()) != text) return false;
        at += text.size();
        return true;
    };
    // `count` digits exactly (or 1 to `count` when `up_to`), as a number.
    auto digits = [&](std::size_t count, bool up_to, int& value) {
        std::size_t n = 0;
        value = 0;
        while (at + n < in.size() && n < count && in[at + n] >= '0' && in[at + n] <= '9')
            value = value * 10 + (in[at + n++] - '0');
        at += n;
        return up_to ? n > 0 : n == count;
    };
    auto one_of = [&](char a, char b) {
        if (at >= in.size() || (in[at] != a && in[at] != b)) return false;
        ++at;
        return true;
    };
    int time = 0, lat = 0, lon = 0, whole = 0, course = 0, date = 0;
    if (!take("$GPRMC,") || !digits(6, false, time) || !take(",A,")) return false;
    if (!digits(4, false, lat) || !take(".") || !digits(6, true, r.lat_fraction)) return false;
    if (!take(",") || !one_of('N', 'S') || !take(",")) return false;
    if (!digits(5, false, lon) || !take(".") || !digits(6, true, r.lon_fraction)) return false;
    if (!take(",") || !one_of('E', 'W') || !take(",")) return false;
    if (!digits(3, true, whole) || !take(".")) return false;
    if (at >= in.size() || in[at] < '0' || in[at] > '9') return false;
    r.speed = 10 * whole + (in[at] - '0');
    int rest = 0;
    digits(2, true, rest);  // the first digit again, and one more
    if (!take(",") || !digits(3, true, course) || !take(".") || !digits(3, true, course))
        return false;
    if (!take(",") || !digits(6, false, date) || !take(",")) return false;
    while (at < in.size() && in[at] != '*' && in[at] != '$' && in[at] != '\r' && in[at] != '\n')
        ++at;
    if (!take("*") || at + 2 > in.size() || !is_upper_hex(in[at]) || !is_upper_hex(in[at + 1]))
        return false;
    int sum = 0;
    for (std::size_t k = start + 1; k + 1 < at; ++k)
        sum ^= static_cast<unsigned char>(in[k]);
    if (sum != upper_hex_value(in[at]) * 16 + upper_hex_value(in[at + 1])) return false;
    at += 2;
    take("\r");
    if (!take("\n") || at - start > static_cast<std::size_t>(sentence_max)) return false;
    lf = at - 1;
    r.hour = time / 10000, r.minute = time / 100 % 100, r.second = time % 100;
    r.lat_degrees = lat / 100, r.lat_minutes = lat % 100;
    r.lon_degrees = lon / 100, r.lon_minutes = lon % 100;
    r.day = date / 10000, r.month = date / 100 % 100, r.year = date % 100;
    return true;
}

bool same_record(const position_record& a, const position_record& b) {
    return same_position(a, b) && same_time(a, b);
}

// Byte by byte, with every line and every change of the record held against the sentence.
std::string take_checked(std::string_view in) {
    reader_state reader;
    std::array<char, line_max> line;
    std::string out;
    position_record promised{};
    std::size_t promised_at = std::string_view::npos;
    for (std::size_t i = 0; i < in.size(); ++i) {
        // A plain fix sentence that starts while no other one is under way must print.
        if (in[i] == '$' && reader.sentence.state == assembler_state::idle &&
            promised_at == std::string_view::npos && !plain_fix(in, i, promised, promised_at))
            promised_at = std::string_view::npos;
        const position_record before = reader.record;
        const std::size_t n = take_byte(reader, in[i], line);
        if (i == promised_at) {
            FUZZ_REQUIRE(n > 0 && same_record(reader.record, promised));
            promised_at = std::string_view::npos;
        }
        const position_record& after = reader.record;
        if (n == 0) {
            // Only a fix sentence that breaks off stores anything: its position, as it reads it.
            if (!same_position(before, after)) {
                FUZZ_REQUIRE(in[i] == '\n' && same_time(before, after));
                FUZZ_REQUIRE(gprmc_candidates(in, i).find('A') != std::string::npos);
            }
            continue;
        }
        // A line only for a GPRMC sentence with its checksum right; without a fix it shows the
        // position it had.
        FUZZ_REQUIRE(in[i] == '\n');
        const std::string statuses = gprmc_candidates(in, i);
        FUZZ_REQUIRE(!statuses.empty());
        if (statuses.find('A') == std::string::npos) FUZZ_REQUIRE(same_position(before, after));
        check_line(std::string_view(line.data(), n), after);
        out.append(line.data(), n);
    }
    return out;
}

// As the program reads the port: whole reads, each byte in turn.
std::string take_in_reads(std::string_view in, std::uint32_t seed) {
    reader_state reader;
    std::array<char, line_max> line;
    std::string out;
    std::size_t at = 0;
    while (at < in.size()) {
        seed = seed * 1103515245u + 12345u;
        const std::size_t n = std::min<std::size_t>(1 + (seed >> 16) % 128, in.size() - at);
        for (std::size_t k = 0; k < n; ++k)
            out.append(line.data(), take_byte(reader, in[at + k], line));
        at += n;
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view in(reinterpret_cast<const char*>(data), size);
    std::uint32_t seed = 2166136261u;
    for (std::size_t i = 0; i < size; ++i)
        seed = (seed ^ data[i]) * 16777619u;
    // How the bytes are split into reads never changes what is printed.
    FUZZ_REQUIRE(take_checked(in) == take_in_reads(in, seed));
    return 0;
}

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

// Byte by byte, with every line and every change of the record held against the sentence.
std::string take_checked(std::string_view in) {
    reader_state reader;
    std::array<char, line_max> line;
    std::string out;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const position_record before = reader.record;
        const std::size_t n = take_byte(reader, in[i], line);
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

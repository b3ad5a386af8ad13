// Sentences and printed lines shared by the nmeaview tests.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "tests/support/paths.hpp"

namespace nmea_test {

// The receiver's reference fix and the line it prints.
inline const std::string reference =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
inline const std::string no_fix = "$GPRMC,,V,,,,,,,,,,N*53\r\n";

inline std::string line(std::string_view fix) {
    return "\r\n+GPRMC: Fix Time: " + std::string(fix) + "\r\n";
}
inline const std::string reference_line =
    line("94323 12:35:19 Lat: 48.7.38, Long: 11.31.0 Speed: 224");

// "$", the body, "*", its checksum in uppercase hex, the line end.
inline std::string framed(std::string_view body, std::string_view end = "\r\n") {
    unsigned sum = 0;
    for (unsigned char c : body)
        sum ^= c;
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", sum);
    return "$" + std::string(body) + "*" + hex + std::string(end);
}

inline std::string recording(std::string_view name) {
    return std::string(support::source_dir) + "/tests/nmeaview/data/" + std::string(name);
}

}  // namespace nmea_test

// A whole termios record as one line of text, so that what the spy logs and what a test
// expects compare in full: the four flag words, the line discipline, every control character
// and both speeds.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdio>

namespace nmea_test {

inline int termios_text(char* out, std::size_t size, const termios& t) {
    int n = std::snprintf(out, size, "iflag %o oflag %o cflag %o lflag %o line %u cc", t.c_iflag,
                          t.c_oflag, t.c_cflag, t.c_lflag, static_cast<unsigned>(t.c_line));
    for (cc_t c : t.c_cc)
        n += std::snprintf(out + n, size - static_cast<std::size_t>(n), " %02x",
                           static_cast<unsigned>(c));
    return n + std::snprintf(out + n, size - static_cast<std::size_t>(n), " speed %u %u",
                             static_cast<unsigned>(t.c_ispeed), static_cast<unsigned>(t.c_ospeed));
}

}  // namespace nmea_test

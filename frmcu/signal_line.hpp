// "Signal handler for N signal\n", formatted without stdio so that a signal handler may write it.
#pragma once

#include <cstddef>

namespace frmcu {

// Fills `line` (48 bytes are enough) and returns the length; no terminator.
inline std::size_t format_signal_line(char (&line)[48], int sig) {
    std::size_t n = 0;
    for (const char* s = "Signal handler for "; *s; ++s)
        line[n++] = *s;
    char digits[12];
    std::size_t d = 0;
    for (unsigned v = static_cast<unsigned>(sig); d == 0 || v != 0; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d > 0)
        line[n++] = digits[--d];
    for (const char* s = " signal\n"; *s; ++s)
        line[n++] = *s;
    return n;
}

}  // namespace frmcu

#include "schedcfg/cli.hpp"

#include <climits>
#include <cstdlib>

namespace schedcfg {

int command_type(std::string_view word) {
    for (const auto& c : commands)
        if (c.word == word) return c.type;
    return -1;
}

bool argument_byte(const char* word, std::uint8_t& out) {
    const char* p = word;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    unsigned value = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        value = (value * 10 + static_cast<unsigned>(*p - '0')) & 0xFF;
    out = static_cast<std::uint8_t>(negative ? 0x100 - value : value);
    return true;
}

int option_number(const char* text) {
    const long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return static_cast<int>(v);
}

bool speed_of_baud(int baud, speed_t& out) {
    static constexpr struct {
        int baud;
        speed_t speed;
    } speeds[] = {{9600, B9600},   {19200, B19200},   {38400, B38400},
                  {57600, B57600}, {115200, B115200}, {230400, B230400}};
    for (const auto& s : speeds)
        if (s.baud == baud) {
            out = s.speed;
            return true;
        }
    return false;
}

}  // namespace schedcfg

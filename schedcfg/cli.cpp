#include "schedcfg/cli.hpp"

#include <getopt.h>

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

void read_options(int argc, char** argv, options& o) {
    int c;
    while ((c = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        ++o.option_count;
        switch (c) {
            case 'b':
                o.baud = option_number(optarg);
                break;
            case 'd':
                o.device = optarg;
                break;
            case 'l':
                o.frames_left = option_number(optarg);
                o.listen = 1;
                break;
            case 't':
                o.timeout = option_number(optarg);
                break;
            default:
                break;
        }
    }
}

command_request read_command(int argc, char** argv, int option_count) {
    command_request r{};
    const int position = command_position(option_count);
    if (position >= argc) {
        r.outcome = command_outcome::usage;
        return r;
    }
    r.word = argv[position];
    const int type = command_type(r.word);
    if (type < 0) {
        r.outcome = command_outcome::bad_command;
        return r;
    }
    r.type = static_cast<std::uint8_t>(type);
    r.count = static_cast<std::size_t>(argc - position - 1);
    if (r.count > max_argument_bytes) {
        r.outcome = command_outcome::too_many;
        return r;
    }
    for (std::size_t k = 0; k < r.count; ++k) {
        const char* arg = argv[static_cast<std::size_t>(position) + 1 + k];
        if (!argument_byte(arg, r.args[k])) {
            r.outcome = command_outcome::bad_argument;
            r.refused = arg;
            return r;
        }
    }
    r.outcome = command_outcome::send;
    return r;
}

}  // namespace schedcfg

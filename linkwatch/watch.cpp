#include "linkwatch/watch.hpp"

#include <arpa/inet.h>

#include <climits>
#include <cstdio>

namespace linkwatch {

void set_text(text& out, const char* in) {
    out.fill('\0');
    for (std::size_t i = 0; i < max_text && in[i] != '\0'; ++i)
        out[i] = in[i];
}

int parse_gpio(const char* in) {
    while (*in == ' ' || (*in >= '\t' && *in <= '\r'))
        ++in;
    const bool negative = *in == '-';
    if (*in == '-' || *in == '+') ++in;
    long long value = 0;
    for (; *in >= '0' && *in <= '9'; ++in) {
        value = value * 10 + (*in - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void reset_path(path_text& out, int gpio) {
    std::snprintf(out.data(), out.size(), "/sys/class/gpio/gpio%d/value", gpio);
}

bool host_address_matches(const char* host_address, in_addr interface_address) {
    in_addr host{};
    return inet_pton(AF_INET, host_address, &host) == 1 && host.s_addr == interface_address.s_addr;
}

elapsed_time elapsed_between(const timeval& from, const timeval& to) {
    elapsed_time e{static_cast<std::int64_t>(to.tv_sec) - static_cast<std::int64_t>(from.tv_sec),
                   static_cast<std::int64_t>(to.tv_usec) - static_cast<std::int64_t>(from.tv_usec)};
    if (e.micros < 0) {
        e.seconds -= 1;
        e.micros += 1000000;
    }
    return e;
}

bool receive_gives_up(int attempt, const elapsed_time& elapsed) {
    return elapsed.seconds >= receive_give_up_s || attempt >= last_receive_attempt;
}

bool open_failed(run_state& state) {
    if (state.open_failures >= open_failures_tolerated) return true;
    ++state.open_failures;
    return false;
}

}  // namespace linkwatch

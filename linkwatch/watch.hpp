// linkwatch: settings, timings and the decisions of the link probe and the reset, apart from the
// system calls that carry them out.
#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace linkwatch {

// Interface and address texts are held to 15 characters (an interface name's limit).
inline constexpr std::size_t max_text = 15;
using text = std::array<char, max_text + 1>;

struct settings {
    text interface {};
    text mcu_address{};
    text host_address{};
    int reset_gpio = 0;
    bool oneshot = false;
};

// Timings of the probe, the watch loop and the reset.
inline constexpr int connect_wait_s = 1;
inline constexpr int receive_timeout_s = 5;
inline constexpr int last_receive_attempt = 5;
inline constexpr int receive_give_up_s = 4;
inline constexpr std::size_t answer_bytes = 10;
inline constexpr int online_pause_s = 5;
inline constexpr int missing_pause_s = 1;
inline constexpr long pulse_low_ms = 200;
inline constexpr int settle_s = 2;
inline constexpr int probes_after_reset = 16;
inline constexpr long probe_gap_ms = 500;
inline constexpr int open_failures_tolerated = 10;
inline constexpr int open_failure_pause_s = 1;

enum class probe_result { online, interface_missing, offline };

// Copies `in`, cut to its first 15 characters.
void set_text(text& out, const char* in);

// A GPIO number as a decimal text: leading blanks, a sign, digits; no digits give 0, values
// beyond int are held at its limits.
int parse_gpio(const char* in);

// The reset line's sysfs value file.
using path_text = std::array<char, 48>;
void reset_path(path_text& out, int gpio);

// Whether the host address text names the interface's address; a text that is no valid dotted
// address never does.
bool host_address_matches(const char* host_address, in_addr interface_address);

// Time between two times of day, in whole seconds and microseconds (a second borrowed when the
// microseconds run negative).
struct elapsed_time {
    std::int64_t seconds;
    std::int64_t micros;
};
elapsed_time elapsed_between(const timeval& from, const timeval& to);

// After a receive that timed out: whether the probe gives up (else it receives again).
bool receive_gives_up(int attempt, const elapsed_time& elapsed);

// Open failures of the reset line; only a successful open clears the count.
struct run_state {
    int open_failures = 0;
};
// Counts a failed open; true when the count had already reached the tolerated number.
bool open_failed(run_state& state);

}  // namespace linkwatch

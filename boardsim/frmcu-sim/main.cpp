// frmcu-sim: stands in for the FR-MCU. Roles are switched on by their options and run side by
// side until SIGTERM or SIGINT.
#include <arpa/inet.h>
#include <getopt.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "boardsim/frmcu-sim/sim.hpp"
#include "frmcu/link.hpp"

namespace frmcu_sim {

std::atomic<bool> online{true};

namespace {
std::mutex say_mutex;

std::mutex state_mutex;
mcu_state current = mcu_state::up;
bool entered = false;
timespec entered_at{};
std::array<double, 3> spent{};  // seconds, by state
unsigned hangs = 0, resets = 0;
constexpr const char* state_names[] = {"up", "hung", "down"};

double seconds_between(const timespec& from, const timespec& to) {
    return static_cast<double>(to.tv_sec - from.tv_sec) +
           static_cast<double>(to.tv_nsec - from.tv_nsec) / 1e9;
}

// Adds the time since the last change to the current state's account.
void book(const timespec& now) {
    if (entered) spent[static_cast<std::size_t>(current)] += seconds_between(entered_at, now);
}

// Called with state_mutex held.
void change_state(mcu_state s, bool log) {
    timespec mono{}, real{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    clock_gettime(CLOCK_REALTIME, &real);
    book(mono);
    // Down first, so that no reader sees an FR-MCU that is neither hung nor down in between.
    if (s == mcu_state::down) online = false;
    hung = s == mcu_state::hung;
    if (s != mcu_state::down) online = true;
    if (s == mcu_state::hung && (!entered || current != s)) ++hangs;
    if (s == mcu_state::down && (!entered || current != s)) ++resets;
    current = s;
    entered = true;
    entered_at = mono;
    if (log)
        say("state %s %lld.%06ld %lld.%09ld", state_names[static_cast<std::size_t>(s)],
            static_cast<long long>(mono.tv_sec), static_cast<long>(mono.tv_nsec / 1000),
            static_cast<long long>(real.tv_sec), static_cast<long>(real.tv_nsec));
}
}  // namespace

void enter(mcu_state s) {
    std::lock_guard lock(state_mutex);
    change_state(s, true);
}

void report_states() {
    std::lock_guard lock(state_mutex);
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    book(mono);
    entered_at = mono;
    say("states: up=%.3f hung=%.3f down=%.3f hangs=%u resets=%u", spent[0], spent[1], spent[2],
        hangs, resets);
}

void say(const char* format, ...) {
    std::lock_guard lock(say_mutex);
    va_list ap;
    va_start(ap, format);
    vprintf(format, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

std::string hex(const std::uint8_t* data, std::size_t size) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < size; ++i) {
        snprintf(b, sizeof b, i ? " %02x" : "%02x", data[i]);
        out += b;
    }
    return out;
}

std::optional<sockaddr_in> parse_endpoint(const std::string& text, const char* address) {
    std::string host = address;
    std::string port = text;
    if (auto colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    char* end = nullptr;
    long p = strtol(port.c_str(), &end, 10);
    if (port.empty() || *end || p < 0 || p > 65535 ||
        inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
        return std::nullopt;
    a.sin_port = htons(static_cast<std::uint16_t>(p));
    return a;
}

}  // namespace frmcu_sim

using namespace frmcu_sim;

namespace {

const char usage[] =
    "usage: frmcu-sim [options]\n"
    "Stands in for the FR-MCU. Reports what it does on standard output; runs until SIGTERM.\n"
    "\n"
    "Control server (node control protocol over TCP):\n"
    "  --control [ADDR:]PORT     serve on ADDR (default the FR-MCU's address) and PORT\n"
    "  --answer CMD=HOW         how to answer CMD (start, stop, statistics, other or all);\n"
    "                            HOW is a comma list of: rc=N (return code), delay=MS,\n"
    "                            silent (never answer), close (close without answering),\n"
    "                            magic=XXXX, id=N, length=N (wrong header fields),\n"
    "                            split=MS (header and message as two segments MS apart),\n"
    "                            body=N (N bytes of result data before the return code),\n"
    "                            truncate=N (send only N bytes, then wait)\n"
    "  --stats W0,...,W10        the eleven statistics words (decimal or 0x hex)\n"
    "\n"
    "Reset line (followed in $BOARDSIM_DIR/gpio.log, or in a real line's value file):\n"
    "  --reset-line GPIO         a low level takes the FR-MCU offline (control port closed)\n"
    "  --reset-value FILE        the same for a real GPIO line: its sysfs value file, read\n"
    "                            every 2 ms; each pulse is logged as \"reset pulse: N ms low\"\n"
    "  --boot-time MS|never      back online MS after the line goes high (default 1000)\n"
    "  --hang                    accept requests but never answer until the next reset\n"
    "\n"
    "Time-stamp sink (UDP):\n"
    "  --time [ADDR:]PORT        receive on ADDR (default the FR-MCU's address) and PORT\n"
    "                            (0: a free one); one line per datagram with its receive\n"
    "                            time (CLOCK_REALTIME), sender and decoded fields:\n"
    "                            time stamp SEC.NSEC from IP:PORT: tv_sec S tv_nsec N force F\n"
    "\n"
    "Frame source (relay datagrams over UDP):\n"
    "  --relay [ADDR:]PORT       send to ADDR (default the host's address) and PORT\n"
    "  --relay-count N           datagrams to send (default 0: until stopped)\n"
    "  --relay-rate N            datagrams a second (default 0: as fast as possible)\n"
    "  --relay-records N         records per datagram, 0 to 5 (default 5)\n"
    "  --relay-lengths L,...     payload lengths 0 to 254, used in turn (default 8)\n"
    "  --relay-no-frame N        every Nth record is a no-frame record\n"
    "  --relay-fault KIND@D[:V]  at datagram D: frame-gap:V, udp-gap:V (numbers skipped),\n"
    "                            restart, magic (FR02), truncate:V (bytes sent),\n"
    "                            count:V (records announced), lose (not sent),\n"
    "                            repeat (sent twice), hang (before it, until the next\n"
    "                            reset); repeatable\n"
    "  --relay-fault-file FILE   faults as above, one a line ('#' starts a comment)\n"
    "  Ends (also on SIGTERM, or SIGUSR1, which stops the frame source alone) with\n"
    "  \"relay done: datagrams=D frames=F no-frame=N lost=L gap-lost=G repeated=R\n"
    "  digest=X\": L frame numbers never arrive whole, G of them are missing between\n"
    "  arrivals (what a receiver counts), R frames arrive twice, X is the FNV-1a hash of\n"
    "  the arriving frames' numbers (4 bytes each, little-endian); then \"relay faults:\n"
    "  ...\", the faults applied by kind.\n"
    "\n"
    "State changes are logged as \"state up|hung|down MONOTONIC REALTIME\" (seconds); the\n"
    "end adds \"states: up=S hung=S down=S hangs=N resets=N\".\n";

bool parse_stats(const char* text, control_settings& c) {
    std::size_t k = 0;
    for (const char* p = text; *p && k < c.stats.size(); ++k) {
        char* end = nullptr;
        c.stats[k] = static_cast<std::uint32_t>(strtoul(p, &end, 0));
        if (end == p) return false;
        p = *end == ',' ? end + 1 : end;
    }
    return k == c.stats.size();
}

// A non-negative decimal number (reset options).
bool parse_reset_number(const char* text, int& out) {
    char* end = nullptr;
    const long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 1000000000) return false;
    out = static_cast<int>(v);
    return true;
}

bool parse_answer_option(const std::string& text, control_settings& c) {
    const auto eq = text.find('=');
    if (eq == std::string::npos) return false;
    const std::string cmd = text.substr(0, eq), how = text.substr(eq + 1);
    int first = -1, last = -1;
    if (cmd == "start")
        first = last = 1;
    else if (cmd == "stop")
        first = last = 2;
    else if (cmd == "statistics")
        first = last = 3;
    else if (cmd == "other")
        first = last = 0;
    else if (cmd == "all")
        first = 0, last = 3;
    else
        return false;
    for (int i = first; i <= last; ++i) {
        c.answers[static_cast<std::size_t>(i)] = answer{};
        if (!parse_answer(how, c.answers[static_cast<std::size_t>(i)])) return false;
    }
    return true;
}

control_settings control;
reset_settings reset_line;
time_settings time_sink;
relay_settings relay;

}  // namespace

int main(int argc, char** argv) {
    enum {
        opt_control = 1000,
        opt_answer,
        opt_stats,
        opt_help,
        opt_reset,
        opt_boot,
        opt_hang,
        opt_time,
        opt_reset_value
    };
    constexpr int opt_relay = 1100;  // the frame source's options follow in their order
    static const option options[] = {
        {"control", required_argument, nullptr, opt_control},
        {"answer", required_argument, nullptr, opt_answer},
        {"stats", required_argument, nullptr, opt_stats},
        {"time", required_argument, nullptr, opt_time},
        {"help", no_argument, nullptr, opt_help},
        {"reset-line", required_argument, nullptr, opt_reset},
        {"boot-time", required_argument, nullptr, opt_boot},
        {"hang", no_argument, nullptr, opt_hang},
        {"reset-value", required_argument, nullptr, opt_reset_value},
        {relay_options[0], required_argument, nullptr, opt_relay},
        {relay_options[1], required_argument, nullptr, opt_relay + 1},
        {relay_options[2], required_argument, nullptr, opt_relay + 2},
        {relay_options[3], required_argument, nullptr, opt_relay + 3},
        {relay_options[4], required_argument, nullptr, opt_relay + 4},
        {relay_options[5], required_argument, nullptr, opt_relay + 5},
        {relay_options[6], required_argument, nullptr, opt_relay + 6},
        {relay_options[7], required_argument, nullptr, opt_relay + 7},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "", options, nullptr)) != -1) {
        bool ok = true;
        switch (opt) {
            case opt_control: {
                auto a = parse_endpoint(optarg, frmcu::default_mcu_address);
                ok = a.has_value();
                if (ok) control.address = *a, control.enabled = true;
                break;
            }
            case opt_answer:
                ok = parse_answer_option(optarg, control);
                break;
            case opt_stats:
                ok = parse_stats(optarg, control);
                break;
            case opt_help:
                fputs(usage, stdout);
                return 0;
            case opt_reset:
                ok = parse_reset_number(optarg, reset_line.gpio);
                break;
            case opt_boot:
                ok = strcmp(optarg, "never") == 0 ? (reset_line.boot_ms = -1, true)
                                                  : parse_reset_number(optarg, reset_line.boot_ms);
                break;
            case opt_reset_value:
                reset_line.value_file = optarg;
                break;
            case opt_hang:
                hung = true;
                break;
            case opt_time: {
                auto a = parse_endpoint(optarg, frmcu::default_mcu_address);
                ok = a.has_value();
                if (ok) time_sink.address = *a, time_sink.enabled = true;
                break;
            }
            case opt_relay:
            case opt_relay + 1:
            case opt_relay + 2:
            case opt_relay + 3:
            case opt_relay + 4:
            case opt_relay + 5:
            case opt_relay + 6:
            case opt_relay + 7:
                ok = parse_relay_option(opt - opt_relay, optarg, relay);
                break;
            default:
                ok = false;
        }
        if (!ok) {
            if (opt != '?') fprintf(stderr, "frmcu-sim: bad argument: %s\n", optarg ? optarg : "");
            fputs(usage, stderr);
            return 2;
        }
    }

    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    sigaddset(&stop, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);  // threads inherit the mask; main waits below
    signal(SIGPIPE, SIG_IGN);

    const bool watched = reset_line.gpio >= 0 || !reset_line.value_file.empty();
    {
        // The first state is logged where a reset line makes states a matter.
        std::lock_guard lock(state_mutex);
        change_state(hung ? mcu_state::hung : mcu_state::up, watched);
    }
    if (control.enabled && !start_control(control)) return 1;
    if (watched && !start_reset(reset_line)) return 1;
    if (time_sink.enabled && !start_time_sink(time_sink)) return 1;
    if (relay.enabled) start_relay(relay);

    int sig = 0;
    // SIGUSR1 ends the frame source alone, so that the rest can be wound down without it.
    while (sigwait(&stop, &sig) == 0 && sig == SIGUSR1)
        if (relay.enabled) stop_relay();
    if (relay.enabled) stop_relay();
    report_states();
    say("stopped by signal %d", sig);
    return 0;
}

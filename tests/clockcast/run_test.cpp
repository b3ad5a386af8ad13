// clockcast run against the FR-MCU stand-in's time sink: the stamps on the wire, the printed
// lines, the stop on SIGINT, failed sends, help and set-up failures.
#include <signal.h>
#include <sys/socket.h>
#include <time.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/board.hpp"
#include "tests/support/net.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace support;

constexpr long long ns_per_s = 1000000000;

spawn_options options(std::vector<std::string> args) {
    spawn_options o;
    o.args = std::move(args);
    return o;
}

// One datagram as the sink logged it.
struct stamp {
    std::string line;
    bool decoded = false;
    long long received_ns = 0;  // CLOCK_REALTIME at the sink
    int sec = 0, nsec = 0;
    unsigned force = 0;
    long long stamped_ns() const { return sec * ns_per_s + nsec; }
};

class time_sink {
  public:
    explicit time_sink(const std::string& endpoint = "127.0.0.1:0")
        : p_(options({tool("frmcu-sim"), "--time", endpoint})) {
        const std::string ready = "time sink listening on ";
        if (!p_.wait_output(stream::out, "\n", 10s)) return;
        const auto colon = p_.out().rfind(':');
        if (p_.out().starts_with(ready) && colon != std::string::npos)
            port_ = std::stoi(p_.out().substr(colon + 1));
        cursor_ = p_.out().size();
    }

    int port() const { return port_; }

    // The next datagram logged, or nothing by the deadline.
    std::optional<stamp> next(duration timeout) {
        const auto deadline = clock::now() + timeout;
        std::size_t nl;
        while ((nl = p_.out().find('\n', cursor_)) == std::string::npos) {
            const auto left = std::chrono::duration_cast<duration>(deadline - clock::now());
            if (left <= 0ms || !p_.wait_output(stream::out, "\n", left, cursor_))
                return std::nullopt;
        }
        stamp s;
        s.line = p_.out().substr(cursor_, nl - cursor_);
        cursor_ = nl + 1;
        long long rsec = 0;
        long rnsec = 0;
        s.decoded = std::sscanf(s.line.c_str(),
                                "time stamp %lld.%9ld from %*s tv_sec %d tv_nsec %d force %u",
                                &rsec, &rnsec, &s.sec, &s.nsec, &s.force) == 5;
        s.received_ns = rsec * ns_per_s + rnsec;
        return s;
    }

  private:
    process p_;
    int port_ = 0;
    std::size_t cursor_ = 0;
};

spawn_options clockcast(std::vector<std::string> args) {
    args.insert(args.begin(), program("clockcast"));
    return options(std::move(args));
}

std::string start_line(const std::string& address, long long port) {
    return "Sending time stamp to " + address + " port " + std::to_string(port) + "\n";
}

// A stamp sent on time: inside the window, read just before the send.
void expect_on_time(const stamp& s, unsigned force) {
    ASSERT_TRUE(s.decoded) << s.line;
    EXPECT_GT(s.nsec, 500000000) << s.line;
    EXPECT_LT(s.nsec, 950000000) << s.line;
    EXPECT_EQ(s.force, force) << s.line;
    EXPECT_GE(s.received_ns, s.stamped_ns()) << s.line;
    EXPECT_LT(s.received_ns - s.stamped_ns(), 500'000'000) << s.line;
}

long long realtime_ns() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * ns_per_s + t.tv_nsec;
}

// Waits for the next time the wall clock is this far into a second.
void wait_for_fraction(long long fraction_ns) {
    const long long now = realtime_ns();
    long long at = now - now % ns_per_s + fraction_ns;
    if (at <= now) at += ns_per_s;
    const timespec t{static_cast<time_t>(at / ns_per_s), static_cast<long>(at % ns_per_s)};
    while (clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &t, nullptr) == EINTR) {
    }
}

// The clock reading of a verbose line: seconds, a point and exactly nine digits.
std::optional<long long> reading_ns(const std::string& line) {
    long long sec = 0;
    char fraction[16] = "";
    int end = 0;
    if (std::sscanf(line.c_str(), "Current time: %lld.%15[0-9] seconds since the Epoch%n", &sec,
                    fraction, &end) != 2 ||
        static_cast<std::size_t>(end) != line.size() || std::strlen(fraction) != 9)
        return std::nullopt;
    return sec * ns_per_s + std::atoll(fraction);
}

void stop_with_sigint(process& p) {
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(3s), exited(0));
}

TEST(ClockcastRun, OneStampEverySecondInsideTheWindow) {
    time_sink sink;
    ASSERT_NE(sink.port(), 0);
    // A later -i or -p replaces an earlier one, also one too long to keep.
    process p(clockcast({"-i", std::string(300, '9'), "-i", "127.0.0.1", "-p", "1", "-p",
                         std::to_string(sink.port())}));
    const std::string started = start_line("127.0.0.1", sink.port());
    ASSERT_TRUE(p.wait_output(stream::out, started, 5s)) << p.out() << p.err();
    // No timer slack: with the default 50 us, each wake-up, and so each stamp, comes late.
    EXPECT_EQ(read_file("/proc/" + std::to_string(p.pid()) + "/timerslack_ns"), "1\n");

    std::vector<stamp> got;
    for (int k = 0; k < 3; ++k) {
        auto s = sink.next(3s);
        ASSERT_TRUE(s) << "stamp " << k;
        expect_on_time(*s, 0);
        got.push_back(*s);
    }
    EXPECT_EQ(got[1].sec, got[0].sec + 1);
    EXPECT_EQ(got[2].sec, got[1].sec + 1);

    stop_with_sigint(p);
    EXPECT_EQ(p.out(), started);
    EXPECT_EQ(p.err(), "");
}

TEST(ClockcastRun, ForceWordFollowsTheOption) {
    struct case_ {
        std::vector<std::string> args;
        unsigned force;
    } cases[] = {{{"-f"}, 1}, {{"--force"}, 1}, {{}, 0}};
    // All at once: one sink each, so that the case costs one second, not three.
    std::vector<std::unique_ptr<time_sink>> sinks;
    std::vector<std::unique_ptr<process>> runs;
    for (auto& c : cases) {
        sinks.push_back(std::make_unique<time_sink>());
        ASSERT_NE(sinks.back()->port(), 0);
        auto args = c.args;
        args.insert(args.end(),
                    {"--ipaddress=127.0.0.1", "--port", std::to_string(sinks.back()->port())});
        runs.push_back(std::make_unique<process>(clockcast(args)));
    }
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        auto s = sinks[i]->next(3s);
        ASSERT_TRUE(s) << i;
        expect_on_time(*s, cases[i].force);
    }
    for (auto& r : runs)
        stop_with_sigint(*r);
}

// SIGINT right after a datagram, while that wake-up's line is still on its way out (the hold
// keeps it in the stdio buffer): the handler's line comes after it.
TEST(ClockcastRun, HandlerLineNeverOvertakesAnEarlierLine) {
    time_sink sink;
    ASSERT_NE(sink.port(), 0);
    temp_board dir;  // a place for the hold's mark
    spawn_options o = clockcast({"-v", "-i", "127.0.0.1", "-p", std::to_string(sink.port())});
    o.env = hold_environment("fflush", 400, dir.path("held"));
    process p(o);
    auto s = sink.next(4s);
    ASSERT_TRUE(s);
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(4s), exited(0));
    const std::string handler = "Signal handler for 2 signal\n";
    ASSERT_TRUE(p.out().starts_with(start_line("127.0.0.1", sink.port()))) << p.out();
    EXPECT_TRUE(p.out().ends_with(handler)) << p.out();
    EXPECT_EQ(p.out().find(handler), p.out().size() - handler.size()) << p.out();
    char reading[64];
    std::snprintf(reading, sizeof reading, "Current time: %d.%09d seconds", s->sec, s->nsec);
    EXPECT_NE(p.out().find(reading), std::string::npos) << p.out();
}

// A parent that blocks or ignores SIGINT (some shells and service managers do) does not keep
// it from stopping the program; other signals it blocked stay blocked (sent before SIGINT, they
// must not end the run); one that closed standard input does not keep it from sending (its
// socket is descriptor 0 then). And once under memcheck, which finds what the sleeps are given
// uninitialised.
TEST(ClockcastRun, SigintStopsItWhateverTheParentLeft) {
    time_sink sink;
    ASSERT_NE(sink.port(), 0);
    temp_board dir;
    const struct {
        const char* left;
        std::vector<int> blocked{}, ignored{}, sent_first{};
        bool stdin_closed = false, memcheck = false;
    } parents[] = {
        {.left = "blocked", .blocked = {SIGINT}},
        {.left = "ignored", .ignored = {SIGINT}},
        {.left = "others blocked", .blocked = {SIGHUP, SIGUSR1}, .sent_first = {SIGHUP, SIGUSR1}},
        {.left = "stdin closed", .stdin_closed = true},
        {.left = "nothing, under memcheck", .memcheck = true},
    };
    for (const auto& parent : parents) {
        spawn_options o = clockcast({"-i", "127.0.0.1", "-p", std::to_string(sink.port())});
        o.blocked_signals = parent.blocked;
        o.ignored_signals = parent.ignored;
        o.stdin_closed = parent.stdin_closed;
        if (parent.memcheck) o.memcheck_log = dir.path("memcheck.log");
        process p(o);
        ASSERT_TRUE(sink.next(parent.memcheck ? 6s : 3s)) << parent.left << ": " << p.err();
        for (int other : parent.sent_first)
            p.signal(other);
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(parent.memcheck ? 6s : 3s), exited(0)) << parent.left;
    }
    EXPECT_EQ(dir.read("memcheck.log"), "");
}

// Every wake-up prints the clock reading it acted on; SIGINT lets the sleep in progress end and
// then stops the program without another stamp.
TEST(ClockcastRun, VerboseLinesAndSigintStop) {
    time_sink sink;
    ASSERT_NE(sink.port(), 0);
    // Started early in a second, the first wake-up is one that sends nothing. The start line
    // goes out with that wake-up's line: seen before the half second, it was such a wake-up.
    wait_for_fraction(100'000'000);
    const long long half = realtime_ns() / ns_per_s * ns_per_s + 500'000'000;
    process p(clockcast({"-v", "-i", "127.0.0.1", "-p", std::to_string(sink.port())}));
    ASSERT_TRUE(p.wait_output(stream::out, "Sending", 3s));
    const bool early_start = realtime_ns() < half;
    std::vector<stamp> got;
    for (int k = 0; k < 2; ++k) {
        auto s = sink.next(3s);
        ASSERT_TRUE(s) << "stamp " << k;
        expect_on_time(*s, 0);
        got.push_back(*s);
    }
    // Into the sleep after the second stamp: its line is out before the program sleeps.
    char reading[64];
    std::snprintf(reading, sizeof reading, "Current time: %d.%09d seconds", got[1].sec,
                  got[1].nsec);
    ASSERT_TRUE(p.wait_output(stream::out, reading, 1s)) << p.out();
    // Two interrupts amid one sleep: each is reported, the sleep runs to its end and no longer.
    wait_for_fraction(100'000'000);
    p.signal(SIGINT);
    ASSERT_TRUE(p.wait_output(stream::out, "Signal handler for 2 signal\n", 1s));
    p.signal(SIGINT);
    const auto interrupted = clock::now();
    EXPECT_EQ(p.wait(3s), exited(0));
    EXPECT_LT(clock::now() - interrupted, 2500ms);
    const long long ended = realtime_ns();
    EXPECT_GE(ended, (got[1].sec + 1) * ns_per_s + 500'000'000) << "sleep cut short";
    EXPECT_LT(ended, (got[1].sec + 1) * ns_per_s + 900'000'000) << "sleep started again";
    EXPECT_FALSE(sink.next(300ms)) << "a stamp after SIGINT";
    EXPECT_EQ(p.err(), "");

    const std::string started = start_line("127.0.0.1", sink.port());
    ASSERT_TRUE(p.out().starts_with(started)) << p.out();
    const std::string signalled = "Signal handler for 2 signal\nSignal handler for 2 signal\n";
    ASSERT_TRUE(p.out().ends_with(signalled)) << p.out();
    const std::string wakeups =
        p.out().substr(started.size(), p.out().size() - started.size() - signalled.size());

    std::vector<long long> readings, sending, stamped;
    for (std::size_t at = 0, nl; at < wakeups.size(); at = nl + 1) {
        nl = wakeups.find('\n', at);
        ASSERT_NE(nl, std::string::npos) << wakeups;
        const auto ns = reading_ns(wakeups.substr(at, nl - at));
        ASSERT_TRUE(ns) << wakeups.substr(at, nl - at);
        readings.push_back(*ns);
        if (*ns % ns_per_s > 500000000 && *ns % ns_per_s < 950000000) sending.push_back(*ns);
    }
    if (early_start) {
        EXPECT_LT(readings.front(), half) << wakeups;
    }
    // After the one at start, every wake-up comes just after a half second.
    for (std::size_t k = 1; k < readings.size(); ++k) {
        EXPECT_GE(readings[k] % ns_per_s, 500'000'000) << wakeups;
        EXPECT_LT(readings[k] % ns_per_s, 800'000'000) << wakeups;
    }
    // The wake-ups inside the window are those that sent, each stamped with its own reading.
    for (const auto& s : got)
        stamped.push_back(s.stamped_ns());
    EXPECT_EQ(sending, stamped) << wakeups;
}

TEST(ClockcastRun, FailedSendIsReportedAndTheRunGoesOn) {
    if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace";
    // Only loopback here: the compiled-in FR-MCU address is unreachable.
    process p(clockcast({}));
    const std::string failed = "UDP send failed: Network is unreachable\n";
    ASSERT_TRUE(p.wait_output(stream::err, failed, 3s)) << p.err();
    ASSERT_TRUE(p.wait_output(stream::err, failed + failed, 3s)) << p.err();
    EXPECT_TRUE(p.running());
    stop_with_sigint(p);
    EXPECT_EQ(p.out(), start_line("192.168.80.10", 29051));
}

TEST(ClockcastRun, DefaultsReachTheFrmcuOverTheLink) {
    if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace";
    ASSERT_TRUE(make_frmcu_link("192.168.80.1", "192.168.80.10"));
    time_sink sink("29051");
    ASSERT_EQ(sink.port(), 29051);
    process p(clockcast({}));
    auto s = sink.next(3s);
    ASSERT_TRUE(s);
    expect_on_time(*s, 0);
    stop_with_sigint(p);
}

TEST(ClockcastRun, BroadcastAddressIsAllowed) {
    if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace";
    time_sink sink("0.0.0.0:0");
    ASSERT_NE(sink.port(), 0);
    process p(clockcast({"-i", "127.255.255.255", "-p", std::to_string(sink.port())}));
    auto s = sink.next(3s);
    ASSERT_TRUE(s) << p.err();
    expect_on_time(*s, 0);
    stop_with_sigint(p);
    EXPECT_EQ(p.err(), "");
}

TEST(ClockcastHelp, BannerAndUsageWithStatusZero) {
    const std::string help =
        "clockcast v0.0.2\n"
        "\n"
        "Copyright (c) 2026 The gateway tools developers\n"
        "\n"
        "Usage: clockcast <-ipvh> [value]\n"
        "\t -i --ipaddress. IP adress for FlexRay node. Defaults to 192.168.80.10\n"
        "\t -p --port. Destination UDP port on FlexRay node. Defaults to 29051\n"
        "\t -f --force. Force time update. Don't wait for PPS signal. Default off.\n"
        "\t -v --verbose\n"
        "\t -h --help\n"
        "\tA typical example: clockcast -i 192.168.80.10 -p 29051\n"
        "\n";
    struct case_ {
        std::vector<std::string> args;
        bool rejected;  // the parser complains on standard error
    } cases[] = {
        {{"-h"}, false},
        {{"--help"}, false},
        {{"-?"}, false},
        {{"-v", "-h", "-i", "127.0.0.1"}, false},
        {{"-x"}, true},
        {{"--bogus"}, true},
        {{"-i"}, true},
        {{"--port"}, true},
        {{"-f", "extra", "-q"}, true},
    };
    for (const auto& c : cases) {
        auto r = run(clockcast(c.args));
        const std::string what = c.args.front() + (c.args.size() > 1 ? " ..." : "");
        EXPECT_EQ(r.status, exited(0)) << what;
        EXPECT_EQ(r.out, help) << what;
        EXPECT_EQ(!r.err.empty(), c.rejected) << what << ": " << r.err;
    }
}

TEST(ClockcastSetUp, FailuresEndItWithTheirStatus) {
    const std::string invalid = "IP address setup failed: Invalid argument\n";
    struct case_ {
        std::string address;
        std::string message;
        const char* failing = "";  // a call that fails
        int status = -5;
    } cases[] = {
        {"256.1.1.1", invalid},
        {"127.0.0", invalid},
        {"", invalid},
        {"localhost", invalid},
        {std::string(254, '1'), invalid},  // fits, but is no address
        {std::string(255, '1'),
         "IP address setup failed: address of 255 characters, at most 254\n"},
        {"127.0.0.1" + std::string(300, ' '),
         "IP address setup failed: address of 309 characters, at most 254\n"},
        {"127.0.0.1", "Error opening socket: Permission denied\n", "socket", -3},
        {"127.0.0.1", "Error setting broadcast option: Permission denied\n", "setsockopt", -4},
    };
    temp_board board;
    for (const auto& c : cases) {
        spawn_options o = clockcast({"-i", c.address});
        if (*c.failing) o.env = fail_environment(board.dir(), c.failing);
        auto r = run(o);
        EXPECT_EQ(r.status, exited(shell_status(c.status))) << c.address << c.failing;
        EXPECT_EQ(r.err, c.message) << c.address << c.failing;
        EXPECT_EQ(r.out, "") << c.address;
    }
}

TEST(TimeSink, LogsEachDatagramDecodedOrInHex) {
    time_sink sink;
    ASSERT_NE(sink.port(), 0);
    udp_socket sender;
    sender.send_to("127.0.0.1", sink.port(),
                   {0x00, 0xF1, 0x53, 0x65, 0x40, 0x47, 0xCF, 0x1D, 0x01, 0x00, 0x00, 0x00});
    sender.send_to("127.0.0.1", sink.port(), {0x01, 0x02, 0x03});

    auto a = sink.next(2s);
    ASSERT_TRUE(a && a->decoded) << (a ? a->line : "nothing");
    EXPECT_EQ(a->sec, 1700000000);
    EXPECT_EQ(a->nsec, 500123456);
    EXPECT_EQ(a->force, 1u);
    const std::string from = " from 127.0.0.1:" + std::to_string(sender.port()) + ": ";
    EXPECT_NE(a->line.find(from), std::string::npos) << a->line;

    auto c = sink.next(2s);
    ASSERT_TRUE(c);
    EXPECT_TRUE(c->line.ends_with(from + "3 bytes, not 12: 01 02 03")) << c->line;
}

}  // namespace

// linkwatch end to end: each test runs in a private network namespace holding eth2 and the
// FR-MCU stand-in on the compiled-in addresses, with the reset line on a simulated board.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <sstream>

#include "frmcu/link.hpp"
#include "tests/support/board.hpp"
#include "tests/support/net.hpp"
#include "tests/support/paths.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace support;

const std::string host = frmcu::default_host_address;
const std::string mcu = frmcu::default_mcu_address;
const std::string offline = "Flexray MCU seems offline, try to reset\n";
const std::string not_back = "[!] FR MCU not online, retry reset\n";
const std::string refused = "write Connection refused\n";
const std::string no_line = "open: No such file or directory\n";

std::size_t count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        ++n;
    return n;
}

double seconds_since(clock::time_point start) {
    return std::chrono::duration<double>(clock::now() - start).count();
}

// Collects a process's output until `text` has appeared `n` times in the stream.
bool wait_count(process& p, stream s, const std::string& text, std::size_t n, duration timeout) {
    const auto deadline = clock::now() + timeout;
    for (;;) {
        const bool ended = !p.running();
        if (count(s == stream::out ? p.out() : p.err(), text) >= n) return true;
        if (ended || clock::now() > deadline) return false;
        p.wait_output(s, "\x01", 20ms);  // only collects
    }
}

struct gpio_write {
    double time;
    int gpio;
    std::string bytes;
};

std::vector<gpio_write> gpio_log(const temp_board& board) {
    std::vector<gpio_write> out;
    for (const auto& line : board.lines("gpio.log")) {
        std::istringstream in(line);
        gpio_write w{};
        in >> w.time >> w.gpio >> w.bytes;
        out.push_back(w);
    }
    return out;
}

class LinkWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace";
        board.export_gpio(frmcu::reset_gpio, "1");
    }

    // The FR-MCU stand-in on its default address, its reset line on GPIO 63.
    std::unique_ptr<process> frmcu_sim(std::vector<std::string> extra = {}) {
        spawn_options o;
        o.args = {tool("frmcu-sim"), "--control", "29050", "--reset-line", "63"};
        o.args.insert(o.args.end(), extra.begin(), extra.end());
        o.env = {"BOARDSIM_DIR=" + board.dir()};
        auto p = std::make_unique<process>(o);
        if (!p->wait_output(stream::out, "reset line: GPIO 63\n", 10s)) {
            ADD_FAILURE() << "frmcu-sim did not start: " << p->out() << p->err();
            return nullptr;
        }
        return p;
    }

    spawn_options linkwatch(std::vector<std::string> args = {}) const {
        spawn_options o;
        o.args = {program("linkwatch")};
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.board = board.dir();
        return o;
    }

    // One low pulse on `gpio` of at least 200 ms, the line left high.
    void expect_one_pulse(int gpio = frmcu::reset_gpio) const {
        const auto log = gpio_log(board);
        ASSERT_EQ(log.size(), 2u) << board.read("gpio.log");
        EXPECT_EQ(log[0].gpio, gpio);
        EXPECT_EQ(log[0].bytes, "30");  // one character each: "0", then "1"
        EXPECT_EQ(log[1].gpio, gpio);
        EXPECT_EQ(log[1].bytes, "31");
        EXPECT_GE(log[1].time - log[0].time, 0.2);
        EXPECT_LT(log[1].time - log[0].time, 0.6);
    }

    temp_board board;
};

TEST(LinkWatchUsage, HelpAndBadOptionsGiveTheUsageTextAndStatusOne) {
    const std::string usage =
        "linkwatch usage: \n -o - oneshot exit when flexray status ok.\n -a <addr> - configure "
        "MCU IP\n -l <addr> - Address for linux host\n -i <interface> - configure interface "
        "connected to MCU\n -g <gpio> - GPIO pin for FR-MCU reset\n";
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-o", "-h"}, {"-x"}, {"--oneshot"}, {"-i"}, {"-a"}, {"-l"}, {"-g"}, {"-o", "-q"},
    };
    for (const auto& args : cases) {
        spawn_options o;
        o.args = {program("linkwatch")};
        o.args.insert(o.args.end(), args.begin(), args.end());
        o.argv0 = "linkwatch";
        const auto r = run(o);
        EXPECT_EQ(r.status, exited(1)) << args[0];
        EXPECT_TRUE(r.err.ends_with(usage)) << r.err;
        if (args.back() == "-h") {
            EXPECT_EQ(r.err, usage);
        }
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(LinkWatch, OneshotWithAnAnsweringFrMcuSendsOneRequestAndExitsAtOnce) {
    ASSERT_TRUE(make_frmcu_link(host, mcu));
    // Any answer counts, a closed connection too.
    const struct {
        std::vector<std::string> answer;
        std::string sim_line;
    } cases[] = {
        {{}, "answered "},
        {{"--answer", "statistics=close"}, "closing without answer"},
        {{"--answer", "statistics=rc=4,magic=XXXX"}, "answered "},
    };
    for (const auto& c : cases) {
        auto sim = frmcu_sim(c.answer);
        ASSERT_TRUE(sim);
        const auto start = clock::now();
        const auto r = run(linkwatch({"-o"}), 10s);
        EXPECT_LT(seconds_since(start), 4.0);  // the online pause would be 5 s
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
        ASSERT_TRUE(sim->wait_output(stream::out, c.sim_line, 5s)) << sim->out();
        EXPECT_EQ(count(sim->out(), "request 46 43 30 31 00 00 00 0a 00 03\n"), 1u);
        EXPECT_EQ(count(sim->out(), "request "), 1u);
        EXPECT_FALSE(board.exists("gpio.log"));
    }
}

TEST_F(LinkWatch, OneshotWithASilentFrMcuPulsesOnceProbesSixteenTimesAndExitsZero) {
    ASSERT_TRUE(make_frmcu_link(host, mcu));
    // Accepts and never answers; after the reset it stays down.
    auto sim = frmcu_sim({"--hang", "--boot-time", "never"});
    ASSERT_TRUE(sim);
    const auto start = clock::now();
    const auto r = run(linkwatch({"-o"}), 60s);
    const double took = seconds_since(start);
    EXPECT_EQ(r.status, exited(0));
    EXPECT_EQ(r.out, "");

    // One receive of about 5 s, then the reset and 16 refused probes 500 ms apart.
    const std::string eagain = "recv EAGAIN (retry=0) after ";
    ASSERT_TRUE(r.err.starts_with(eagain)) << r.err;
    const auto line_end = r.err.find('\n');
    const std::string elapsed = r.err.substr(eagain.size(), line_end - eagain.size());
    ASSERT_EQ(elapsed.size(), elapsed.find('.') + 7) << elapsed;  // six decimals
    const double waited = std::atof(elapsed.c_str());
    EXPECT_GE(waited, 4.9);
    EXPECT_LT(waited, 6.5);
    std::string rest = offline;
    for (int i = 0; i < 16; ++i)
        rest += refused;
    rest += not_back;
    EXPECT_EQ(r.err.substr(line_end + 1), rest);
    EXPECT_GE(took, 5.0 + 0.2 + 2.0 + 16 * 0.5 - 0.3);
    EXPECT_LT(took, 30.0);

    expect_one_pulse();
    EXPECT_EQ(board.read("gpio/gpio63/value"), "1");
    EXPECT_TRUE(sim->wait_output(stream::out, "reset line high: staying offline\n", 5s));
    EXPECT_EQ(count(sim->out(), "request "), 1u);
    EXPECT_EQ(count(sim->out(), "reset line low: offline\n"), 1u);
}

// Standard input closed: the probe's socket, and then the reset line's file, are descriptor 0.
// Under memcheck, which finds what the calls are given uninitialised (the fd_set, the signal
// sets): a probe that is answered, and a pass that resets.
TEST_F(LinkWatch, WithStdinClosedAndUnderMemcheck) {
    ASSERT_TRUE(make_frmcu_link(host, mcu));
    auto sim = frmcu_sim();
    ASSERT_TRUE(sim);
    for (bool memcheck : {false, true}) {
        spawn_options o = linkwatch({"-o"});
        o.stdin_closed = !memcheck;
        if (memcheck) o.memcheck_log = board.path("memcheck.log");
        const auto r = run(o, 30s);
        EXPECT_EQ(r.status, exited(0)) << memcheck;
        EXPECT_EQ(r.err, "") << memcheck;
    }
    EXPECT_FALSE(board.exists("gpio.log"));

    // A host address the link does not carry: offline at once, a reset, 16 probes that fail.
    spawn_options o = linkwatch({"-o", "-l", "192.168.80.2"});
    o.stdin_closed = true;
    process closed(o);
    ASSERT_TRUE(eventually([&] { return gpio_log(board).size() >= 2; }, 10s));
    expect_one_pulse();
    EXPECT_EQ(closed.wait(20s), exited(0));
    board.remove("gpio.log");
    o.stdin_closed = false;
    o.memcheck_log = board.path("memcheck.log");
    const auto r = run(o, 60s);
    EXPECT_EQ(r.status, exited(0));
    expect_one_pulse();
    EXPECT_EQ(board.read("memcheck.log"), "");
}

// A stop while the line is low takes effect once the line is back at 1.
TEST_F(LinkWatch, StopDuringThePulseWaitsForItsEnd) {
    ASSERT_TRUE(make_frmcu_link(host, mcu));
    for (int sig : {SIGINT, SIGTERM}) {
        board.remove("gpio.log");
        // A host address the link does not carry: offline at once, no FR-MCU needed.
        process p(linkwatch({"-l", "192.168.80.2"}));
        ASSERT_TRUE(eventually([&] { return !board.lines("gpio.log").empty(); }, 10s));
        p.signal(sig);
        EXPECT_EQ(p.wait(5s), killed_by(sig));
        expect_one_pulse();
        EXPECT_EQ(board.read("gpio/gpio63/value"), "1");
    }
}

TEST_F(LinkWatch, MissingInterfacePausesOneSecondWithoutAReset) {
    const auto start = clock::now();
    const auto r = run(linkwatch({"-o"}), 10s);
    const double took = seconds_since(start);
    EXPECT_EQ(r.status, exited(0));
    EXPECT_EQ(r.err,
              "Check if interface is up\nSIOCGIFFLAGS No such device\n"
              "Flexray interface eth2 does not exists\n");
    EXPECT_GE(took, 1.0);
    EXPECT_LT(took, 4.0);
    EXPECT_FALSE(board.exists("gpio.log"));
}

// Every offline result resets the FR-MCU, also when the fault is on the host's side.
TEST_F(LinkWatch, HostSideFaultsAreOfflineAndResetTheFrMcu) {
    const struct {
        const char* name;
        std::vector<std::string> args;
        std::string setup;  // ip command after the link is made
        std::string message;
        int gpio = frmcu::reset_gpio;
        const char* failing = "";  // a call that fails
        bool answering = false;    // the FR-MCU stand-in listens
        bool stopped = false;      // stopped and continued in the receive, the stand-in silent
    } cases[] = {
        {"interface down", {}, "link set eth2 down", "eth2 is not up\n"},
        {"no IPv4 address",
         {},
         "addr flush dev eth2",
         "Check if ip address is configured\nioctl SIOCGIFADDR Cannot assign requested address\n"},
        {"another host address",
         {"-l", "192.168.80.2"},
         "",
         "eth2 is not configured with address 192.168.80.2\n"},
        {"host address on another interface",
         {"-l", "10.0.0.1"},
         "addr add 10.0.0.1/32 dev lo",
         "eth2 is not configured with address 10.0.0.1\n"},
        {"invalid host address",
         {"-l", "192.168.80.300"},
         "",
         "eth2 is not configured with address 192.168.80.300\n"},
        {"host address cut",
         {"-l", "192.168.80.1xxxxxx"},
         "",
         "eth2 is not configured with address 192.168.80.1xxx\n"},
        {"invalid FR-MCU address",
         {"-a", "frmcu"},
         "",
         "Failed to set IP address frmcu for connection to FR-MCU\n"},
        {"FR-MCU address cut",
         {"-a", "192.168.80.10.5.6.7"},
         "",
         "Failed to set IP address 192.168.80.10.5 for connection to FR-MCU\n"},
        {"nobody at the FR-MCU address",
         {"-a", "192.168.80.20"},
         "",
         "connect Operation now in progress\n"},
        {"no route to the FR-MCU", {"-a", "10.1.2.3"}, "", "write Broken pipe\n"},
        {"socket cannot be created",
         {},
         "",
         "socket: Permission denied\n",
         frmcu::reset_gpio,
         "socket"},
        {"receive time-out cannot be set",
         {},
         "",
         "setsockopt SO_RCVTIMEO Permission denied\n",
         frmcu::reset_gpio,
         "setsockopt",
         true},
        // The receive's time-out makes it end with EINTR; the pulse's pause must still end.
        {"stopped and continued in the receive",
         {},
         "",
         "recv errno=4 Interrupted system call\n",
         frmcu::reset_gpio,
         "",
         true,
         true},
        {"reset line from -g",
         {"-g", "abc", "-l", "192.168.80.2"},
         "",
         "eth2 is not configured with address 192.168.80.2\n",
         0},
    };
    board.export_gpio(0, "1");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ip("link del eth2");
        ASSERT_TRUE(make_frmcu_link(host, mcu));
        if (!c.setup.empty()) {
            ASSERT_TRUE(ip(c.setup));
        }
        board.remove("gpio.log");
        const auto sim = c.answering ? frmcu_sim(c.stopped ? std::vector<std::string>{"--hang"}
                                                           : std::vector<std::string>{})
                                     : nullptr;

        auto o = linkwatch(c.args);
        if (*c.failing) o.env = fail_environment(board.dir(), c.failing);
        process p(o);
        if (c.stopped) {
            const std::string stat = "/proc/" + std::to_string(p.pid()) + "/stat";
            // The request is in; the next sleep is the receive's.
            ASSERT_TRUE(sim->wait_output(stream::out, "request ", 10s));
            ASSERT_TRUE(
                eventually([&] { return read_file(stat).find(") S ") != std::string::npos; }, 5s));
            p.signal(SIGSTOP);
            p.signal(SIGCONT);
        }
        EXPECT_TRUE(p.wait_output(stream::err, c.message + offline, 10s)) << p.err();
        EXPECT_TRUE(p.err().starts_with(c.message)) << p.err();
        EXPECT_TRUE(eventually([&] { return gpio_log(board).size() >= 2; }, 5s));
        EXPECT_TRUE(p.running());
        expect_one_pulse(c.gpio);
    }
}

TEST_F(LinkWatch, FrMcuComesBackAfterTheResetAndProbingGoesOnEveryFiveSeconds) {
    ASSERT_TRUE(make_frmcu_link(host, mcu));
    // Hung until the reset; ready 3 s after the line goes high, so the first probes after the
    // 2 s settle time are refused.
    auto sim = frmcu_sim({"--hang", "--boot-time", "3000"});
    ASSERT_TRUE(sim);
    process watch(linkwatch());
    ASSERT_TRUE(sim->wait_output(stream::out, "back online\n", 20s)) << sim->out() << watch.err();
    ASSERT_TRUE(wait_count(*sim, stream::out, "answered ", 2, 10s)) << sim->out();
    const auto second = clock::now();
    ASSERT_TRUE(wait_count(*sim, stream::out, "answered ", 3, 10s)) << sim->out();
    EXPECT_GE(seconds_since(second), 4.5);
    EXPECT_LT(seconds_since(second), 7.0);
    EXPECT_TRUE(watch.running());

    const std::string& err = watch.err();
    EXPECT_EQ(count(err, offline), 1u) << err;
    EXPECT_EQ(count(err, "recv EAGAIN (retry=0) after "), 1u) << err;
    EXPECT_EQ(count(err, not_back), 0u) << err;
    EXPECT_GE(count(err, refused), 1u) << err;
    EXPECT_LE(count(err, refused), 3u) << err;
    expect_one_pulse();
    EXPECT_EQ(count(sim->out(), "hung: staying silent\n"), 1u);
}

TEST_F(LinkWatch, EleventhFailedOpenEndsTheRunEvenWithOnlinePassesBetween) {
    board.remove("gpio");
    ASSERT_TRUE(make_frmcu_link(host, mcu));
    process watch(linkwatch());
    // Five failed opens (nothing listens), then one online pass, then the rest.
    ASSERT_TRUE(wait_count(watch, stream::err, no_line, 5, 15s)) << watch.err();
    {
        auto sim = frmcu_sim({"--answer", "statistics=close"});
        ASSERT_TRUE(sim);
        ASSERT_TRUE(sim->wait_output(stream::out, "closing without answer", 10s)) << sim->out();
    }
    const auto status = watch.wait(30s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, exited(1));
    EXPECT_EQ(count(watch.err(), no_line), 11u) << watch.err();
    EXPECT_TRUE(watch.err().ends_with(
        no_line + "Failed to many times to open /sys/class/gpio/gpio63/value, giving up\n"))
        << watch.err();
    EXPECT_FALSE(board.exists("gpio.log"));
}

TEST_F(LinkWatch, SuccessfulOpenOfTheResetLineClearsTheFailureCount) {
    board.remove("gpio");
    ASSERT_TRUE(make_frmcu_link(host, mcu));
    process watch(linkwatch());
    // Ten failures; the line is exported before the eleventh open and removed after the pulse.
    ASSERT_TRUE(wait_count(watch, stream::err, no_line, 10, 25s)) << watch.err();
    board.export_gpio(frmcu::reset_gpio, "1");
    ASSERT_TRUE(eventually([&] { return gpio_log(board).size() >= 2; }, 5s));
    board.remove("gpio");
    const auto status = watch.wait(50s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, exited(1));
    EXPECT_EQ(count(watch.err(), no_line), 21u) << watch.err();
    EXPECT_EQ(count(watch.err(), not_back), 1u) << watch.err();
    expect_one_pulse();
}

TEST_F(LinkWatch, InterfaceNameIsCutToFifteenCharactersInEveryUse) {
    const std::string name = "abcdefghijklmnopqrst";
    const std::string cut = name.substr(0, 15);
    auto r = run(linkwatch({"-o", "-i", name}), 10s);
    EXPECT_EQ(r.status, exited(0));
    EXPECT_EQ(r.err,
              "Check if interface is up\nSIOCGIFFLAGS No such device\n"
              "Flexray interface " +
                  cut + " does not exists\n");

    // The cut name is the interface in use; the addresses keep their defaults.
    ASSERT_TRUE(ip("link add " + cut + " type veth peer name frmcu0"));
    ASSERT_TRUE(ip("addr add " + host + "/24 dev " + cut));
    ASSERT_TRUE(ip("addr add " + mcu + "/24 dev frmcu0"));
    ASSERT_TRUE(ip("link set frmcu0 up"));
    ASSERT_TRUE(ip("link set " + cut + " up"));
    {
        auto sim = frmcu_sim();
        ASSERT_TRUE(sim);
        r = run(linkwatch({"-o", "-i", name}), 10s);
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sim->wait_output(stream::out, "answered ", 5s));
        EXPECT_EQ(count(sim->out(), "request "), 1u);
    }

    ASSERT_TRUE(ip("link set " + cut + " down"));
    process watch(linkwatch({"-i", name}));
    EXPECT_TRUE(watch.wait_output(stream::err, cut + " is not up\n" + offline, 10s)) << watch.err();
    EXPECT_TRUE(eventually([&] { return gpio_log(board).size() >= 2; }, 5s));
}

}  // namespace

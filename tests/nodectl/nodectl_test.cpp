// nodectl end to end, against the FR-MCU stand-in on loopback.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "frmcu/ctrl_protocol.hpp"
#include "frmcu/link.hpp"
#include "tests/support/board.hpp"
#include "tests/support/net.hpp"
#include "tests/support/process.hpp"

namespace {

using namespace support;

const std::string banner = "nodectl v0.0.1\n\nCopyright (c) 2026 The gateway tools developers\n";
const std::string usage =
    "\nUsage: nodectl <-ipvh> [value]\n"
    "\t -i --ipaddress. IP adress for FlexRay node. Defaults to 192.168.80.10\n"
    "\t -p --port. Destination TCP port on FlexRay node. Defaults to 29050\n"
    "\t -c --command. Command to send to the target node.\n"
    "\t -l --list. List available commands.\n"
    "\t -v --verbose\n"
    "\t -h --help\n"
    "\tA typical example: nodectl -i 192.168.80.10 -p 29050 -c statistics\n\n";
const std::string list = "Valid commands in nodectl v0.0.1:\n\tstart\n\tstop\n\tstatistics\n";

// The FR-MCU's control server, answering as told.
class frmcu {
  public:
    explicit frmcu(std::vector<std::string> options, std::string address = "127.0.0.1",
                   int port = 0)
        : port_(port ? port : free_port(SOCK_STREAM)) {
        spawn_options o;
        o.args = {tool("frmcu-sim"), "--control", address + ":" + std::to_string(port_)};
        o.args.insert(o.args.end(), options.begin(), options.end());
        sim_ = std::make_unique<process>(o);
        EXPECT_TRUE(sim_->wait_output(stream::out, "control listening", 10s)) << sim_->err();
    }
    ~frmcu() { sim_->signal(SIGTERM); }

    int port() const { return port_; }
    std::string port_text() const { return std::to_string(port_); }
    // Waits for the stand-in to report a line.
    bool saw(std::string_view text) { return sim_->wait_output(stream::out, text, 5s); }
    const std::string& log() { return sim_->out(); }

  private:
    int port_;
    std::unique_ptr<process> sim_;
};

result nodectl(std::vector<std::string> args, duration timeout = 15s) {
    args.insert(args.begin(), program("nodectl"));
    return run(args, timeout);
}

result nodectl_to(const frmcu& fr, std::vector<std::string> args) {
    args.insert(args.begin(), {"-i", "127.0.0.1", "-p", fr.port_text()});
    return nodectl(args);
}

TEST(NodectlHelp, BannerAndUsageWithStatusZero) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"-v"}, {"-h"}, {"--help"}, {"-?"}, {"-f"}, {"-i", "127.0.0.1"}}) {
        auto r = nodectl(args);
        EXPECT_EQ(r.status, exited(0)) << args.size();
        EXPECT_EQ(r.out, banner + usage);
        EXPECT_EQ(r.err, "");
    }
}

TEST(NodectlHelp, RejectedOptionsGiveTheParsersComplaintThenBannerAndUsage) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"-x"}, {"-c"}, {"--port"}, {"-d", "1"}}) {
        auto r = nodectl(args);
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(r.out, banner + usage);
        EXPECT_NE(r.err, "");
    }
}

TEST(NodectlCommands, ListExitsBeforeAnyConnection) {
    // Nothing listens on the port: a connection attempt would fail with -7.
    const auto port = std::to_string(free_port(SOCK_STREAM));
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-l"}, {"-l", "-c", "start"}, {"-p", port, "-i", "127.0.0.1", "-c", "start", "-l"}}) {
        auto r = nodectl(args);
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(r.out, list);
        EXPECT_EQ(r.err, "");
    }
}

TEST(NodectlCommands, WrongWordsAreRefusedWithTheList) {
    const std::string long_start = "start" + std::string(76, 'x');  // 81 characters
    for (const std::string word : {"sta", "Stop", "", "bogus", long_start.c_str()}) {
        auto r = nodectl({"-c", word, "-l"});
        EXPECT_EQ(r.status, exited(shell_status(-3))) << word;
        EXPECT_EQ(r.err, "Wrong command " + word + "\n");
        EXPECT_EQ(r.out, list);
    }
}

TEST(NodectlExchange, StartAndStopPrintNothingOnSuccess) {
    frmcu fr({});
    for (const auto& [word, code] :
         {std::pair{"start", "01"}, {"startup", "01"}, {"stopnow", "02"}}) {
        auto r = nodectl_to(fr, {"-f", "-c", word});
        EXPECT_EQ(r.status, exited(0)) << word << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(fr.saw(std::string("request 46 43 30 31 00 00 00 0a 00 ") + code));
    }
}

// Also with standard input closed (the socket is descriptor 0), and under memcheck, which finds
// what the wait is given uninitialised.
TEST(NodectlExchange, StatisticsTables) {
    frmcu fr({"--stats", "1,2,3,4,5,6,2,1,4000000000,10,11"});
    temp_board dir;
    for (const char* how : {"plain", "stdin closed", "under memcheck"}) {
        spawn_options o;
        o.args = {program("nodectl"), "-i", "127.0.0.1", "-p", fr.port_text(), "-c", "statistics"};
        o.stdin_closed = how[0] == 's';
        if (how[0] == 'u') o.memcheck_log = dir.path("memcheck.log");
        auto r = run(o, 30s);
        EXPECT_EQ(r.status, exited(0)) << how << r.err;
        EXPECT_EQ(r.out,
                  "MODE:  PASSIVE\n"
                  "STATE: NORMAL ACTIVE\n"
                  "ERR: overrun syntax       frame        content      boundary     \n"
                  "1            2            3            4            5            \n"
                  "fifo_level   bytes        frames       null-frames  \n"
                  "6            4000000000   10           11           \n")
            << how;
        EXPECT_EQ(r.err, "") << how;
    }
    EXPECT_EQ(dir.read("memcheck.log"), "");
}

TEST(NodectlExchange, VerboseDumpsRequestHeaderAndMessage) {
    frmcu fr({"--answer", "start=rc=0"});
    auto r = nodectl_to(fr, {"-v", "-c", "start"});
    EXPECT_EQ(r.status, exited(0));
    EXPECT_EQ(r.out,
              "Creating TCP socket\n"
              "Setting up IP address\n"
              "Connecting to: 127.0.0.1 " +
                  fr.port_text() +
                  "\n"
                  "Sending command start to 127.0.0.1 port " +
                  fr.port_text() +
                  "\n"
                  "Writing FR_CTRL_REQ message:\n"
                  "\nLength: 10\n\\x46\\x43\\x30\\x31\\x00\\x00\\x00\\x0A\\x00\\x01\n\n"
                  "Reading FR_CTRL_HEADER\n"
                  "\nLength: 10\n\\x46\\x43\\x30\\x31\\x00\\x00\\x00\\x0C\\x80\\x01\n\n"
                  "Reading response message: \n"
                  "\nLength: 2\n\\x00\\x00\n\n");
}

struct failure_case {
    const char* answer;  // how the stand-in answers statistics
    int status;
    const char* err;
};

class NodectlFailures : public testing::TestWithParam<failure_case> {};

TEST_P(NodectlFailures, EachRuleReportsAndEndsWithItsStatus) {
    const auto& c = GetParam();
    frmcu fr({"--answer", std::string("statistics=") + c.answer});
    auto r = nodectl_to(fr, {"-c", "statistics"});
    EXPECT_EQ(r.status, exited(c.status));
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Rules, NodectlFailures,
    testing::Values(
        failure_case{"magic=FC02", 0, "Wrong magic ID\n"},
        failure_case{"magic=FC02,id=3", 0, "Wrong magic ID\n"},  // magic is checked first
        failure_case{"id=3", 0, "Wrong response ID (0003)\n"},
        failure_case{"id=0x8001", 0, "Wrong response ID (8001)\n"},
        failure_case{"id=0x8001,length=3", 0, "Wrong response ID (8001)\n"},
        failure_case{"length=99", 1, "Invalid length of response message: 46 (89)\n"},
        failure_case{"body=300", 1, "Invalid length of response message: 256 (302)\n"},
        failure_case{"rc=1", 1, "Return code not OK: NOK\n"},
        failure_case{"rc=4", 1, "Return code not OK: OPERATION_NOT_ALLOWED\n"},
        failure_case{"rc=7", 1, "Return code not OK: UNKNOWN\n"},
        // Too short to hold a return code: fails like a length mismatch.
        failure_case{"body=0,length=11,truncate=11", 1,
                     "Invalid length of response message: 1 (1)\n"},
        // A statistics answer without its record is reported, never read past its end.
        failure_case{"body=4", 1, "Statistics record too short: 6 bytes (46 expected)\n"},
        // A header that breaks off, or a connection closed instead of an answer.
        failure_case{"truncate=6", 0, "ERROR reading from socket: Protocol error\n"},
        failure_case{"close", 0, "ERROR reading from socket: No data available\n"}));

TEST(NodectlExchange, HeaderAndMessageInSeparateSegments) {
    frmcu fr({"--answer", "start=split=300"});
    auto r = nodectl_to(fr, {"-c", "start"});
    EXPECT_EQ(r.status, exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
}

// Both waits are bounded: for the header, and for the message after it (an FR-MCU reset
// between the two must not hang the client).
TEST(NodectlExchange, NoAnswerTimesOutAfterFiveSeconds) {
    const struct {
        const char* answer;
        int status;
        const char* err;
    } cases[] = {
        {"silent", 0, "ERROR timeout waiting for response\n"},
        {"split=8000", 1, "Failed to read reponse message: Connection timed out\n"},
    };
    for (const auto& c : cases) {
        frmcu fr({"--answer", std::string("statistics=") + c.answer});
        const auto start = clock::now();
        auto r = nodectl_to(fr, {"-c", "statistics"});
        const auto took = clock::now() - start;
        EXPECT_EQ(r.status, exited(c.status));
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_GE(took, 4900ms);
        EXPECT_LT(took, 8s);
    }
}

TEST(NodectlConnection, FailuresBeforeTheExchange) {
    const auto closed_port = std::to_string(free_port(SOCK_STREAM));
    auto refused = nodectl({"-i", "127.0.0.1", "-p", closed_port, "-c", "start"});
    EXPECT_EQ(refused.status, exited(shell_status(-7)));
    EXPECT_EQ(refused.err, "ERROR connecting: Connection refused\n");

    auto bad = nodectl({"-i", "192.168.80.300", "-c", "start"});
    EXPECT_EQ(bad.status, exited(shell_status(-6)));
    EXPECT_EQ(bad.err, "IP address setup failed: Invalid argument\n");

    // An address that does not fit the buffer is refused, never cut.
    auto too_long = nodectl({"-i", "127.0.0.1" + std::string(246, ' '), "-c", "start"});
    EXPECT_EQ(too_long.status, exited(shell_status(-6)));
    EXPECT_EQ(too_long.err, "IP address too long (255 characters, at most 254)\n");
    EXPECT_EQ(too_long.out, "");
}

// The connection ends as soon as the answer is taken, also while the exit waits for standard
// output (a full pipe that nobody reads yet).
TEST(NodectlConnection, ClosedBeforeTheOutputIsFlushed) {
    temp_board dir;
    const std::string fifo = dir.path("out");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int filler = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(filler, 0);
    const std::string block(4096, 'x');
    while (::write(filler, block.data(), block.size()) > 0) {
    }
    close(filler);

    tcp_listener server;
    spawn_options o;
    o.args = {program("nodectl"),
              "-v",
              "-i",
              "127.0.0.1",
              "-p",
              std::to_string(server.port()),
              "-c",
              "start"};
    o.stdout_file = fifo;
    process p(o);
    const int peer = server.accept(5s);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(read_some(peer, ::frmcu::ctrl_header_size, 5s).size(), ::frmcu::ctrl_header_size);
    const bytes answer = {'F', 'C', '0', '1', 0, 0, 0, 12, 0x80, 0x01, 0, 0};
    ASSERT_EQ(::write(peer, answer.data(), answer.size()), 12);
    pollfd ended{peer, POLLIN, 0};
    char byte;
    EXPECT_TRUE(poll(&ended, 1, 3000) == 1 && recv(peer, &byte, 1, 0) == 0);
    EXPECT_TRUE(p.running());  // still waiting for its output to go
    close(peer);

    char buf[4096];
    const auto deadline = clock::now() + 5s;
    while (p.running() && clock::now() < deadline)
        if (::read(reader, buf, sizeof buf) <= 0) usleep(1000);
    EXPECT_EQ(p.wait(1s), exited(0));
    close(reader);
}

// A connection closed right after the header: no message, a length mismatch like any other.
TEST(NodectlConnection, ClosedAfterTheHeader) {
    tcp_listener server;
    spawn_options o;
    o.args = {
        program("nodectl"), "-i", "127.0.0.1", "-p", std::to_string(server.port()), "-c", "start"};
    process p(o);
    const int peer = server.accept(5s);
    ASSERT_GE(peer, 0);
    EXPECT_EQ(read_some(peer, ::frmcu::ctrl_header_size, 5s).size(), ::frmcu::ctrl_header_size);
    const bytes header = {'F', 'C', '0', '1', 0, 0, 0, 12, 0x80, 0x01};
    ASSERT_EQ(::write(peer, header.data(), header.size()), 10);
    close(peer);
    EXPECT_EQ(p.wait(10s), exited(1));
    EXPECT_EQ(p.err(), "Invalid length of response message: 0 (2)\n");
}

// SIGINT once the request is out, while nodectl waits for the header or for the message.
void interrupt_while(const char* answer, const char* stand_in_line) {
    frmcu fr({"--answer", answer});
    spawn_options o;
    o.args = {program("nodectl"), "-v", "-i",        "127.0.0.1", "-p",
              fr.port_text(),     "-c", "statistics"};
    process p(o);
    ASSERT_TRUE(fr.saw(stand_in_line));
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(2s), exited(0));
    EXPECT_EQ(p.err(), "Signal handler for 2 signal\n");
    EXPECT_NE(p.out().find("Reading FR_CTRL_HEADER\n"), std::string::npos) << p.out();
}

TEST(NodectlInterrupt, DuringTheWaitForTheHeader) {
    interrupt_while("statistics=silent", "staying silent");
}

TEST(NodectlInterrupt, DuringTheMessageRead) {
    interrupt_while("statistics=split=10000", "sent header");
}

// SIGINT held back at the points where it could slip in unseen: between the handler's
// installation and the request (nothing goes out), and just before the wait for the header
// (the wait ends at once, not after its 5 s).
// SIGINT just after the handler is in (taken at once; blocked by the parent, it waits for the
// last point before the request goes out), and just before the wait for the answer.
TEST(NodectlInterrupt, AtTheEdgesOfTheWaits) {
    const std::string request_dump = "\\x46\\x43\\x30\\x31\\x00\\x00\\x00\\x0A\\x00\\x03\n\n";
    const struct {
        std::string point;
        bool sigint_blocked = false;
        std::string last_line{};  // the start of the last line printed; empty: the request's dump
        bool request_sent = false;
    } points[] = {
        {.point = "sigaction:" + std::to_string(SIGINT), .last_line = "Connecting to: 127.0.0.1 "},
        {.point = "sigaction:" + std::to_string(SIGINT), .sigint_blocked = true},
        {.point = "pselect", .last_line = "Reading FR_CTRL_HEADER", .request_sent = true},
    };
    for (const auto& c : points) {
        frmcu fr({"--answer", "statistics=silent"});
        temp_board dir;  // a place for the hold's mark
        spawn_options o;
        o.args = {program("nodectl"), "-v", "-i",        "127.0.0.1", "-p",
                  fr.port_text(),     "-c", "statistics"};
        o.env = hold_environment(c.point, 500, dir.path("held"));
        if (c.sigint_blocked) o.blocked_signals = {SIGINT};
        process p(o);
        const auto deadline = clock::now() + 10s;
        while (!dir.exists("held") && p.running() && clock::now() < deadline)
            usleep(1000);
        ASSERT_TRUE(dir.exists("held")) << c.point << p.err();
        p.signal(SIGINT);
        EXPECT_EQ(p.wait(3s), exited(0)) << c.point;
        EXPECT_EQ(p.err(), "Signal handler for 2 signal\n") << c.point;
        const std::string& out = p.out();
        if (c.last_line.empty()) {
            EXPECT_TRUE(out.ends_with(request_dump)) << out;
        } else {
            const std::size_t last = out.rfind('\n', out.size() - 2) + 1;
            EXPECT_EQ(out.compare(last, c.last_line.size(), c.last_line), 0) << out;
        }
        ASSERT_TRUE(fr.saw("request"));  // logged once the connection ends
        EXPECT_EQ(fr.log().find("request 46") != std::string::npos, c.request_sent) << fr.log();
    }
}

TEST(NodectlInterrupt, WithoutVerboseNothingIsPrinted) {
    frmcu fr({"--answer", "statistics=silent"});
    spawn_options o;
    o.args = {program("nodectl"), "-i", "127.0.0.1", "-p", fr.port_text(), "-c", "statistics"};
    process p(o);
    ASSERT_TRUE(fr.saw("staying silent"));
    p.signal(SIGINT);
    EXPECT_EQ(p.wait(2s), exited(0));
    EXPECT_EQ(p.err(), "");
    EXPECT_EQ(p.out(), "");
}

// The tests below need fixed ports or the compiled-in addresses: a private network namespace.
class NodectlDefaults : public testing::Test {
  protected:
    void SetUp() override {
        if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace here";
    }
};

TEST_F(NodectlDefaults, PortTakenModulo65536AndPrintedWhole) {
    frmcu fr({}, "127.0.0.1", 4464);
    auto r = nodectl({"-v", "-i", "127.0.0.1", "-p", "70000", "-c", "start"});
    EXPECT_EQ(r.status, exited(0)) << r.err;
    EXPECT_NE(r.out.find("Connecting to: 127.0.0.1 70000\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Sending command start to 127.0.0.1 port 70000\n"), std::string::npos);
    EXPECT_TRUE(fr.saw("request"));
}

TEST_F(NodectlDefaults, DefaultAddressAndPortReachTheFrmcu) {
    ASSERT_TRUE(make_frmcu_link(::frmcu::default_host_address, ::frmcu::default_mcu_address));
    frmcu fr({"--stats", "0,0,0,0,0,0,15,3,0,0,0"}, ::frmcu::default_mcu_address,
             ::frmcu::control_port);
    auto r = nodectl({"-c", "statistics"});
    EXPECT_EQ(r.status, exited(0)) << r.err;
    EXPECT_TRUE(r.out.starts_with("MODE:  RESERVED\nSTATE: CONFIG\n")) << r.out;
}

}  // namespace

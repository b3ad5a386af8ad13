// framerelayd end to end: relay datagrams on loopback, the virtual FlexRay device stand-in
// (vflexray-sink) as the device, the FR-MCU stand-in as a frame source.
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "frmcu/bytes.hpp"
#include "tests/support/board.hpp"
#include "tests/support/net.hpp"
#include "tests/support/process.hpp"
#include "tests/support/relay.hpp"

namespace {

using namespace support;

constexpr std::size_t record_size = relay_record_size;

const std::string help_text =
    "framerelayd v0.0.3\n"
    "\n"
    "Copyright (c) 2026 The gateway tools developers\n"
    "\n"
    "Usage: framerelayd <-ipvh> [value]\n"
    "\t -d --device. Virtual FlexRay device. Defaults to vflexray0\n"
    "\t -p --port. Destination UDP port on FlexRay node\n"
    "\t -f --file. Optional hex dump file.\n"
    "\t -v --verbose\n"
    "\t -h --help\n"
    "\t Use 'kill -SIGUSR1'  to get statistics.\n"
    "\tA typical example: framerelayd -p 29052\n"
    "\n";

// A relay datagram of these records, numbered udp_seq.
bytes datagram(std::uint32_t udp_seq, const std::vector<relay_record>& records) {
    return encode(relay_datagram{.udp_seq = udp_seq, .records = records});
}

std::vector<std::string> words(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> out;
    for (std::string w; in >> w;)
        out.push_back(w);
    return out;
}

// CPU time (user + system, clock ticks) a process used so far.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) {
            stime = std::stol(field);
            break;
        }
    }
    return utime + stime;
}

// A board with a running device, a daemon on a free loopback port and a sender.
class Relay : public ::testing::Test {
  protected:
    temp_board board;
    std::vector<std::unique_ptr<process>> sinks;
    process* sink = nullptr;  // the last one started
    std::unique_ptr<process> daemon;
    int port = free_port(SOCK_DGRAM);
    std::unique_ptr<udp_socket> sender;  // made on first use, in the test's namespace

    void start_sink(const std::string& name = "vflexray0") {
        spawn_options o;
        o.args = {tool("vflexray-sink"), name};
        o.env = {"BOARDSIM_DIR=" + board.dir()};
        sinks.push_back(std::make_unique<process>(o));
        sink = sinks.back().get();
        ASSERT_TRUE(sink->wait_output(stream::out, "ready\n", 10s)) << sink->err();
    }

    // `o` says how the daemon is started, beyond its arguments and board.
    void start_daemon(std::vector<std::string> options, bool with_port = true,
                      spawn_options o = {}) {
        o.args = {program("framerelayd")};
        if (with_port) o.args.insert(o.args.end(), {"-p", std::to_string(port)});
        o.args.insert(o.args.end(), options.begin(), options.end());
        o.board = board.dir();
        daemon = std::make_unique<process>(o);
        ASSERT_TRUE(daemon->wait_output(stream::out, "Starting UDP FlexRay daemon", 10s))
            << daemon->err();
    }

    void send(const bytes& d, int to_port = 0) {
        if (!sender) sender = std::make_unique<udp_socket>();
        sender->send_to("127.0.0.1", to_port ? to_port : port, d);
    }

    // Datagrams 1 to `count`, five frames each, numbered from 1 on.
    void send_in_sequence(std::uint32_t count) {
        for (std::uint32_t d = 1; d <= count; ++d) {
            std::vector<relay_record> r;
            for (std::uint32_t k = 1; k <= 5; ++k)
                r.push_back({.frame_seq = (d - 1) * 5 + k});
            send(datagram(d, r));
        }
    }

    std::string records_file(const std::string& name = "vflexray0") const {
        return "vflexray/" + name + ".records";
    }

    // The device records once `count` of them arrived.
    std::vector<bytes> records(std::size_t count, const std::string& name = "vflexray0") const {
        std::string data;
        eventually([&] {
            data = board.read(records_file(name));
            return data.size() >= count * record_size;
        });
        std::vector<bytes> out;
        for (std::size_t at = 0; at + record_size <= data.size(); at += record_size)
            out.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                             data.begin() + static_cast<std::ptrdiff_t>(at + record_size));
        return out;
    }

    // Asks for the statistics line and returns it.
    std::string statistics() {
        daemon->running();  // takes in what was written so far
        const std::size_t from = daemon->out().size();
        daemon->signal(SIGUSR1);
        if (!daemon->wait_output(stream::out, "FR count: ", 5s, from)) return "(no answer)";
        const std::size_t at = daemon->out().find("FR count: ", from);
        if (!daemon->wait_output(stream::out, "\n", 5s, at)) return "(no line end)";
        const std::string& out = daemon->out();
        return out.substr(at, out.find('\n', at) + 1 - at);
    }
};

TEST(Options, HelpForHelpAndForEveryOptionNotRecognised) {
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-?"},      {"--help"}, {"-i", "vflexray1"}, {"-d", "vflexray1"},
        {"-b"}, {"--bogus"}, {"-p"},     {"--interface"},     {"-v", "-x"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{program("framerelayd")};
        args.insert(args.end(), c.begin(), c.end());
        const auto r = run(args);
        EXPECT_EQ(r.status, exited(0)) << c[0];
        EXPECT_EQ(r.out, help_text) << c[0];
    }
}

TEST(Options, WithoutTheBoardTheKernelRefusesTheFlexRaySocket) {
    temp_board scratch;
    const std::string dump = scratch.path("dump.txt");
    const auto r = run({program("framerelayd"), "-f", dump, "-p", "0"});
    EXPECT_EQ(r.status, exited(shell_status(-7)));
    EXPECT_TRUE(r.err.starts_with("Error opening vflexray socket: ")) << r.err;
    EXPECT_TRUE(scratch.exists("dump.txt"));  // opened while the options were read
    EXPECT_EQ(r.out, "");
}

TEST_F(Relay, StartUpFailuresOnTheBoard) {
    // A socket file with nobody behind it: the device is there but cannot be attached.
    board.write("vflexray/.keep", "");
    {
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        const std::string path = board.path("vflexray/dead0.sock");
        std::copy(path.begin(), path.end(), a.sun_path);
        ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        close(fd);
    }
    start_sink("vflexray0123456");  // 15 characters, the longest interface name

    // A UDP socket on the port without address reuse keeps the daemon off it.
    const int taken = socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in taken_address = ipv4("127.0.0.1", 0);
    ASSERT_EQ(bind(taken, reinterpret_cast<const sockaddr*>(&taken_address), sizeof taken_address),
              0);
    sockaddr_in bound{};
    socklen_t bound_size = sizeof bound;
    getsockname(taken, reinterpret_cast<sockaddr*>(&bound), &bound_size);

    struct {
        std::vector<std::string> args;
        int status;
        std::string err;
        const char* failing = "";  // a call that fails (tests/support/fail.cpp)
    } const cases[] = {
        {{"-p", "0"}, -6, "Error opening UDP socket: Permission denied\n", "socket"},
        {{"-p", "0"}, -8, "Error setting reuse address option: Permission denied\n", "setsockopt"},
        {{"-f", board.path("no/such/dir/dump")},
         -5,
         "Could not open dump file: No such file or directory\n"},
        {{"-p", std::to_string(ntohs(bound.sin_port))},
         -9,
         "UDP socket bind error: Address already in use\n"},
        {{"-p", "0"}, -10, "FlexRay ioctl: No such device\n"},  // no vflexray0
        {{"-p", "0", "--interface", "vflexray9"}, -10, "FlexRay ioctl: No such device\n"},
        // Longer than any interface name: never taken for the 15-character device.
        {{"-p", "0", "--interface", "vflexray01234567"}, -10, "FlexRay ioctl: No such device\n"},
        {{"-p", "0", "--interface", "dead0"}, -11, "FlexRay bind error: Network is down\n"},
    };
    for (const auto& c : cases) {
        spawn_options o;
        o.args = {program("framerelayd")};
        o.args.insert(o.args.end(), c.args.begin(), c.args.end());
        o.board = board.dir();
        if (*c.failing) o.env = fail_environment(board.dir(), c.failing);
        const auto r = run(o);
        EXPECT_EQ(r.status, exited(shell_status(c.status))) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
        EXPECT_EQ(r.out, "") << c.args.back();
    }
    close(taken);

    // The 15-character name itself is found. A socket with address reuse on the port, as an
    // earlier daemon's own, leaves room for it.
    const int shared = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    setsockopt(shared, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const sockaddr_in shared_address = ipv4("127.0.0.1", port);
    ASSERT_EQ(
        bind(shared, reinterpret_cast<const sockaddr*>(&shared_address), sizeof shared_address), 0);
    start_daemon({"--interface", "vflexray0123456"});
    close(shared);
    send(datagram(1, {{.frame_seq = 1}}));
    EXPECT_EQ(records(1, "vflexray0123456").size(), 1u);
}

// The worked example of the datagram format and the texts of a verbose run, byte for byte.
TEST_F(Relay, VerboseRunDeviceRecordsAndDumpFile) {
    start_sink();
    start_daemon({"-v", "--file", board.path("dump.txt")});
    send(datagram(5, {{.frame_seq = 1000}}));  // the worked example, numbered 1000
    send({'F'});  // the rest of the buffer reads as zero, not as the datagram before
    send(datagram(6, {{.frame_seq = 1001, .len = 255, .payload = {}},
                      {.frame_seq = 1002,
                       .len = 6,
                       .frame_id = 0x7FF,
                       .sec = 7,
                       .nsec = 999,
                       .payload = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66}}}));
    send(encode(relay_datagram{.udp_seq = 99, .records = {{.frame_seq = 5000}}, .magic = "FR02"}));
    // Announces two records, the second arrives cut: it is not made up from zero bytes.
    send(encode(relay_datagram{
        .udp_seq = 7,
        .records = {{.frame_seq = 1003, .len = 0, .payload = {}}, {.frame_seq = 1004}},
        .cut = relay_header_size + relay_record_size + 100}));
    // Announces nine, carries one; 1004 shows up as lost.
    send(encode(relay_datagram{
        .udp_seq = 8,
        .records = {{.frame_seq = 1005, .len = 4, .payload = {0xAA, 0xBB, 0xCC, 0xDD}}},
        .announced = 9}));
    send(datagram(9, {}));
    send({});
    const auto device = records(4);
    ASSERT_EQ(device.size(), 4u);
    const bytes first = {0xE8, 0x03, 0x00, 0x00, 0xA0, 0xA1, 0xA2, 0xA3, 0x0C, 0x00, 0x00, 0x00,
                         0x59, 0x01, 0x00, 0x00, 0x04, 0x03, 0x02, 0x01, 0x2A, 0x00, 0x02, 0xB1,
                         0x0B, 0x0A, 0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0x01, 0x02, 0x00, 0x00};
    EXPECT_EQ(bytes(device[0].begin(), device[0].begin() + 36), first);
    EXPECT_EQ(frmcu::load_le32(&device[1][0]), 1002u);
    EXPECT_EQ(bytes(device[1].begin() + 32, device[1].begin() + 38),
              (bytes{0x44, 0x33, 0x22, 0x11, 0x55, 0x66}));
    EXPECT_EQ(frmcu::load_le32(&device[2][0]), 1003u);
    EXPECT_EQ(frmcu::load_le32(&device[3][0]), 1005u);

    EXPECT_EQ(statistics(), "FR count: 4, drops: 1000\n");
    const auto started = clock::now();
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(10s), exited(255));
    EXPECT_GE(clock::now() - started, 900ms);

    const std::string p = "Starting UDP FlexRay daemon on port " + std::to_string(port) + "\n";
    EXPECT_EQ(daemon->out(), p + "UDP sequence anomaly. Expected: 1 got: 5\n"
                                 "FlexRay frame sequence anomaly. Expected: 1 got: 1000\n"
                                 "Send frames with frame_id=2A len=2 12 s 345 us\n"
                                 "Sent frame with 296 bytes\n"
                                 "Magic number is wrong: 46000000\n"
                                 "FlexRay frame length error. Max: 254 got: 255\n"
                                 "Send frames with frame_id=7FF len=6 7 s 0 us\n"
                                 "Sent frame with 296 bytes\n"
                                 "Magic number is wrong: 46523032\n"
                                 "Datagram 7 announces 2 frame records, 1 arrived whole: rest "
                                 "ignored\n"
                                 "Send frames with frame_id=2A len=0 12 s 345 us\n"
                                 "Sent frame with 296 bytes\n"
                                 "Datagram 8 announces 9 frame records, 1 arrived whole: rest "
                                 "ignored\n"
                                 "FlexRay frame sequence anomaly. Expected: 1004 got: 1005\n"
                                 "Send frames with frame_id=2A len=4 12 s 345 us\n"
                                 "Sent frame with 296 bytes\n"
                                 "FR count: 4, drops: 1000\n"
                                 "Signal handler for 2 signal\n");
    EXPECT_EQ(daemon->err(), "");
    EXPECT_EQ(board.read("dump.txt"),
              "fid: 002A ---------\ntime: 12 s 345 us\n01 02 \n---------\n"
              "fid: 07FF ---------\ntime: 7 s 0 us\n44 33 22 11 55 66 \n---------\n"
              "fid: 002A ---------\ntime: 12 s 345 us\n\n---------\n"
              "fid: 002A ---------\ntime: 12 s 345 us\nDD CC BB AA \n---------\n");
}

// Also whatever the parent left: its signals blocked; others blocked, which stay blocked (sent
// before the stop, they must not end the run); standard input closed, so that the UDP socket is
// descriptor 0. And once under memcheck, which finds what the waits are given uninitialised.
TEST_F(Relay, CountersAreUnsignedAndSilentWithoutVerbose) {
    start_sink();
    const struct {
        const char* left;
        std::vector<int> blocked{}, sent_first{};
        bool stdin_closed = false, memcheck = false;
    } parents[] = {
        {.left = "its signals blocked", .blocked = {SIGINT, SIGTERM, SIGUSR1}},
        {.left = "others blocked", .blocked = {SIGHUP, SIGUSR2}, .sent_first = {SIGHUP, SIGUSR2}},
        {.left = "stdin closed", .stdin_closed = true},
        {.left = "nothing, under memcheck", .memcheck = true},
    };
    std::size_t relayed = 0;
    for (const auto& parent : parents) {
        SCOPED_TRACE(parent.left);
        spawn_options o;
        o.blocked_signals = parent.blocked;
        o.stdin_closed = parent.stdin_closed;
        if (parent.memcheck) o.memcheck_log = board.path("memcheck.log");
        start_daemon({}, true, o);
        for (int other : parent.sent_first)
            daemon->signal(other);
        send(datagram(1, {{.frame_seq = 0x90000000}}));
        ASSERT_EQ(records(++relayed).size(), relayed);
        EXPECT_EQ(statistics(), "FR count: 1, drops: 2415919103\n");
        daemon->signal(SIGINT);
        EXPECT_EQ(daemon->wait(10s), exited(255));
        EXPECT_EQ(daemon->out(), "Starting UDP FlexRay daemon on port " + std::to_string(port) +
                                     "\nFR count: 1, drops: 2415919103\n");
    }
    EXPECT_EQ(board.read("memcheck.log"), "");
}

// A device that goes away (its side removed) fails the next write: the run ends with status 1.
TEST_F(Relay, ADeviceThatGoesAwayEndsTheRunWithStatusOne) {
    start_sink();
    start_daemon({});
    send(datagram(1, {{.frame_seq = 1}}));
    ASSERT_EQ(records(1).size(), 1u);
    sink->signal(SIGTERM);
    ASSERT_TRUE(sink->wait(5s));
    send(datagram(2, {{.frame_seq = 2}}));
    EXPECT_EQ(daemon->wait(5s), exited(1));
    EXPECT_EQ(daemon->err(), "vflexray write: Network is down\n");
}

// A dump path longer than a name buffer is opened whole, never cut to another file's name.
TEST_F(Relay, LongDumpPathIsOpenedWhole) {
    start_sink();
    const std::string dir = board.path(std::string(150, 'd'));
    const std::string path = dir + "/" + std::string(150, 'f');
    ASSERT_GT(path.size(), 254u);
    board.write(std::string(150, 'd') + "/.keep", "");
    start_daemon({"-f", path});
    send(datagram(1, {{.frame_seq = 1}}));
    ASSERT_EQ(records(1).size(), 1u);
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(10s), exited(255));
    EXPECT_EQ(read_file(path), "fid: 002A ---------\ntime: 12 s 345 us\n01 02 \n---------\n");
    EXPECT_NE(access(path.substr(0, 254).c_str(), F_OK), 0);  // no file of the cut name
}

// A dump file whose disk fills, empties and fills again: each failure is reported, the one after
// the file came back too (a small file system of the test's own mount namespace).
TEST_F(Relay, DumpFileFailureAfterARecoveryIsReportedAgain) {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        GTEST_SKIP() << "no private mount namespace";
    board.write("small/.keep", "");
    ASSERT_EQ(mount("tmpfs", board.path("small").c_str(), "tmpfs", 0, "size=64k"), 0);
    struct unmount {
        std::string at;
        ~unmount() { umount2(at.c_str(), MNT_DETACH); }
    } unmount_at_end{board.path("small")};
    const auto fill = [&] {
        std::ofstream filler(board.path("small/filler"), std::ios::app);
        const std::string block(4096, 'x');
        while (filler.write(block.data(), block.size()))
            filler.flush();
    };
    start_sink();
    fill();
    start_daemon({"-f", board.path("small/dump")});
    // Five records of 254 bytes a datagram: about 4 KiB of dump entries each.
    std::uint32_t frame = 0;
    std::size_t relayed = 0;
    const auto send_some = [&](int datagrams) {
        for (int d = 0; d < datagrams; ++d) {
            std::vector<relay_record> five;
            for (int k = 0; k < 5; ++k)
                five.push_back({.frame_seq = ++frame, .len = 254, .payload = bytes(254, 0xAB)});
            send(datagram(frame / 5, five));
            relayed += 5;
            ASSERT_EQ(records(relayed).size(), relayed);
        }
    };
    const std::string failed = "Dump file write failed: No space left on device\n";
    send_some(12);  // more than the stream's 32 KiB
    ASSERT_TRUE(daemon->wait_output(stream::err, failed, 5s));
    board.remove("small/filler");
    const auto before = board.read("small/dump").size();
    send_some(1);
    ASSERT_GT(board.read("small/dump").size(), before);  // the file came back
    fill();
    send_some(12);
    EXPECT_TRUE(daemon->wait_output(stream::err, failed + failed, 5s)) << daemon->err();
}

TEST_F(Relay, DumpFileOptions) {
    start_sink();
    start_daemon({"--binary", "-f", board.path("binary.txt")});
    send(datagram(1, {{.frame_seq = 1}}));
    ASSERT_EQ(records(1).size(), 1u);
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(10s), exited(255));
    EXPECT_TRUE(board.exists("binary.txt"));
    EXPECT_EQ(board.read("binary.txt"), "");

    start_daemon({"-f", board.path("first.txt"), "--file", board.path("last.txt")});
    send(datagram(1, {{.frame_seq = 1}}));
    ASSERT_EQ(records(2).size(), 2u);
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(10s), exited(255));
    EXPECT_TRUE(board.exists("first.txt"));
    EXPECT_EQ(board.read("first.txt"), "");
    EXPECT_EQ(board.read("last.txt"),
              "fid: 002A ---------\ntime: 12 s 345 us\n01 02 \n---------\n");
}

// What the FR-MCU stand-in reports it sent is what the daemon counts.
TEST_F(Relay, CountersReconcileWithTheFrameSource) {
    start_sink();
    start_daemon({});
    spawn_options o;
    o.args = words(tool("frmcu-sim") + " --relay 127.0.0.1:" + std::to_string(port) +
                   " --relay-count 120 --relay-rate 400 --relay-lengths 0,7,254,12,4"
                   " --relay-no-frame 7 --relay-fault frame-gap@10:3 --relay-fault magic@20"
                   " --relay-fault truncate@30:700 --relay-fault count@40:9"
                   " --relay-fault udp-gap@50:2 --relay-fault count@60:2"
                   " --relay-fault restart@80 --relay-fault frame-gap@100:1000");
    process source(o);
    ASSERT_TRUE(source.wait_output(stream::out, "relay done:", 30s)) << source.err();
    unsigned long long datagrams = 0, frames = 0, no_frames = 0, lost = 0;
    const auto at = source.out().find("relay done:");
    ASSERT_EQ(std::sscanf(source.out().c_str() + at,
                          "relay done: datagrams=%llu frames=%llu no-frame=%llu lost=%llu",
                          &datagrams, &frames, &no_frames, &lost),
              4);
    EXPECT_EQ(datagrams, 120u);
    const auto device = records(static_cast<std::size_t>(frames));
    EXPECT_EQ(device.size(), frames);
    EXPECT_EQ(statistics(),
              "FR count: " + std::to_string(frames) + ", drops: " + std::to_string(lost) + "\n");
    // Every record on the device is a frame, in the order sent.
    std::uint32_t previous = 0;
    int restarts = 0;
    for (const auto& r : device) {
        const std::uint32_t seq = frmcu::load_le32(&r[0]);
        EXPECT_NE(r[22], 255);
        if (seq < previous) ++restarts;
        previous = seq;
    }
    EXPECT_EQ(restarts, 1);
    source.signal(SIGTERM);
    source.wait(5s);
}

// A stalled device: the daemon waits without spinning, answers SIGUSR1, loses nothing.
TEST_F(Relay, FullDeviceQueueIsWaitedOut) {
    start_sink();
    start_daemon({});
    sink->signal(SIGUSR1);
    ASSERT_TRUE(sink->wait_output(stream::out, "stalled\n", 5s));
    send_in_sequence(4);
    // The queue fills, then the count stays put.
    std::string line;
    ASSERT_TRUE(eventually([&] {
        line = statistics();
        return line != "FR count: 0, drops: 0\n";
    }));
    std::this_thread::sleep_for(200ms);
    const std::string waiting = statistics();
    unsigned sent = 0;
    ASSERT_EQ(std::sscanf(waiting.c_str(), "FR count: %u, drops: 0", &sent), 1) << waiting;
    EXPECT_GE(sent, 3u);
    EXPECT_LT(sent, 20u);

    const long before = cpu_ticks(daemon->pid());
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(cpu_ticks(daemon->pid()) - before, 15);  // waits, does not spin
    EXPECT_EQ(statistics(), waiting);
    EXPECT_TRUE(daemon->running());

    sink->signal(SIGUSR2);
    const auto device = records(20);
    ASSERT_EQ(device.size(), 20u);
    for (std::uint32_t i = 0; i < 20; ++i)
        EXPECT_EQ(frmcu::load_le32(&device[i][0]), i + 1);
    EXPECT_EQ(statistics(), "FR count: 20, drops: 0\n");
}

// Datagrams that come faster than the daemon takes them (the hold slows every receive to 1 ms),
// so that it never waits for one: it still answers SIGUSR1 and stops on SIGINT and SIGTERM.
TEST_F(Relay, SignalsAreServedWhileDatagramsArriveBackToBack) {
    start_sink();
    const std::pair<int, exit_status> stops[] = {{SIGINT, exited(255)},
                                                 {SIGTERM, killed_by(SIGTERM)}};
    for (const auto& [stop, status] : stops) {
        spawn_options o;
        o.env = hold_environment("recvfrom", 1, "");
        o.env[0] =
            board_environment(board.dir())[1] + ":" + o.env[0].substr(o.env[0].find('=') + 1);
        start_daemon({}, true, o);
        std::atomic<std::uint32_t> sent = 0;
        std::jthread flood([&](std::stop_token flooding) {
            for (std::uint32_t n = 1; !flooding.stop_requested(); sent = n++) {
                send(datagram(n, {{.frame_seq = n}}));
                std::this_thread::sleep_for(200us);
            }
        });
        // Far more sent than taken: the receive queue stays full from here on.
        ASSERT_TRUE(eventually([&] { return sent > 500 && !board.read(records_file()).empty(); }));
        EXPECT_TRUE(statistics().starts_with("FR count: ")) << strsignal(stop);
        daemon->signal(stop);
        EXPECT_EQ(daemon->wait(3s), status) << strsignal(stop);
    }
}

// SIGUSR1 while the daemon is busy with the last datagram (held in its receive), then silence:
// the line comes at once, not with a next datagram that may never come.
TEST_F(Relay, StatisticsAskedWhileBusyAreAnsweredBeforeTheNextWait) {
    start_sink();
    spawn_options o;
    o.env = hold_environment("recvfrom", 500, "");
    o.env[0] = board_environment(board.dir())[1] + ":" + o.env[0].substr(o.env[0].find('=') + 1);
    start_daemon({}, true, o);
    send(datagram(1, {{.frame_seq = 1}}));
    ASSERT_EQ(records(1).size(), 1u);  // the receive after it is held now
    daemon->signal(SIGUSR1);
    EXPECT_TRUE(daemon->wait_output(stream::out, "FR count: 1, drops: 0\n", 2s)) << daemon->out();
}

// SIGINT amid traffic: status 255 after the pause, and the dump file holds an entry for every
// record the device took.
TEST_F(Relay, InterruptDuringTrafficLeavesACompleteDumpFile) {
    start_sink();
    start_daemon({"-f", board.path("dump.txt")});
    spawn_options o;
    o.args = words(tool("frmcu-sim") + " --relay 127.0.0.1:" + std::to_string(port) +
                   " --relay-rate 500 --relay-lengths 16,254");
    process source(o);
    ASSERT_TRUE(eventually([&] { return board.read(records_file()).size() >= 100 * record_size; }));
    const auto started = clock::now();
    daemon->signal(SIGINT);
    EXPECT_EQ(daemon->wait(10s), exited(255));
    EXPECT_GE(clock::now() - started, 900ms);
    source.signal(SIGTERM);
    source.wait(5s);

    const std::string dump = board.read("dump.txt");
    std::size_t entries = 0;
    for (std::size_t at = 0; (at = dump.find("fid: ", at)) != std::string::npos; ++at)
        ++entries;
    EXPECT_TRUE(dump.ends_with("\n---------\n"));
    EXPECT_GE(entries, 100u);
    // The device drains what the daemon had queued.
    EXPECT_TRUE(eventually([&] {
        return board.read(records_file()).size() == entries * record_size;
    })) << entries
        << " dump entries, " << board.read(records_file()).size() / record_size << " records";
}

// A service manager's stop: the dump file is written out whole, then SIGTERM ends the daemon
// as it would without a handler, at once and silently.
TEST_F(Relay, TerminateLeavesEveryDumpEntryAndDiesOfSigterm) {
    start_sink();
    start_daemon({"-v", "-f", board.path("dump.txt")});
    send_in_sequence(60);
    ASSERT_EQ(records(300).size(), 300u);
    EXPECT_EQ(statistics(), "FR count: 300, drops: 0\n");
    const std::size_t printed = daemon->out().size();
    const auto started = clock::now();
    daemon->signal(SIGTERM);
    EXPECT_EQ(daemon->wait(10s), killed_by(SIGTERM));
    EXPECT_LT(clock::now() - started, 800ms);
    EXPECT_EQ(daemon->out().size(), printed);
    std::string entries;
    for (int k = 0; k < 300; ++k)
        entries += "fid: 002A ---------\ntime: 12 s 345 us\n01 02 \n---------\n";
    EXPECT_EQ(board.read("dump.txt"), entries);
}

// A dump file that cannot be written is reported once; every frame still reaches the device.
// Few frames fail only when the file is closed, many already while the daemon runs.
TEST_F(Relay, DumpFileFailureIsReportedOnceAndRelayingGoesOn) {
    start_sink();
    std::size_t relayed = 0;
    for (std::uint32_t datagrams : {2u, 200u}) {
        start_daemon({"-f", "/dev/full"});
        spawn_options o;
        o.args = words(tool("frmcu-sim") + " --relay 127.0.0.1:" + std::to_string(port) +
                       " --relay-rate 1000 --relay-count " + std::to_string(datagrams));
        process source(o);
        ASSERT_TRUE(source.wait_output(stream::out, "relay done:", 30s)) << source.err();
        relayed += 5 * datagrams;
        ASSERT_EQ(records(relayed).size(), relayed);
        EXPECT_EQ(statistics(), "FR count: " + std::to_string(5 * datagrams) + ", drops: 0\n");
        if (datagrams > 2)  // more than the stream buffers: reported while the daemon runs
            EXPECT_TRUE(daemon->wait_output(stream::err, "\n", 5s));
        else
            EXPECT_EQ(daemon->err(), "");
        daemon->signal(SIGINT);
        EXPECT_EQ(daemon->wait(10s), exited(255));
        EXPECT_EQ(daemon->err(), "Dump file write failed: No space left on device\n") << datagrams;
    }
}

// Fixed ports are safe only in a namespace of our own.
class RelayInNamespace : public Relay {
  protected:
    void SetUp() override {
        if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace";
    }

    // Ports of the UDP sockets bound to the wildcard address in this namespace.
    static std::vector<int> wildcard_udp_ports() {
        std::ifstream in("/proc/net/udp");
        std::vector<int> ports;
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            if (local.starts_with("00000000:"))
                ports.push_back(std::stoi(local.substr(9), nullptr, 16));
        }
        return ports;
    }
};

TEST_F(RelayInNamespace, PortValues) {
    start_sink();
    start_sink("vflexray1");
    struct {
        std::vector<std::string> args;
        std::string shown;
        int bound;  // 0: the system's choice
        const char* device;
    } const cases[] = {
        {{"-p", "70000"}, "70000", 4464, "vflexray0"},
        {{"-p", "abc"}, "0", 0, "vflexray0"},
        {{"--interface", "vflexray1"}, "29052", 29052, "vflexray1"},
    };
    std::size_t taken[2] = {0, 0};
    for (const auto& c : cases) {
        start_daemon(c.args, false);
        EXPECT_TRUE(
            daemon->out().starts_with("Starting UDP FlexRay daemon on port " + c.shown + "\n"))
            << daemon->out();
        std::vector<int> ports;
        ASSERT_TRUE(eventually([&] { return !(ports = wildcard_udp_ports()).empty(); }));
        ASSERT_EQ(ports.size(), 1u);
        if (c.bound) {
            EXPECT_EQ(ports[0], c.bound);
        }
        send(datagram(1, {{.frame_seq = 1}}), ports[0]);
        std::size_t& count = taken[std::string(c.device) == "vflexray1"];
        EXPECT_EQ(records(++count, c.device).size(), count) << c.args[1];
        daemon->signal(SIGINT);
        EXPECT_EQ(daemon->wait(10s), exited(255));
    }
}

}  // namespace

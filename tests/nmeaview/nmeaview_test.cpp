// nmeaview end to end: over a real pseudo-terminal, and against the GPS stand-in.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "tests/nmeaview/common.hpp"
#include "tests/nmeaview/termios_text.hpp"
#include "tests/support/board.hpp"
#include "tests/support/paths.hpp"
#include "tests/support/process.hpp"
#include "tests/support/pty.hpp"

namespace {

using namespace support;
using namespace nmea_test;

// Waits until the reader flushes the port, which it does once the line is set up; in packet
// mode the master side sees the flush.
bool wait_for_flush(int master, duration timeout) {
    const auto deadline = clock::now() + timeout;
    while (clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        unsigned char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0 && buf[0] != TIOCPKT_DATA && (buf[0] & TIOCPKT_FLUSHREAD) != 0) return true;
    }
    return false;
}

// nmeaview reading a pty, past its set-up: what is written from now on reaches it.
struct reader_on_pty {
    std::unique_ptr<pty_pair> pty = std::make_unique<pty_pair>();
    std::optional<process> proc;
    bool ready = false;

    // `o` holds the arguments after the port's and how the program is started; `prepare` sets
    // up the port before.
    explicit reader_on_pty(spawn_options o = {},
                           const std::function<void(const pty_pair&)>& prepare = {}) {
        if (prepare) prepare(*pty);
        int on = 1;
        ioctl(pty->master(), TIOCPKT, &on);
        o.args.insert(o.args.begin(), {program("nmeaview"), pty->slave_path()});
        proc.emplace(o);
        ready = wait_for_flush(pty->master(), 10s);
    }
};

// Writes the chunks, each a write of its own, a little apart so that the reader sees them
// one by one.
void write_chunks(const pty_pair& pty, const std::vector<std::string>& chunks) {
    for (const auto& c : chunks) {
        pty.write(c);
        if (chunks.size() > 1) usleep(1000);
    }
}

// CPU time the process has used, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string skip;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 13; ++i)
        fields >> skip;
    fields >> utime >> stime;
    return utime + stime;
}

TEST(Nmeaview, UsageAndOpenFailures) {
    // An open that a stop signal cuts short (a port waiting for carrier) ends it quietly.
    std::vector<std::string> interrupted = fail_environment("", "open");
    interrupted.push_back("GW_FAIL_PATH=/dev/null");
    const struct {
        std::vector<std::string> args;
        std::string out;
        std::vector<std::string> env;
    } cases[] = {
        {{}, "nmeaview <tty port> \n\n", {}},
        {{"/nonexistent/ttyGPS"},
         "Failed to open /nonexistent/ttyGPS, No such file or directory \n",
         {}},
        {{"/"}, "Failed to open /, Is a directory \n", {}},
        {{"/dev/null"}, "", interrupted},
    };
    for (const auto& c : cases) {
        spawn_options o;
        o.args = {program("nmeaview")};
        o.args.insert(o.args.end(), c.args.begin(), c.args.end());
        o.env = c.env;
        const auto r = run(o);
        EXPECT_EQ(r.status, exited(1));
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, "");
    }
}

// Speed, frame and local modes as the line settings name them; what else the device had stays,
// made raw.
TEST(Nmeaview, SetsTheLineTo115200EightBitsEvenParityKeepsTheRestAndPrintsTheFix) {
    temp_board dir;
    spawn_options o;
    o.args = {"ignored-argument"};
    std::string preload = std::string(bin_dir) + "/../tests/libtermios_spy.so";
    if (asan_runtime[0] != '\0') preload = std::string(asan_runtime) + ":" + preload;
    o.env = {"LD_PRELOAD=" + preload, "TERMIOS_SPY_LOG=" + dir.path("termios.log")};
    termios device{};
    reader_on_pty r(o, [&](const pty_pair& pty) {
        const int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        tcgetattr(fd, &device);
        device.c_iflag |= IXOFF | IGNPAR | INPCK | IUTF8 | ICRNL;
        device.c_oflag |= OPOST | ONLCR;
        device.c_cc[VINTR] = 0x01;
        device.c_cc[VMIN] = 5;
        tcsetattr(fd, TCSANOW, &device);
        tcgetattr(fd, &device);  // as the device keeps them
        close(fd);
    });
    ASSERT_TRUE(r.ready);
    termios wanted = device;
    cfmakeraw(&wanted);
    wanted.c_cflag = B115200 | CS8 | CREAD | PARENB | CLOCAL;
    wanted.c_lflag = 0;
    char text[320];
    termios_text(text, sizeof text, wanted);
    EXPECT_EQ(dir.read("termios.log"), "tcsetattr " + std::to_string(TCSANOW) + " " + text +
                                           "\ntcflush " + std::to_string(TCIOFLUSH) + "\n");

    r.pty->write(reference + no_fix);
    const std::string expected =
        reference_line + line("000 0:0:0 Lat: 48.7.38, Long: 11.31.0 Speed: 224");
    EXPECT_TRUE(r.proc->wait_output(stream::out, expected, 10s));
    EXPECT_EQ(r.proc->out(), expected);
}

TEST(Nmeaview, OutputDoesNotDependOnHowTheBytesArrive) {
    const std::string recorded = read_file(recording("receivers-excerpt.nmea"));
    const std::string recorded_out = read_file(recording("receivers-excerpt.out"));
    ASSERT_FALSE(recorded.empty());
    const std::string two = reference + no_fix;
    std::vector<std::string> bytes, pieces;
    for (char c : two)
        bytes.emplace_back(1, c);
    for (std::size_t at = 0; at < recorded.size(); at += 37)
        pieces.push_back(recorded.substr(at, 37));
    const std::string two_out =
        reference_line + line("000 0:0:0 Lat: 48.7.38, Long: 11.31.0 Speed: 224");
    const struct {
        const char* what;
        std::vector<std::string> chunks;
        std::string out;
    } cases[] = {
        {"a recording in one write", {recorded}, recorded_out},
        {"a recording in pieces of 37 bytes", pieces, recorded_out},
        {"two sentences a byte at a time", bytes, two_out},
    };
    for (const auto& c : cases) {
        reader_on_pty r;
        ASSERT_TRUE(r.ready) << c.what;
        write_chunks(*r.pty, c.chunks);
        r.proc->wait_output(stream::out, c.out, 20s);
        r.proc->signal(SIGTERM);
        EXPECT_EQ(r.proc->wait(10s), exited(1)) << c.what;
        EXPECT_EQ(r.proc->out(), c.out) << c.what;
    }
}

spawn_options nmeaview_on(const std::string& port) {
    spawn_options o;
    o.args = {program("nmeaview"), port};
    return o;
}

// gps-sim started with `options`; its first line names the port.
struct gps_sim {
    std::optional<process> proc;
    std::string port;

    explicit gps_sim(std::vector<std::string> options) {
        spawn_options o;
        o.args = {tool("gps-sim")};
        o.args.insert(o.args.end(), options.begin(), options.end());
        proc.emplace(o);
        if (proc->wait_output(stream::out, "\n", 10s))
            port = proc->out().substr(0, proc->out().find('\n'));
    }
};

TEST(Nmeaview, SigintAndSigtermEndItWithStatusOne) {
    // What the parent left: the stop signals blocked or ignored must not keep them out; other
    // signals it blocked stay blocked (sent before the stop, they must not end the run); with
    // standard input closed the port is descriptor 0. And once under memcheck, which finds
    // what the waits are given uninitialised.
    const struct {
        const char* left;
        std::vector<int> blocked{}, ignored{}, sent_first{};
        bool stdin_closed = false, memcheck = false;
    } parents[] = {
        {.left = "nothing"},
        {.left = "stops blocked", .blocked = {SIGINT, SIGTERM}},
        {.left = "stops ignored", .ignored = {SIGINT, SIGTERM}},
        {.left = "others blocked", .blocked = {SIGHUP, SIGUSR1}, .sent_first = {SIGHUP, SIGUSR1}},
        {.left = "stdin closed", .stdin_closed = true},
        {.left = "nothing, under memcheck", .memcheck = true},
    };
    temp_board dir;
    for (int sig : {SIGINT, SIGTERM}) {
        // Waiting (in the wait itself): well within the 5-second wait that is under way.
        for (const auto& parent : parents) {
            spawn_options o;
            o.blocked_signals = parent.blocked;
            o.ignored_signals = parent.ignored;
            o.stdin_closed = parent.stdin_closed;
            if (parent.memcheck) o.memcheck_log = dir.path("memcheck.log");
            reader_on_pty r(o);
            ASSERT_TRUE(r.ready);
            r.pty->write(reference);
            ASSERT_TRUE(r.proc->wait_output(stream::out, reference_line, 10s));
            const std::string wchan = "/proc/" + std::to_string(r.proc->pid()) + "/wchan";
            for (auto end = clock::now() + 5s;
                 read_file(wchan).find("poll") == std::string::npos && clock::now() < end;)
                usleep(1000);
            for (int other : parent.sent_first)
                r.proc->signal(other);
            const auto sent = clock::now();
            r.proc->signal(sig);
            EXPECT_EQ(r.proc->wait(10s), exited(1)) << strsignal(sig) << ", " << parent.left;
            EXPECT_LT(clock::now() - sent, 3s) << strsignal(sig) << ", " << parent.left;
            EXPECT_EQ(r.proc->out(), reference_line);
            EXPECT_EQ(r.proc->err(), "");
            if (parent.memcheck) {
                EXPECT_EQ(dir.read("memcheck.log"), "");
            }
        }

        // Busy: the receiver sends without a pause; the last line still comes out whole.
        gps_sim gps({"--rate", "0"});
        ASSERT_FALSE(gps.port.empty());
        process busy(nmeaview_on(gps.port));
        ASSERT_TRUE(busy.wait_output(stream::out, "Speed: 224\r\n", 10s));
        const auto sent = clock::now();
        busy.signal(sig);
        EXPECT_EQ(busy.wait(10s), exited(1)) << strsignal(sig);
        EXPECT_LT(clock::now() - sent, 3s) << strsignal(sig);
        EXPECT_TRUE(busy.out().ends_with("Speed: 224\r\n"));

        // Never a wait without input: a FIFO that the test keeps full is readable whenever a
        // wait begins, so the wait returns at once and lets no signal in; the stop must still
        // end the run at once.
        temp_board fifo_dir;
        const std::string fifo = fifo_dir.path("gps");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int feed = open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(feed, 0);
        fcntl(feed, F_SETPIPE_SZ, 1 << 20);  // more to drain between two of the writer's turns
        std::string chunk;
        while (chunk.size() < 65536)
            chunk += reference;
        std::atomic<bool> done{false};
        std::thread writer([&] {
            while (!done) {
                pollfd room{feed, POLLOUT, 0};
                if (poll(&room, 1, 100) == 1) (void)!write(feed, chunk.data(), chunk.size());
            }
        });
        spawn_options flood = nmeaview_on(fifo);
        flood.stdout_file = "/dev/null";
        process flooded(flood);
        usleep(300000);
        const auto flooded_at = clock::now();
        flooded.signal(sig);
        EXPECT_EQ(flooded.wait(10s), exited(1)) << strsignal(sig) << ", a port never empty";
        EXPECT_LT(clock::now() - flooded_at, 3s) << strsignal(sig) << ", a port never empty";
        done = true;
        writer.join();
        close(feed);
    }
}

// A stop that comes just before a wait (the hold keeps the program inside pselect before it
// waits) is not left for the wait's end: the run ends at once.
TEST(Nmeaview, AStopJustBeforeTheWaitEndsItAtOnce) {
    for (int sig : {SIGINT, SIGTERM}) {
        temp_board dir;
        spawn_options o;
        o.env = hold_environment("pselect", 500, dir.path("held"));
        reader_on_pty r(o);
        ASSERT_TRUE(r.ready);
        ASSERT_TRUE(eventually([&] { return dir.exists("held"); }, 10s));
        const auto sent = clock::now();
        r.proc->signal(sig);
        EXPECT_EQ(r.proc->wait(10s), exited(1)) << strsignal(sig);
        EXPECT_LT(clock::now() - sent, 2500ms) << strsignal(sig);
    }
}

// The controlling terminal's device number, field 7 of /proc/<pid>/stat (0: none).
long controlling_tty(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(all.substr(all.rfind(')') + 2));
    std::string skip;
    long tty = -1;
    fields >> skip >> skip >> skip >> skip >> tty;
    return tty;
}

// Started without a controlling terminal (a service, setsid), the port never becomes one: its
// hang-up is waited on like any other, rather than ending the program with SIGHUP.
TEST(Nmeaview, HungUpPortCostsNoCpuAndASignalStillEndsIt) {
    gps_sim gps({"--wait-reader", "--unplug", "--rate", "0", "--count", "2"});
    ASSERT_FALSE(gps.port.empty());
    spawn_options o = nmeaview_on(gps.port);
    o.new_session = true;
    process reader(o);
    EXPECT_TRUE(reader.wait_output(
        stream::out, line("94323 12:35:19 Lat: 48.7.38, Long: 11.31.0 Speed: 224"), 10s));
    EXPECT_EQ(controlling_tty(reader.pid()), 0);
    EXPECT_EQ(gps.proc->wait(20s), exited(0));  // sent, read, and the port closed

    const long before = cpu_ticks(reader.pid());
    usleep(1'000'000);
    EXPECT_LT(cpu_ticks(reader.pid()) - before, sysconf(_SC_CLK_TCK) / 5);
    EXPECT_TRUE(reader.running());

    const auto sent = clock::now();
    reader.signal(SIGTERM);
    EXPECT_EQ(reader.wait(10s), exited(1));
    EXPECT_LT(clock::now() - sent, 3s);
}

// A hang-up (here a file at its end) is waited out, then the port is read again: what comes
// after it is still printed.
TEST(Nmeaview, WhatComesAfterAHangUpIsRead) {
    temp_board dir;
    dir.write("gps.log", reference);
    process reader(nmeaview_on(dir.path("gps.log")));
    ASSERT_TRUE(reader.wait_output(stream::out, reference_line, 10s));
    // Only once it waits out the hang-up (a wait on no descriptor: its first argument is 0), so
    // that the hang-up is seen before the rest comes.
    const std::string syscall = "/proc/" + std::to_string(reader.pid()) + "/syscall";
    ASSERT_TRUE(eventually(
        [&] {
            std::istringstream fields(read_file(syscall));
            std::string number, first;
            fields >> number >> first;
            return first == "0x0";
        },
        5s));
    dir.write("gps.log", reference + reference);
    EXPECT_TRUE(reader.wait_output(stream::out, reference_line + reference_line, 10s));
}

TEST(GpsSim, EveryKindOfSentenceReachesTheReaderAsItShould) {
    // nocourse stores the position that nofix then shows; nothing else but fix prints.
    const std::string mix = "nocourse,nofix,gga,other,gnrmc,badsum,lowercase,long,garbage,fix";
    const std::string expected = line("94323 12:35:19 Lat: 48.7.38, Long: 11.31.0 Speed: 224") +
                                 line("94323 12:35:19 Lat: 48.7.38, Long: 11.31.0 Speed: 224") +
                                 line("94323 12:35:20 Lat: 48.7.39, Long: 11.31.0 Speed: 224") +
                                 line("94323 12:35:20 Lat: 48.7.39, Long: 11.31.0 Speed: 224");
    const std::vector<std::string> ways[] = {
        {"--burst", "3", "--split", "7"},
        {"--lf"},
        {"--rate", "200"},
    };
    for (const auto& way : ways) {
        std::vector<std::string> options{"--wait-reader", "--unplug", "--mix", mix,
                                         "--count",       "20"};
        if (way[0] != "--rate") options.insert(options.end(), {"--rate", "0"});
        options.insert(options.end(), way.begin(), way.end());
        gps_sim gps(options);
        ASSERT_FALSE(gps.port.empty()) << way[0];
        process reader(nmeaview_on(gps.port));
        EXPECT_EQ(gps.proc->wait(20s), exited(0)) << way[0];
        EXPECT_EQ(gps.proc->out(), gps.port + "\ndone\n");
        reader.signal(SIGTERM);
        EXPECT_EQ(reader.wait(10s), exited(1)) << way[0];
        EXPECT_EQ(reader.out(), expected) << way[0];
    }
}

TEST(GpsSim, ReplaysAFileByteForByteThroughItsLink) {
    temp_board dir;
    const std::string file = recording("receivers-excerpt.nmea");
    const std::string link = dir.path("ttyGPS");
    gps_sim gps({"--file", file, "--rate", "0", "--link", link});
    ASSERT_FALSE(gps.port.empty());
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(target, gps.port);

    const int fd = open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    const std::string want = read_file(file);
    std::string got;
    const auto deadline = clock::now() + 20s;
    while (got.size() < want.size() && clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    EXPECT_EQ(got, want);
    EXPECT_TRUE(gps.proc->wait_output(stream::out, "done\n", 10s));
    gps.proc->signal(SIGTERM);
    EXPECT_EQ(gps.proc->wait(10s), exited(0));
    EXPECT_FALSE(dir.exists("ttyGPS"));
}

TEST(GpsSim, RejectsBadOptions) {
    for (const auto& bad : std::vector<std::vector<std::string>>{
             {"--mix", "fix,bogus"}, {"--rate", "-1"}, {"--start", "320394,123519"}, {"extra"}}) {
        std::vector<std::string> args{tool("gps-sim")};
        args.insert(args.end(), bad.begin(), bad.end());
        const auto r = run(args);
        EXPECT_EQ(r.status, exited(2)) << bad[0];
        EXPECT_EQ(r.out, "") << bad[0];
        EXPECT_NE(r.err.find("usage: gps-sim"), std::string::npos) << bad[0];
    }
}

}  // namespace

// schedcfg end to end over a real pty: the test holds the co-processor's side of the line.
#include <signal.h>
#include <termios.h>

#include <gtest/gtest.h>

#include "schedcfg/cli.hpp"
#include "tests/schedcfg/line.hpp"
#include "tests/support/pty.hpp"

namespace {

using namespace schedcfg_test;

const std::string accepted = "7e7e7ea7 00";

class Schedcfg : public ::testing::Test {
  protected:
    // Words with "PTY" in them name the line's slave path.
    void start(std::vector<std::string> args, spawn_options o = {}) {
        for (auto& a : args)
            if (auto at = a.find("PTY"); at != std::string::npos)
                a.replace(at, 3, pty.slave_path());
        prog = start_schedcfg(args, o);
    }
    // Once the program waits for more input, sends the bytes and waits until it took them all
    // (or ended), so that the next bytes never join them in one read.
    void feed(std::string_view hex_text) {
        ASSERT_TRUE(waiting_for_input(prog->pid(), pty.slave_path(), 10s));
        const auto before = bytes_read_by(prog->pid());
        const bytes b = hex(hex_text);
        pty.write(b);
        const auto deadline = clock::now() + 10s;
        while (bytes_read_by(prog->pid()) < before + static_cast<long long>(b.size()) &&
               prog->running() && clock::now() < deadline)
            usleep(1000);
    }
    bytes wire(std::size_t count) { return pty.read(count, 10s); }
    result finish() {
        const auto st = prog->wait(15s);
        EXPECT_TRUE(st.has_value()) << "still running";
        return {st.value_or(exit_status{}), prog->out(), prog->err()};
    }
    // A command exchange: the message must arrive as `expected`, then `answer` goes back.
    result exchange(std::vector<std::string> args, const bytes& expected,
                    std::string_view answer = accepted) {
        start(args);
        EXPECT_EQ(wire(expected.size()), expected);
        feed(answer);
        return finish();
    }

    support::pty_pair pty;
    std::unique_ptr<process> prog;
};

TEST_F(Schedcfg, ArgumentErrorsSendNothing) {
    const std::string usage(schedcfg::usage_text);
    const std::string too_many = "frame: too many arguments: 250 (at most 249)\n";
    std::vector<std::string> many = {"-d", "PTY", "frame"};
    many.resize(many.size() + 250, "1");
    const std::string long_path = "/nonexistent/" + std::string(9000, 'x');
    struct {
        std::vector<std::string> args;
        std::string out, err;
    } cases[] = {
        {{}, usage, ""},
        {{"-d"}, usage, ""},
        {{"-d", "PTY"}, usage, ""},  // no word left where the command should be
        {{"-b", "4800"}, "Unknown baudrate specified: 4800\n", ""},  // speed before device
        {{"--baud", "4800", "-d", "PTY", "frame"}, "Unknown baudrate specified: 4800\n", ""},
        {{"-t", "1", "frame"}, "No tty device specified\n", ""},
        {{"-d", "/nonexistent/tty", "frame"},
         "Failed to open /nonexistent/tty. error: No such file or directory\n",
         "failed to open: /nonexistent/tty\n"},
        {{"-d", long_path, "frame"},  // printed whole, however long
         "Failed to open " + long_path + ". error: File name too long\n",
         "failed to open: " + long_path + "\n"},
        {{"-d", "/dev/null", "frame"},
         "Failed to set termios. error: Inappropriate ioctl for device\n",
         "failed to open: /dev/null\n"},
        {{"-d", "PTY", "listen"}, "", "listen: not a valid command.\n"},
        {{"-d", "PTY", "Frame", "1"}, "", "Frame: not a valid command.\n"},
        {{"-dPTY", "frame", "1", "2"}, "", "1: not a valid command.\n"},  // one word, one option
        {{"-d", "PTY", "frame", "10", "abc", "3"},
         "",
         "abc: not a valid argument, a number is expected.\n"},
        {{"-d", "PTY", "frame", "10", ""}, "", ": not a valid argument, a number is expected.\n"},
        {many, "", too_many},
    };
    for (const auto& c : cases) {
        start(c.args);
        const result r = finish();
        EXPECT_EQ(r.status, exited(1)) << c.err;
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(r.err, c.err);
    }
    EXPECT_TRUE(pty.read(1, 200ms).empty());
}

TEST_F(Schedcfg, RejectedOptionCountsTowardsTheCommandPosition) {
    start({"-x", "-d", "PTY", "frame", "1"});
    const result r = finish();
    EXPECT_EQ(r.status, exited(1));
    EXPECT_NE(r.err.find("invalid option"), std::string::npos) << r.err;
    EXPECT_TRUE(r.err.ends_with("\n1: not a valid command.\n")) << r.err;
}

TEST_F(Schedcfg, CommandsOnTheWire) {
    std::vector<std::string> longest = {"-d", "PTY", "frame"};
    longest.resize(longest.size() + 249, "1");
    bytes longest_wire = hex("7e7e7ea7 fb 03");
    longest_wire.resize(longest_wire.size() + 249, 1);
    longest_wire.push_back(0xfb ^ 0x03 ^ 0x01);
    struct {
        std::vector<std::string> args;
        bytes wire;
    } cases[] = {
        {{"-d", "PTY", "schedule", "0", "1", "0", "1"}, hex("7e7e7ea7 06 02 00 01 00 01 04")},
        {{"-d", "PTY", "frame", "10", "0", "0", "3", "1", "2", "3"},
         hex("7e7e7ea7 09 03 0a 00 00 03 01 02 03 03")},
        {{"-d", "PTY", "frame", "16", "3", "0", "4"}, hex("7e7e7ea7 06 03 10 03 00 04 12")},
        {{"-d", "PTY", "item", "0", "10", "60", "1"}, hex("7e7e7ea7 06 04 00 0a 3c 01 35")},
        {{"-d", "PTY", "baudrate"}, hex("7e7e7ea7 02 05 07")},
        // A word that begins with '-' would be an option: " -1" stands for -1.
        {{"-d", "PTY", "master", "300", " -1", "12x", " 7"}, hex("7e7e7ea7 06 06 2c ff 0c 07 d8")},
        // Options may follow the command; long options; -t has no say in command mode.
        {{"frame", "10", "0", "0", "3", "1", "2", "3", "-d", "PTY"},
         hex("7e7e7ea7 09 03 0a 00 00 03 01 02 03 03")},
        {{"--device", "PTY", "--baud", "115200", "-t", "0", "item", "1", "16", "60", "1"},
         hex("7e7e7ea7 06 04 01 10 3c 01 2e")},
        {longest, longest_wire},
    };
    for (const auto& c : cases) {
        const result r = exchange(c.args, c.wire);
        EXPECT_EQ(r.status, exited(0)) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
    }
}

// A write that comes back short (a signal cut it once part was in) goes on with the rest:
// the command goes out whole, never half of it.
TEST_F(Schedcfg, AWriteCutShortGoesOnWithTheRest) {
    spawn_options o;
    o.env = fail_environment("", "short-write");
    start({"-d", "PTY", "schedule", "0", "1", "0", "1"}, o);
    EXPECT_EQ(wire(11), hex("7e7e7ea7 06 02 00 01 00 01 04"));
    feed(accepted);
    const result r = finish();
    EXPECT_EQ(r.status, exited(0)) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(pty.read(1, 200ms).empty());  // and nothing more
}

// A command exchange with standard input closed (the port is descriptor 0), and under memcheck.
TEST_F(Schedcfg, CommandWithStdinClosedAndUnderMemcheck) {
    temp_board dir;
    for (bool memcheck : {false, true}) {
        spawn_options o;
        o.stdin_closed = !memcheck;
        if (memcheck) o.memcheck_log = dir.path("memcheck.log");
        start({"-d", "PTY", "item", "0", "10", "60", "1"}, o);
        EXPECT_EQ(wire(11), hex("7e7e7ea7 06 04 00 0a 3c 01 35")) << memcheck;
        feed(accepted);
        const result r = finish();
        EXPECT_EQ(r.status, exited(0)) << r.err;
        EXPECT_EQ(r.err, "");
    }
    EXPECT_EQ(dir.read("memcheck.log"), "");
}

TEST_F(Schedcfg, FailedAnswers) {
    const std::string fail = "failed to write CMD: schedule\n";
    struct {
        std::vector<std::string> parts;  // the answer, in separate writes
        std::string err;
    } cases[] = {
        {{"7e7e7ea7 01"}, "error set in response: argument count invalid\n"},
        {{"7e7e7ea7 02"}, "error set in response: start not valid\n"},
        {{"7e7e7ea7 03"}, "error set in response: stop not valid\n"},
        {{"7e7e7ea7 04"}, "error set in response: start after stop\n"},
        {{"7e7e7ea7 05"}, "error set in response: unknown error\n"},
        {{"7e7e7ea7 06"}, "error set in response: not a valid entry\n"},
        {{"7e7e7ea7 07"}, "error set in response: invalid LIN ID\n"},
        {{"7e7e7ea7 08"}, "error set in response: frame length to long\n"},
        {{"7e7e7ea7 09"}, "error set in response: unknown error\n"},
        {{"7e7e7ea7 ff"}, "error set in response: unknown error\n"},
        {{"7e7ea7 00 00"}, "invalid message start sequence\nDUMP: 0x7e 0x7e 0xa7 0x00\n"},
        // Short answers: the second read brings less than the five bytes.
        {{"7e7e", "7e"}, "invalid message start sequence\nDUMP: 0x7e 0x7e 0x7e 0x00\n"},
        {{"7e", "7e7e a7"}, "invalid message start sequence\nDUMP: 0x7e 0x7e 0x7e 0xa7\n"},
        {{}, "serial read timed-out\n"},
    };
    for (const auto& c : cases) {
        start({"-d", "PTY", "schedule", "0", "1", "0", "1"});
        EXPECT_EQ(wire(11).size(), 11u);
        const auto sent = clock::now();
        for (const auto& part : c.parts)
            feed(part);
        const result r = finish();
        EXPECT_EQ(r.status, exited(1));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err + fail);
        if (c.parts.empty()) {  // the answer is awaited for 1 s
            EXPECT_GE(clock::now() - sent, 900ms);
            EXPECT_LT(clock::now() - sent, 1600ms);
        }
    }
}

TEST_F(Schedcfg, SignalWhileAwaitingTheAnswer) {
    for (int sig : {SIGINT, SIGTERM}) {
        start({"-d", "PTY", "schedule", "0", "1", "0", "1"});
        EXPECT_EQ(wire(11).size(), 11u);
        ASSERT_TRUE(waiting_for_input(prog->pid(), pty.slave_path(), 10s));
        prog->signal(sig);
        const result r = finish();
        EXPECT_EQ(r.status, exited(1));
        EXPECT_EQ(r.out, "application receiving signal: " + std::to_string(sig) + "\n");
        EXPECT_EQ(r.err,
                  "serial read failed: Interrupted system call\n"
                  "failed to write CMD: schedule\n");
    }
}

TEST_F(Schedcfg, LineSettings) {
    const int slave = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(slave, 0);
    for (auto [baud, speed] : {std::pair{"9600", B9600}, {"230400", B230400}, {"", B57600}}) {
        termios t{};
        tcgetattr(slave, &t);
        t.c_iflag |= ICRNL | IXON;  // settings the program must not keep
        t.c_cflag |= PARENB | CSTOPB;
        tcsetattr(slave, TCSANOW, &t);
        std::vector<std::string> args = {"-d", "PTY", "baudrate"};
        if (*baud) args.insert(args.begin(), {"-b", baud});
        EXPECT_EQ(exchange(args, hex("7e7e7ea7 02 05 07")).status, exited(0));
        tcgetattr(slave, &t);
        EXPECT_EQ(t.c_iflag, tcflag_t{IGNBRK | IGNPAR | INPCK});
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                  tcflag_t{CS8 | CREAD | CLOCAL});
        EXPECT_EQ(cfgetospeed(&t), speed) << baud;
        EXPECT_EQ(t.c_cc[VMIN], 0);
        EXPECT_EQ(t.c_cc[VTIME], 0);
    }
    close(slave);
}

// Listen mode.

const std::string example = "7e7e7ea7 08 07 00 8a 01 02 03 5c d9";
const std::string example_dump = "<<  0x08 0x07 0x00 0x8a 0x01 0x02 0x03 0x5c 0xd9 \n";
const std::string example_line = "T <0a> [03] 0x01 0x02 0x03 (5c) \n";
std::string counters(int received, int dropped) {
    return "LIN RCV CNT: " + std::to_string(received) +
           "\nLIN DROPPED CNT: " + std::to_string(dropped) + "\n";
}

TEST_F(Schedcfg, ListenUntilTheFrameCount) {
    // Input already waiting when the port opens is dropped.
    pty.write(text(hex("55 66")));
    const int slave = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    int queued = 0;
    for (auto until = clock::now() + 10s; queued < 2 && clock::now() < until; usleep(1000))
        ioctl(slave, FIONREAD, &queued);
    close(slave);
    ASSERT_EQ(queued, 2);
    start({"-d", "PTY", "--listen", "2"});
    // A whole 18-byte body is one read: the next message, in the same write, stays for the
    // search. The stray byte before it is reported.
    feed("7e7e7ea7 11 07 00 3f 01 02 03 04 05 06 07 08 09 0a 0b 0c ee cb 42" + example);
    const result r = finish();
    EXPECT_EQ(r.status, exited(0));
    EXPECT_EQ(mask_stamps(r.out),
              "<<  0x11 0x07 0x00 0x3f 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 0x09 0x0a 0x0b "
              "0x0c 0xee 0xcb \n"
              "T <3f> [0c] 0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 0x09 0x0a 0x0b 0x0c (ee) \n" +
                  example_dump + example_line + counters(2, 0));
    EXPECT_EQ(r.err, "start seq discarding byte: 42\n");
}

// What fails while listening. Standard output that fails (a full disk) loses the lines, never
// the run: listening goes on to its frame count and ends as it should. A port that fails to
// read ends the run at once, status 1, without the counters.
TEST_F(Schedcfg, FailuresWhileListening) {
    const struct {
        bool port_fails;
        int status;
        std::string err;
    } cases[] = {
        {.port_fails = false, .status = 0, .err = ""},
        {.port_fails = true, .status = 1, .err = "serial read failed: Input/output error\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.port_fails ? "failing port" : "full stdout");
        spawn_options o;
        if (c.port_fails) {
            o.env = fail_environment("", "read");
        } else {
            o.stdout_file = "/dev/full";
        }
        start({"-d", "PTY", "-l", "2"}, o);
        feed(example);
        if (!c.port_fails) feed(example);
        const result r = finish();
        EXPECT_EQ(r.status, exited(c.status));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST_F(Schedcfg, ShortBodiesAndABodyInTwoWrites) {
    start({"-d", "PTY", "-l", "5", "-t", "5"});
    feed("7e7e7ea7 03 07 00 04");
    // Three body bytes satisfy the first read; one more read takes what LOM promises, be it
    // 6, 2 or 1 bytes.
    feed("7e7e7ea7 08 07 00");
    feed("8a 01 02 03 5c d9");
    feed("7e7e7ea7 05 07 00 10");
    feed("01 13");
    feed("7e7e7ea7 05 07 00 10 01");
    feed("13");
    feed("7e 7e 7e 7e 7e a7 05 07 00 10 01 13");
    const result r = finish();
    EXPECT_EQ(r.status, exited(0)) << r.err;
    const std::string lom5 = "<<  0x05 0x07 0x00 0x10 0x01 0x13 \nT <10> [00] (01) \n";
    EXPECT_EQ(mask_stamps(r.out), "<<  0x03 0x07 0x00 0x04 \nT <04> [fffffffe] (00) \n" +
                                      example_dump + example_line + lom5 + lom5 + lom5 +
                                      counters(5, 0));
    // Stamps are the monotonic clock at printing, never decreasing.
    std::vector<std::string> stamps;
    for (std::size_t at = 0; (at = r.out.find("\n0", at)) != std::string::npos; ++at)
        stamps.push_back(r.out.substr(at + 1, 20));
    ASSERT_EQ(stamps.size(), 5u);
    EXPECT_TRUE(std::is_sorted(stamps.begin(), stamps.end()));
}

TEST_F(Schedcfg, AnInvalidBodyEndsListening) {
    const std::string valid_first = "7e7e7ea7 05 07 00 10 01 13";
    const std::string valid_dump = "<<  0x05 0x07 0x00 0x10 0x01 0x13 \nT <10> [00] (01) \n";
    struct {
        std::vector<std::string> parts;
        std::string dump, err;
        bool completion_runs_out = false;
    } cases[] = {
        {{"7e7e7ea7 08 07 00 8a 01 02 03 5c d8"},
         "<<  0x08 0x07 0x00 0x8a 0x01 0x02 0x03 0x5c 0xd8 \n",
         "checksum error\n"},
        {{"7e7e7ea7 01", "00"}, "<<  0x01 0x00 \n", "invalid frame length\n"},
        // The completion read gives up after 1 s, whatever the listen time-out: the body stays
        // short.
        {{"7e7e7ea7 08 07 00 8a 01"}, "<<  0x08 0x07 0x00 0x8a 0x01 \n", "checksum error\n", true},
        // Two bodies in one read.
        {{"7e7e7ea7 05 07 00 10 01 13 7e7e7ea7 05 07 00 11 01 12"},
         "<<  0x05 0x07 0x00 0x10 0x01 0x13 0x7e 0x7e 0x7e 0xa7 0x05 0x07 0x00 0x11 0x01 0x12 \n",
         "checksum error\n"},
    };
    bool first = true;
    for (const auto& c : cases) {
        start({"-d", "PTY", "-l", "0"});
        if (first) feed(valid_first);
        const auto fed = clock::now();
        for (const auto& part : c.parts)
            feed(part);
        const result r = finish();
        const auto took = clock::now() - fed;
        EXPECT_GE(took, c.completion_runs_out ? 900ms : 0ms);
        EXPECT_LT(took, c.completion_runs_out ? 1600ms : 700ms);
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(mask_stamps(r.out),
                  (first ? valid_dump : "") + c.dump + c.dump + counters(first ? 1 : 0, 1));
        EXPECT_EQ(r.err, c.err);
        first = false;
    }
}

// After the time-out -t gives, 5 s without it.
TEST_F(Schedcfg, ASilentLineTimesOut) {
    for (const char* timeout : {"1", "0", ""}) {
        const auto began = clock::now();
        if (*timeout) {
            start({"-d", "PTY", "-l", "0", "-t", timeout});
        } else {
            start({"-d", "PTY", "-l", "0"});
        }
        const result r = finish();
        const auto took = clock::now() - began;
        EXPECT_EQ(r.status, exited(1));
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "serial read timed-out: \n");
        const auto expected = *timeout ? std::chrono::seconds(std::atoi(timeout)) : 5s;
        EXPECT_GE(took, expected - 100ms) << '"' << timeout << '"';
        EXPECT_LT(took, expected + 700ms) << '"' << timeout << '"';
    }
}

TEST_F(Schedcfg, ABodyThatNeverComesTimesOut) {
    start({"-d", "PTY", "-l", "0", "-t", "1"});
    feed(example);
    feed("7e7e7ea7");
    const result r = finish();
    EXPECT_EQ(r.status, exited(1));
    EXPECT_EQ(mask_stamps(r.out), example_dump + example_line);  // no counter lines
    EXPECT_EQ(r.err, "serial read timed-out\n");
}

// A stop while listening waits for a start sequence (where a listening run almost always is)
// ends listening with the counters. The handler's line comes after every line printed before
// the signal, on a pipe too.
// Also whatever the parent left: the stop signals blocked; others blocked, which stay blocked
// (sent before the stop, they must not end the run); standard input closed, so that the port
// is descriptor 0. And once under memcheck, which finds what the waits are given uninitialised.
TEST_F(Schedcfg, SignalWhileSearching) {
    const struct {
        const char* left;
        std::vector<int> blocked{}, sent_first{};
        bool stdin_closed = false, memcheck = false;
    } parents[] = {
        {.left = "stops blocked", .blocked = {SIGINT, SIGTERM}},
        {.left = "others blocked", .blocked = {SIGHUP, SIGUSR1}, .sent_first = {SIGHUP, SIGUSR1}},
        {.left = "stdin closed", .stdin_closed = true},
        {.left = "nothing, under memcheck", .memcheck = true},
    };
    temp_board dir;
    for (const auto& parent : parents)
        for (int sig : {SIGINT, SIGTERM}) {
            SCOPED_TRACE(parent.left);
            spawn_options o;
            o.blocked_signals = parent.blocked;
            o.stdin_closed = parent.stdin_closed;
            if (parent.memcheck) o.memcheck_log = dir.path("memcheck.log");
            start({"-d", "PTY", "-l", "0", "-t", "30"}, o);
            feed(example);
            // Unbuffered: the frame line is out before the program waits again.
            ASSERT_TRUE(prog->wait_output(stream::out, example_line.substr(2), 10s));
            ASSERT_TRUE(waiting_for_input(prog->pid(), pty.slave_path(), 10s));
            for (int other : parent.sent_first)
                prog->signal(other);
            prog->signal(sig);
            const result r = finish();
            EXPECT_EQ(r.status, exited(0));
            EXPECT_EQ(mask_stamps(r.out), example_dump + example_line +
                                              "application receiving signal: " +
                                              std::to_string(sig) + "\n" + counters(1, 0));
            EXPECT_EQ(r.err, "");
            if (parent.memcheck) {
                EXPECT_EQ(dir.read("memcheck.log"), "");
            }
        }
}

// A stop amid a stream of bytes that hold no start sequence: the search gives way, it never
// takes the stop for a start sequence.
TEST_F(Schedcfg, SignalAmidBytesOutsideAMessage) {
    for (int k = 0; k < 5; ++k) {
        start({"-d", "PTY", "-l", "0", "-t", "30"});
        ASSERT_TRUE(waiting_for_input(prog->pid(), pty.slave_path(), 10s));
        pty.write(bytes(3000, 0x55));
        ASSERT_TRUE(prog->wait_output(stream::err, "start seq discarding byte: 55\n", 10s));
        prog->signal(SIGINT);
        const result r = finish();
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(r.out, "application receiving signal: 2\n" + counters(0, 0));
    }
}

// A stop that comes just before a wait (the hold keeps the program there) is not left for
// the wait's end: listening ends at once.
TEST_F(Schedcfg, SignalJustBeforeAWait) {
    for (int sig : {SIGINT, SIGTERM}) {
        spawn_options o;
        o.env = hold_environment("pselect", 1000, "");
        start({"-d", "PTY", "-l", "0", "-t", "5"}, o);
        const std::string wchan = "/proc/" + std::to_string(prog->pid()) + "/wchan";
        for (auto deadline = clock::now() + 10s;
             read_file(wchan).find("nanosleep") == std::string::npos && clock::now() < deadline;)
            usleep(2000);
        const auto began = clock::now();
        prog->signal(sig);
        const result r = finish();
        EXPECT_LT(clock::now() - began, 2500ms) << sig;
        EXPECT_EQ(r.status, exited(0)) << sig;
        EXPECT_EQ(r.out,
                  "application receiving signal: " + std::to_string(sig) + "\n" + counters(0, 0));
    }
}

TEST_F(Schedcfg, SignalWhileReadingABodyEndsListening) {
    struct {
        int sig;
        std::string input;
    } cases[] = {
        {SIGINT, "7e7e7ea7"},            // waiting for the body
        {SIGTERM, "7e7e7ea7 08 07 00"},  // waiting for the rest of it
    };
    for (const auto& c : cases) {
        start({"-d", "PTY", "-l", "0", "-t", "30"});
        feed(example);
        feed(c.input);
        ASSERT_TRUE(waiting_for_input(prog->pid(), pty.slave_path(), 10s));
        prog->signal(c.sig);
        const result r = finish();
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(mask_stamps(r.out), example_dump + example_line +
                                          "application receiving signal: " + std::to_string(c.sig) +
                                          "\nserial read: Interrupted system call\n" +
                                          counters(1, 0));
        EXPECT_EQ(r.err, "");
    }
}

}  // namespace

// The LIN co-processor stand-in, with schedcfg as its peer.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/schedcfg/line.hpp"
#include "tests/support/board.hpp"

namespace {

using namespace schedcfg_test;

class lincp_sim {
  public:
    explicit lincp_sim(std::vector<std::string> options) {
        spawn_options o;
        o.args = {tool("lincp-sim")};
        o.args.insert(o.args.end(), options.begin(), options.end());
        o.stdin_pipe = true;
        sim_ = std::make_unique<process>(o);
        EXPECT_TRUE(sim_->wait_output(stream::out, "\n", 10s)) << sim_->err();
        const std::string& out = sim_->out();
        if (out.starts_with("pty ")) slave_ = out.substr(4, out.find('\n') - 4);
    }
    ~lincp_sim() {
        sim_->signal(SIGTERM);
        sim_->wait(5s);
    }

    const std::string& slave() const { return slave_; }
    void script(const std::string& line) { sim_->write_stdin(line + "\n"); }
    bool saw(std::string_view text, std::size_t from = 0) {
        return sim_->wait_output(stream::out, text, 10s, from);
    }
    process& proc() { return *sim_; }

  private:
    std::unique_ptr<process> sim_;
    std::string slave_;
};

result finish(process& p) {
    const auto st = p.wait(15s);
    return {st.value_or(exit_status{}), p.out(), p.err()};
}

const std::string item_wire = "7e7e7ea70604000a3c0135";

// The log lines of the writes given as hex text, writes separated by '|'.
std::string tx_lines(const std::string& writes) {
    std::string lines = "tx ";
    for (char c : writes)
        if (c == '|')
            lines += "\ntx ";
        else if (c != ' ')
            lines += c;
    return lines + "\n";
}

TEST(LincpSim, AnswersEachCommandAsToldAndLogsIt) {
    // A generous delay: the program drops its input right after sending.
    lincp_sim sim({"--delay", "200"});
    ASSERT_FALSE(sim.slave().empty());
    const std::string fail = "failed to write CMD: item\n";
    struct {
        std::string answer, tx, err;
    } cases[] = {
        {"0", "7e7e7ea700", ""},
        {"8", "7e7e7ea708", "error set in response: frame length to long\n" + fail},
        {"raw:7e7ea70000", "7e7ea70000",
         "invalid message start sequence\nDUMP: 0x7e 0x7e 0xa7 0x00\n" + fail},
        {"silent", "", "serial read timed-out\n" + fail},
    };
    for (const auto& c : cases) {
        sim.script("answer " + c.answer);
        ASSERT_TRUE(sim.saw("answer " + c.answer + "\n"));
        const std::size_t from = sim.proc().out().size();
        auto prog = start_schedcfg({"-d", sim.slave(), "item", "0", "10", "60", "1"});
        const result r = finish(*prog);
        EXPECT_EQ(r.status, exited(c.err.empty() ? 0 : 1));
        EXPECT_EQ(r.err, c.err);
        ASSERT_TRUE(sim.saw("rx " + item_wire + "\n", from));
        if (c.tx.empty())
            EXPECT_EQ(sim.proc().out().find("tx ", from), std::string::npos);
        else
            EXPECT_TRUE(sim.saw("tx " + c.tx + "\n", from));
    }
    // Bytes outside a message and a wrong checksum are reported.
    const int fd = open(sim.slave().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const bytes junk = hex("0102 7e7e7ea7 02 05 00");
    ASSERT_EQ(write(fd, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
    close(fd);
    EXPECT_TRUE(sim.saw("junk 0102\nrx 7e7e7ea7020500 bad-checksum\n"));
}

// Stale input is dropped before the command goes out, never the answer that follows it, also
// when the program is slow to get on after the write (held in each input flush).
TEST(LincpSim, AnInstantAnswerIsNeverLost) {
    lincp_sim sim({"--delay", "0"});
    ASSERT_FALSE(sim.slave().empty());
    temp_board dir;  // a place for the hold's mark
    for (int k = 0; k < 50; ++k) {
        spawn_options o;
        o.args = {program("schedcfg"), "-d", sim.slave(), "item", "0", "10", "60", "1"};
        if (k % 5 == 0) o.env = hold_environment("tcflush", 30, dir.path("held"));
        process prog(o);
        const result r = finish(prog);
        ASSERT_EQ(r.status, exited(0)) << "try " << k << ": " << r.err;
    }
}

TEST(LincpSim, OffersTheLineAsALinkForTheRunOnly) {
    const std::string dir =
        std::filesystem::temp_directory_path() / ("lincp-sim-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    const std::string link = dir + "/ttyLIN0";
    {
        lincp_sim sim({"-l", link, "-a", "7", "-D", "100"});
        EXPECT_EQ(std::filesystem::read_symlink(link), sim.slave());
        auto prog = start_schedcfg({"-d", link, "item", "0", "10", "60", "1"});
        const result r = finish(*prog);
        EXPECT_EQ(r.status, exited(1));
        EXPECT_EQ(r.err, "error set in response: invalid LIN ID\nfailed to write CMD: item\n");
    }
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    // Something else in the link's place stays.
    write_file(link, "keep");
    const result r = run({tool("lincp-sim"), "-l", link});
    EXPECT_EQ(r.status, exited(1));
    EXPECT_EQ(r.err, "lincp-sim: " + link + ": exists and is not a symbolic link\n");
    EXPECT_EQ(read_file(link), "keep");
    std::filesystem::remove_all(dir);
}

TEST(LincpSim, ScriptedFramesReachTheListener) {
    lincp_sim sim({});
    auto prog = start_schedcfg({"-d", sim.slave(), "-l", "3", "-t", "10"});
    const struct {
        std::string line, tx, out, err;
    } steps[] = {
        {"frame 8a 01 02 03 trailer=5c", "7e7e7ea7 08 07 00 8a 01 02 03 5c d9",
         "T <0a> [03] 0x01 0x02 0x03 (5c) \n", ""},
        {"frame 10 01 stray=55  # a stray byte first", "55 7e7e7ea7 06 07 00 10 01 00 10",
         "T <10> [01] 0x01 (00) \n", "start seq discarding byte: 55\n"},
        {"frame 11 01 02 split=3 gap=100", "7e7e7ea7 07 07 00 | 11 01 02 00 12",
         "T <11> [02] 0x01 0x02 (00) \n", ""},
    };
    for (const auto& s : steps) {
        ASSERT_TRUE(waiting_for_input(prog->pid(), sim.slave(), 10s));
        sim.script(s.line);
        EXPECT_TRUE(sim.saw(tx_lines(s.tx)));
        EXPECT_TRUE(prog->wait_output(stream::out, s.out.substr(2), 10s));
        EXPECT_TRUE(prog->err().ends_with(s.err));
    }
    const result r = finish(*prog);
    EXPECT_EQ(r.status, exited(0));
    EXPECT_TRUE(r.out.ends_with("LIN RCV CNT: 3\nLIN DROPPED CNT: 0\n"));
}

TEST(LincpSim, ScriptedFaultsEndListening) {
    lincp_sim sim({});
    const struct {
        std::string line, tx, err;
    } faults[] = {
        {"frame 12 check=00", "7e7e7ea7 05 07 00 12 00 00", "checksum error\n"},
        {"frame 12 lom=03", "7e7e7ea7 03 07 00 12 00 16",
         "LOM (3) does not match data length: 1\n"},
        {"frame 12 type=06", "7e7e7ea7 05 06 00 12 00 11", "invalid message type: 6\n"},
        {"frame 12 status=01", "7e7e7ea7 05 07 01 12 00 11", "status not ok: 1\n"},
        {"frame 12 & frame 13", "7e7e7ea7 05 07 00 12 00 10 7e7e7ea7 05 07 00 13 00 11",
         "checksum error\n"},
    };
    for (const auto& f : faults) {
        auto prog = start_schedcfg({"-d", sim.slave(), "-l", "0"});
        ASSERT_TRUE(waiting_for_input(prog->pid(), sim.slave(), 10s));
        const std::size_t from = sim.proc().out().size();
        sim.script(f.line);
        EXPECT_TRUE(sim.saw(tx_lines(f.tx), from));
        const result r = finish(*prog);
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(r.err, f.err);
        EXPECT_TRUE(r.out.ends_with("LIN RCV CNT: 0\nLIN DROPPED CNT: 1\n")) << r.out;
    }
}

TEST(LincpSim, RefusesBadScriptLinesAndGoesOn) {
    lincp_sim sim({});
    sim.script("frame");
    sim.script("frame 1g");
    sim.script("bogus 1");
    sim.script("frame 01 trailer=ff");
    EXPECT_TRUE(
        sim.saw("error frame needs an identifier\nerror not hex: 1g\n"
                "error unknown command: bogus\n" +
                tx_lines("7e7e7ea7 05 07 00 01 ff fc")));
    sim.script("quit");
    EXPECT_EQ(sim.proc().wait(5s), exited(0));
}

}  // namespace

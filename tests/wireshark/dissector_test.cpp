// The Wireshark dissector (wireshark/frmcu.lua) under the distribution's tshark, compared with
// the programs: relay captures written here byte by byte and sent to framerelayd as well, node
// control and time stamps recorded in a private network namespace while nodectl and clockcast
// talk to the FR-MCU stand-in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>

#include "frmcu/bytes.hpp"
#include "frmcu/ctrl_protocol.hpp"
#include "tests/support/board.hpp"
#include "tests/support/net.hpp"
#include "tests/support/paths.hpp"
#include "tests/support/process.hpp"
#include "tests/support/relay.hpp"

namespace {

using namespace support;

const std::string dissector = std::string(source_dir) + "/wireshark/frmcu.lua";

std::string on_path(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return dir + "/" + name;
    return "";
}

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> out;
    std::string item;
    std::istringstream in(text);
    while (std::getline(in, item, by))
        out.push_back(item);
    return out;
}

// tshark with the dissector: one line per packet, the fields separated by '|'.
std::vector<std::string> tshark(const std::string& capture, const std::vector<std::string>& fields,
                                const std::vector<std::string>& options = {}) {
    const std::string path = on_path("tshark");
    if (path.empty()) {
        ADD_FAILURE() << "tshark not found: the dissector tests need the distribution's tshark "
                         "(Debian: apt-get install tshark)";
        return {};
    }
    std::vector<std::string> args{path, "-n",         "-X", "lua_script:" + dissector,
                                  "-r", capture,      "-T", "fields",
                                  "-E", "separator=|"};
    args.insert(args.end(), options.begin(), options.end());
    for (const auto& f : fields)
        args.insert(args.end(), {"-e", f});
    const auto r = run(args, 60s);
    EXPECT_EQ(r.status, exited(0)) << r.err;
    // As root tshark warns that it runs as root; anything else is a fault of the script.
    for (const auto& line : split(r.err, '\n'))
        EXPECT_NE(line.find("Running as user"), std::string::npos) << "tshark: " << line;
    return split(r.out, '\n');
}

// ---------------------------------------------------------------- pcap files written here

class pcap_file {
  public:
    pcap_file() {
        put32(0xa1b2c3d4);
        put16(2), put16(4), put32(0), put32(0), put32(65535);
        put32(101);  // raw IPv4
    }

    void udp(const std::string& src, int sport, const std::string& dst, int dport,
             const bytes& payload) {
        bytes l4(8);
        frmcu::store_be16(&l4[0], static_cast<std::uint16_t>(sport));
        frmcu::store_be16(&l4[2], static_cast<std::uint16_t>(dport));
        frmcu::store_be16(&l4[4], static_cast<std::uint16_t>(8 + payload.size()));
        l4.insert(l4.end(), payload.begin(), payload.end());
        packet(src, dst, 17, l4);
    }

    // One segment; the sequence numbers follow from what each side sent before.
    void tcp(const std::string& src, int sport, const std::string& dst, int dport,
             const bytes& payload) {
        std::uint32_t& seq = sent_[src + ":" + std::to_string(sport)];
        bytes l4(20);
        frmcu::store_be16(&l4[0], static_cast<std::uint16_t>(sport));
        frmcu::store_be16(&l4[2], static_cast<std::uint16_t>(dport));
        frmcu::store_be32(&l4[4], seq);
        frmcu::store_be32(&l4[8], sent_[dst + ":" + std::to_string(dport)]);
        l4[12] = 0x50;
        l4[13] = 0x18;  // PSH, ACK
        frmcu::store_be16(&l4[14], 65535);
        l4.insert(l4.end(), payload.begin(), payload.end());
        seq += static_cast<std::uint32_t>(payload.size());
        packet(src, dst, 6, l4);
    }

    void save(const std::string& path) const {
        write_file(path, std::string(data_.begin(), data_.end()));
    }

  private:
    void packet(const std::string& src, const std::string& dst, std::uint8_t proto,
                const bytes& l4) {
        bytes ip(20);
        ip[0] = 0x45;
        frmcu::store_be16(&ip[2], static_cast<std::uint16_t>(20 + l4.size()));
        ip[6] = 0x40;  // don't fragment
        ip[8] = 64;
        ip[9] = proto;
        const sockaddr_in s = ipv4(src, 0), d = ipv4(dst, 0);
        std::memcpy(&ip[12], &s.sin_addr, 4);
        std::memcpy(&ip[16], &d.sin_addr, 4);
        std::uint32_t sum = 0;
        for (std::size_t i = 0; i < ip.size(); i += 2)
            sum += frmcu::load_be16(&ip[i]);
        while (sum >> 16)
            sum = (sum & 0xffff) + (sum >> 16);
        frmcu::store_be16(&ip[10], static_cast<std::uint16_t>(~sum));
        ip.insert(ip.end(), l4.begin(), l4.end());
        put32(1700000000 + seconds_++), put32(0);
        put32(static_cast<std::uint32_t>(ip.size())), put32(static_cast<std::uint32_t>(ip.size()));
        data_.insert(data_.end(), ip.begin(), ip.end());
    }
    void put16(std::uint16_t v) {
        data_.push_back(static_cast<std::uint8_t>(v)),
            data_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void put32(std::uint32_t v) {
        put16(static_cast<std::uint16_t>(v)), put16(static_cast<std::uint16_t>(v >> 16));
    }

    bytes data_;
    std::uint32_t seconds_ = 0;
    std::map<std::string, std::uint32_t> sent_;
};

// ---------------------------------------------------------------- relay datagrams

constexpr std::size_t record_size = relay_record_size;
constexpr std::uint8_t no_frame = relay_no_frame;
using datagram_spec = relay_datagram;

std::vector<relay_record> frames(std::initializer_list<std::uint32_t> seqs) {
    std::vector<relay_record> out;
    for (auto s : seqs)
        out.push_back({.frame_seq = s, .len = 8});
    return out;
}

// A record whose every field follows from its number.
relay_record numbered(std::uint32_t n, std::uint8_t len) {
    bytes payload(254);
    for (std::size_t k = 0; k < payload.size(); ++k)
        payload[k] = static_cast<std::uint8_t>(n + k);
    return {.frame_seq = n,
            .len = len,
            .frame_id = static_cast<std::uint16_t>(1 + n % 2047),
            .sec = 1000 + n % 7,
            .nsec = 999999999 - n % 1000,
            .aux32 = n ^ 0x5a5a5a5a,
            .aux16 = static_cast<std::uint16_t>(n),
            .payload = payload};
}

struct relay_case {
    const char* name;
    std::vector<datagram_spec> datagrams;
    // Per datagram, as tshark prints frame_seq|drops|udp_seq_anomaly|no_frame.
    std::vector<std::string> expected;
    int port = 29052;
    bool one_sender = true;  // the daemon sees all senders as one
};

const std::vector<relay_case> relay_cases = {
    {"in sequence",
     {{1, frames({1, 2, 3, 4, 5})}, {2, frames({6, 7, 8})}},
     {"1,2,3,4,5|0,0,0,0,0||0,0,0,0,0", "6,7,8|0,0,0||0,0,0"}},
    {"frame gaps, the first after start too",
     {{1, frames({1000})}, {2, frames({1001, 1005})}},
     {"1000|999||0", "1001,1005|0,3||0,0"}},
    {"a repeat and a restart add nothing",
     {{1, frames({1, 2, 3})},
      {2, frames({5})},
      {3, frames({3})},
      {4, frames({4})},
      {1, frames({1, 2})}},
     {"1,2,3|0,0,0||0,0,0", "5|1||0", "3|0||0", "4|0||0", "1,2|0,0|1|0,0"}},
    {"past 0xFFFFFFFF",
     {{1, frames({1})},
      {2, frames({0xffffffff, 0, 1})},
      {3, frames({0xffffffff})},
      {4, frames({10})}},
     {"1|0||0", "4294967295,0,1|4294967293,0,0||0,0,0", "4294967295|4294967293||0", "10|0||0"}},
    {"no-frame records count in the sequence",
     {{1,
       {{.frame_seq = 1, .len = 8}, {.frame_seq = 2, .len = no_frame}, {.frame_seq = 3, .len = 0}}},
      {2, {{.frame_seq = 5, .len = no_frame}}},
      {3, frames({6})}},
     {"1,2,3|0,0,0||0,1,0", "5|1||1", "6|0||0"}},
    {"a wrong magic changes nothing",
     {{1, frames({1, 2})},
      {.udp_seq = 2, .records = frames({3, 4}), .magic = "FR02"},
      {3, frames({5})}},
     {"1,2|0,0||0,0", "|||", "5|2|1|0"}},
    {"truncated datagrams",
     {{.udp_seq = 1, .records = frames({1, 2, 3}), .cut = 16 + 2 * record_size + 100},
      {2, frames({4, 5})},
      {.udp_seq = 3, .records = {}, .cut = 10},
      {.udp_seq = 4, .records = frames({6}), .cut = 16 + 295},
      {5, frames({7})}},
     {"1,2|0,0||0,0", "4,5|1,0||0,0", "|||", "|||", "7|1||0"}},
    {"more records than fit, or than announced",
     {{1, frames({1, 2, 3, 4, 5, 6})},
      {2, frames({7})},
      {.udp_seq = 3, .records = frames({8, 9, 10}), .announced = 2},
      {4, frames({11})}},
     {"1,2,3,4,5|0,0,0,0,0||0,0,0,0,0", "7|1||0", "8,9|0,0||0,0", "11|1||0"}},
    {"datagram gaps, on another port (Decode As)",
     {{5, frames({1})}, {6, frames({2})}, {9, frames({3})}},
     {"1|0|1|0", "2|0||0", "3|0|1|0"},
     40000},
    {"each sender has its own sequence",
     {{.udp_seq = 1, .records = frames({1, 2}), .from = "127.0.0.2"},
      {.udp_seq = 1, .records = frames({1}), .from = "127.0.0.3"},
      {.udp_seq = 2, .records = frames({3}), .from = "127.0.0.2"},
      {.udp_seq = 2, .records = frames({2}), .from = "127.0.0.3"}},
     {"1,2|0,0||0,0", "1|0||0", "3|0||0", "2|0||0"},
     29052,
     false},
};

bool daemon_line(const std::string& line) {
    for (const char* start : {"UDP sequence anomaly.", "FlexRay frame sequence anomaly.",
                              "Datagram ", "Magic number is wrong:"})
        if (line.starts_with(start)) return true;
    return false;
}

// The sum of a column of comma-separated numbers.
unsigned long long column_sum(const std::vector<std::string>& lines, std::size_t column) {
    unsigned long long sum = 0;
    for (const auto& line : lines) {
        const auto fields = split(line, '|');
        if (column < fields.size())
            for (const auto& n : split(fields[column], ','))
                if (!n.empty()) sum += std::stoull(n);
    }
    return sum;
}

std::size_t count_of(const std::vector<std::string>& lines, std::size_t column,
                     const std::string& value) {
    std::size_t n = 0;
    for (const auto& line : lines) {
        const auto fields = split(line, '|');
        if (column < fields.size())
            for (const auto& v : split(fields[column], ','))
                n += v == value;
    }
    return n;
}

// Each case as a capture, decoded by tshark, and as traffic to framerelayd -v, whose drop
// counter, frame counter and messages the decode must restate.
TEST(RelayDissector, CountsAsFramerelaydCounts) {
    temp_board board;
    spawn_options sink_options;
    sink_options.args = {tool("vflexray-sink")};
    sink_options.env = {"BOARDSIM_DIR=" + board.dir()};
    process sink(sink_options);
    ASSERT_TRUE(sink.wait_output(stream::out, "ready\n", 10s)) << sink.err();

    for (const auto& c : relay_cases) {
        SCOPED_TRACE(c.name);
        pcap_file capture;
        for (const auto& d : c.datagrams)
            capture.udp(d.from, 40001, "127.0.0.1", c.port, encode(d));
        capture.save(board.path("relay.pcap"));
        // Expert messages hold commas: occurrences are joined with ';'.
        auto lines = tshark(board.path("relay.pcap"),
                            {"frrelay.frame_seq", "frrelay.drops", "frrelay.udp_seq_anomaly",
                             "frrelay.no_frame", "_ws.expert.message"},
                            {"-d", "udp.port==40000,frrelay", "-E", "aggregator=;"});
        ASSERT_EQ(lines.size(), c.expected.size());
        std::vector<std::string> experts;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::size_t last = lines[i].rfind('|');
            for (const auto& e : split(lines[i].substr(last + 1), ';'))
                if (daemon_line(e)) experts.push_back(e);
            lines[i].resize(last);
            std::replace(lines[i].begin(), lines[i].end(), ';', ',');
            EXPECT_EQ(lines[i], c.expected[i]) << "datagram " << i;
        }
        if (!c.one_sender) continue;

        const int port = free_port(SOCK_DGRAM);
        spawn_options o;
        o.args = {program("framerelayd"), "-v", "-p", std::to_string(port)};
        o.board = board.dir();
        process daemon(o);
        ASSERT_TRUE(daemon.wait_output(stream::out, "Starting UDP FlexRay daemon", 10s))
            << daemon.err();
        udp_socket sender;
        for (const auto& d : c.datagrams)
            sender.send_to("127.0.0.1", port, encode(d));
        // A datagram that changes nothing marks the end.
        sender.send_to("127.0.0.1", port, encode({.udp_seq = 0, .records = {}, .magic = "END!"}));
        ASSERT_TRUE(daemon.wait_output(stream::out, "Magic number is wrong: 454E4421\n", 10s));
        const std::size_t from = daemon.out().size();
        daemon.signal(SIGUSR1);
        ASSERT_TRUE(daemon.wait_output(stream::out, " drops: ", 5s, from));
        ASSERT_TRUE(daemon.wait_output(stream::out, "\n", 5s, daemon.out().find(" drops: ", from)));
        unsigned long long sent = 0, drops = 0;
        ASSERT_EQ(
            std::sscanf(daemon.out().c_str() + from, "FR count: %llu, drops: %llu", &sent, &drops),
            2)
            << daemon.out().substr(from);
        EXPECT_EQ(drops, column_sum(lines, 1));
        EXPECT_EQ(sent, count_of(lines, 3, "0"));
        std::vector<std::string> said;
        for (const auto& line : split(daemon.out(), '\n'))
            if (daemon_line(line) && line != "Magic number is wrong: 454E4421")
                said.push_back(line);
        EXPECT_EQ(experts, said);
    }
}

TEST(RelayDissector, EveryFieldOfARecordAsSent) {
    temp_board board;
    pcap_file capture;
    const datagram_spec d{
        .udp_seq = 7,
        .records = {numbered(0x01020304, 6), numbered(9, 0), numbered(10, no_frame)},
        .spare = 0x0000abcd};
    capture.udp("127.0.0.2", 40001, "127.0.0.1", 29052, encode(d));
    capture.save(board.path("relay.pcap"));
    const auto lines = tshark(
        board.path("relay.pcap"),
        {"frrelay.magic", "frrelay.udp_seq", "frrelay.frame_count", "frrelay.spare",
         "frrelay.frame_seq", "frrelay.sec", "frrelay.nsec", "frrelay.aux32", "frrelay.frame_id",
         "frrelay.len", "frrelay.aux16", "frrelay.data", "frrelay.no_frame"});
    ASSERT_EQ(lines.size(), 1u);
    // Each field from the frame number (numbered()): sec 1000 + n % 7, nsec 999999999 - n % 1000,
    // aux32 n ^ 0x5a5a5a5a, frame_id 1 + n % 2047, aux16 n, payload n + k; the payload of len
    // bytes.
    EXPECT_EQ(lines[0],
              "0x46523031|7|3|0x0000abcd|16909060,9,10|1000,1002,1003|999999939,999999990,"
              "999999989|0x5b58595e,0x5a5a5a53,0x5a5a5a50|0x0349,0x000a,0x000b|6,0,255|"
              "0x0304,0x0009,0x000a|040506070809|0,0,1");
}

// ---------------------------------------------------------------- recorded in a namespace

// tcpdump on lo of the test's private network namespace, each packet written as it comes.
class recording {
  public:
    explicit recording(const std::string& file) : file_(file) {
        const std::string tcpdump = on_path("tcpdump");
        if (tcpdump.empty()) {
            ADD_FAILURE() << "tcpdump not found: the recorded captures need it "
                             "(Debian: apt-get install tcpdump)";
            return;
        }
        spawn_options o;
        o.args = {tcpdump, "-i", "lo", "-U", "--immediate-mode", "-Z", "root", "-w", file};
        capture_ = std::make_unique<process>(o);
        ok_ = capture_->wait_output(stream::err, "listening on lo", 10s);
        EXPECT_TRUE(ok_) << capture_->err();
    }
    bool ok() const { return ok_; }
    // Stops once everything sent so far is in the file: packets leave the capture buffer in
    // order, so a last marker datagram in the file means the ones before it are there too.
    void stop() {
        const std::string marker = "end of the recording";
        udp_socket().send_to("127.0.0.1", free_port(SOCK_DGRAM),
                             bytes(marker.begin(), marker.end()));
        const auto deadline = clock::now() + 10s;
        while (read_file(file_).find(marker) == std::string::npos && clock::now() < deadline)
            usleep(10000);
        capture_->signal(SIGINT);
        EXPECT_EQ(capture_->wait(10s), exited(0)) << capture_->err();
    }

  private:
    std::string file_;
    std::unique_ptr<process> capture_;
    bool ok_ = false;
};

std::unique_ptr<process> start_frmcu(const std::vector<std::string>& options,
                                     const std::string& ready) {
    spawn_options o;
    o.args = {tool("frmcu-sim")};
    o.args.insert(o.args.end(), options.begin(), options.end());
    auto p = std::make_unique<process>(o);
    EXPECT_TRUE(p->wait_output(stream::out, ready, 10s)) << p->out() << p->err();
    return p;
}

struct control_case {
    const char* command;
    const char* answer;    // how the FR-MCU stand-in answers
    const char* reported;  // nodectl's failure on standard error; empty: success
    int port = 29050;
};

const std::vector<control_case> control_cases = {
    {"statistics", "", ""},
    {"statistics", "statistics=split=100", ""},
    {"statistics", "", "", 29060},
    {"start", "", ""},
    {"start", "start=rc=4", "Return code not OK: OPERATION_NOT_ALLOWED"},
    {"stop", "stop=rc=9", "Return code not OK: UNKNOWN"},
    {"start", "start=id=0x8002", "Wrong response ID (8002)"},
    {"stop", "stop=id=2", "Wrong response ID (0002)"},
    {"start", "start=magic=FC02", "Wrong magic ID"},
    {"statistics", "statistics=length=20", "Invalid length of response message: 46 (10)"},
    {"statistics", "statistics=length=100", "Invalid length of response message: 46 (90)"},
    {"statistics", "statistics=truncate=40", "Invalid length of response message: 30 (46)"},
    {"statistics", "statistics=body=20", "Statistics record too short: 22 bytes (46 expected)"},
};

const char* const stats_words = "7,1,2,3,4,5,19,2,184320,1024,4294967295";
const std::vector<std::string> stats_fields = {
    "frctrl.stats.overrun", "frctrl.stats.syntax",     "frctrl.stats.frame",
    "frctrl.stats.content", "frctrl.stats.boundary",   "frctrl.stats.fifo_level",
    "frctrl.stats.state",   "frctrl.stats.mode",       "frctrl.stats.bytes",
    "frctrl.stats.frames",  "frctrl.stats.null_frames"};

// The eleven words of nodectl's report, in record order.
std::string report_words(const std::string& report) {
    const auto lines = split(report, '\n');
    if (lines.size() != 6) return "(no report: " + report + ")";
    std::istringstream errors(lines[3]), rest(lines[5]);
    std::vector<std::string> w(11);
    for (int k : {0, 1, 2, 3, 4})
        errors >> w[static_cast<std::size_t>(k)];
    for (int k : {5, 8, 9, 10})
        rest >> w[static_cast<std::size_t>(k)];
    w[6] = lines[1].substr(7);  // STATE: text
    w[7] = lines[0].substr(7);  // MODE: text
    std::string out;
    for (const auto& s : w)
        out += (out.empty() ? "" : "|") + s;
    return out;
}

TEST(ControlDissector, ShowsWhatNodectlReports) {
    if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace";
    temp_board board;
    const std::string file = board.path("control.pcap");
    recording rec(file);
    ASSERT_TRUE(rec.ok());
    std::vector<result> runs;
    for (const auto& c : control_cases) {
        std::vector<std::string> options{"--control", "127.0.0.1:" + std::to_string(c.port),
                                         "--stats", stats_words};
        if (*c.answer) options.insert(options.end(), {"--answer", c.answer});
        auto mcu = start_frmcu(options, "control listening");
        runs.push_back(run({program("nodectl"), "-i", "127.0.0.1", "-p", std::to_string(c.port),
                            "-c", c.command}));
        mcu->signal(SIGTERM);
        mcu->wait(5s);
    }
    rec.stop();

    std::vector<std::string> fields{"tcp.stream", "_ws.col.Info", "frctrl.return_code"};
    fields.insert(fields.end(), stats_fields.begin(), stats_fields.end());
    const auto lines = tshark(file, fields, {"-Y", "frctrl", "-d", "tcp.port==29060,frctrl"});
    // The response of each connection, with the fields that follow its Info column.
    std::vector<std::string> responses(control_cases.size());
    for (const auto& line : lines) {
        const auto f = split(line, '|');
        const std::size_t stream = std::stoul(f.at(0));
        if (stream < responses.size() && f.at(1).starts_with("Response "))
            responses[stream] = line.substr(line.find('|') + 1);
    }
    for (std::size_t i = 0; i < control_cases.size(); ++i) {
        const auto& c = control_cases[i];
        SCOPED_TRACE(std::string(c.command) + " answered " + c.answer);
        const result& r = runs[i];
        EXPECT_EQ(r.err, *c.reported ? std::string(c.reported) + "\n" : "");
        const std::string prefix = std::string("Response ") + c.command + ": ";
        const auto f = split(responses[i], '|');
        ASSERT_GE(f.size(), 1u) << "no response decoded in " << ::testing::PrintToString(lines);
        ASSERT_TRUE(f[0].starts_with(prefix)) << f[0];
        const std::string info = f[0].substr(prefix.size());
        if (*c.reported) {
            EXPECT_EQ(info, c.reported);
            continue;
        }
        EXPECT_EQ(r.status, exited(0));
        EXPECT_EQ(f.at(1), "0");  // return code
        if (std::string(c.command) != "statistics") {
            EXPECT_EQ(info, "OK");
            continue;
        }
        // The numbers as decoded, the state and mode as the Info column names them.
        std::string words;
        for (std::size_t k = 2; k < f.size(); ++k)
            words += (words.empty() ? "" : "|") + f[k];
        const auto texts = info.substr(info.find("MODE: ") + 6);
        auto w = split(words, '|');
        ASSERT_EQ(w.size(), 11u);
        EXPECT_EQ(w[6], "19");
        EXPECT_EQ(w[7], "2");
        w[6] = texts.substr(texts.find("STATE: ") + 7);
        w[7] = texts.substr(0, texts.find(','));
        std::string decoded;
        for (const auto& s : w)
            decoded += (decoded.empty() ? "" : "|") + s;
        EXPECT_EQ(decoded, report_words(r.out));
        EXPECT_EQ(decoded, "7|1|2|3|4|5|WAKEUP_DETECT|COMMHALT|184320|1024|4294967295");
    }
}

// Every POC state, mode and return code text as frmcu's converters give it, codes not listed
// included.
TEST(ControlDissector, CodeTextsAsFrmcuGivesThem) {
    temp_board board;
    pcap_file capture;
    std::vector<std::string> expected;
    auto exchange = [&](int port, std::uint16_t command, const bytes& message) {
        bytes request{'F', 'C', '0', '1', 0, 0, 0, 10, 0, static_cast<std::uint8_t>(command)};
        bytes response{'F', 'C', '0', '1', 0, 0, 0, 0, 0x80, static_cast<std::uint8_t>(command)};
        frmcu::store_be32(&response[4], static_cast<std::uint32_t>(10 + message.size()));
        response.insert(response.end(), message.begin(), message.end());
        capture.tcp("127.0.0.1", port, "127.0.0.2", 29050, request);
        capture.tcp("127.0.0.2", 29050, "127.0.0.1", port, response);
    };
    int port = 40000;
    std::vector<std::uint32_t> codes;
    for (std::uint32_t code = 0; code <= 0x40; ++code)
        codes.push_back(code);
    codes.insert(codes.end(), {0x100, 0x102, 0xffffffff});
    for (const std::uint32_t code : codes) {
        bytes message(46);
        frmcu::store_be32(&message[24], code);
        frmcu::store_be32(&message[28], code);
        exchange(port++, 3, message);
        expected.push_back(std::string("Response statistics: OK, MODE: ") +
                           frmcu::mode_to_string(code) +
                           ", STATE: " + frmcu::state_to_string(code));
    }
    for (unsigned rc = 1; rc <= 8; ++rc) {
        exchange(port++, 1, {0, static_cast<std::uint8_t>(rc)});
        expected.push_back(std::string("Response start: Return code not OK: ") +
                           frmcu::return_code_to_string(rc));
    }
    capture.save(board.path("codes.pcap"));
    EXPECT_EQ(tshark(board.path("codes.pcap"), {"_ws.col.Info"}, {"-Y", "frctrl.response == 1"}),
              expected);
}

// ---------------------------------------------------------------- time stamps

TEST(TimeDissector, FieldsAsClockcastSentThem) {
    if (!enter_private_netns()) GTEST_SKIP() << "no private network namespace";
    temp_board board;
    const std::string file = board.path("time.pcap");
    recording rec(file);
    ASSERT_TRUE(rec.ok());
    auto sink = start_frmcu({"--time", "127.0.0.1:29051"}, "time sink listening");
    std::size_t from = 0;
    for (const bool force : {true, false}) {
        std::vector<std::string> args{program("clockcast"), "-i", "127.0.0.1"};
        if (force) args.push_back("-f");
        spawn_options o;
        o.args = args;
        process cast(o);
        ASSERT_TRUE(sink->wait_output(stream::out, "time stamp ", 5s, from));
        from = sink->out().find('\n', sink->out().find("time stamp ", from)) + 1;
        cast.signal(SIGINT);
        EXPECT_EQ(cast.wait(5s), exited(0));
    }
    sink->running();
    rec.stop();

    // "time stamp T from A: tv_sec S tv_nsec N force F", one a datagram received.
    std::vector<std::string> received;
    for (const auto& line : split(sink->out(), '\n')) {
        long long sec = 0, nsec = 0, force = 0;
        const auto at = line.find(": tv_sec ");
        if (line.starts_with("time stamp ") && at != std::string::npos &&
            std::sscanf(line.c_str() + at, ": tv_sec %lld tv_nsec %lld force %lld", &sec, &nsec,
                        &force) == 3)
            received.push_back(std::to_string(sec) + "|" + std::to_string(nsec) + "|" +
                               std::to_string(force));
    }
    const auto lines =
        tshark(file, {"frtime.sec", "frtime.nsec", "frtime.force"}, {"-Y", "frtime"});
    EXPECT_EQ(lines, received);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_TRUE(lines.front().ends_with("|1"));
    EXPECT_TRUE(lines.back().ends_with("|0"));
}

TEST(TimeDissector, LittleEndianFieldsAndTheirLimits) {
    temp_board board;
    pcap_file capture;
    const std::vector<bytes> stamps = {
        {0x00, 0xF1, 0x53, 0x65, 0x40, 0x47, 0xCF, 0x1D, 0x01, 0x00, 0x00, 0x00},
        {0x01, 0xF1, 0x53, 0x65, 0x00, 0xCA, 0x9A, 0x3B, 0x00, 0x00, 0x00, 0x00},
        {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08},
    };
    for (const auto& s : stamps)
        capture.udp("127.0.0.1", 40002, "127.0.0.2", 29051, s);
    capture.save(board.path("time.pcap"));
    const auto lines = tshark(board.path("time.pcap"), {"frtime.sec", "frtime.nsec", "frtime.force",
                                                        "_ws.expert.message", "_ws.col.Info"});
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "1700000000|500123456|1||Time stamp 1700000000.500123456, at once",
                         "1700000001|1000000000|0|Nanoseconds of 10^9 or more|Time stamp "
                         "1700000001.1000000000, at the next PPS edge",
                         "|||Time stamp of 8 bytes, not 12|Time stamp of 8 bytes",
                     }));
}

}  // namespace

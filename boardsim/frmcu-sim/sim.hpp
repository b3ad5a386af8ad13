// frmcu-sim: the FR-MCU's side of the link, for tests and for developers without a board.
// Each role (control server, ...) runs in a thread of its own and reports what it does as
// lines on standard output.
#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace frmcu_sim {

// One line on standard output, flushed at once (called from any thread).
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// "ADDR:PORT" or "PORT" (address defaulting to `address`).
std::optional<sockaddr_in> parse_endpoint(const std::string& text, const char* address);
std::string hex(const std::uint8_t* data, std::size_t size);

// How the control server answers one command.
struct answer {
    unsigned return_code = 0;
    int delay_ms = 0;     // before answering
    bool silent = false;  // read the request, never answer, keep the connection
    bool close = false;   // read the request, close without answering
    std::optional<std::array<char, 4>> magic;  // another magic
    std::optional<std::uint16_t> id;           // another response ID
    std::optional<std::uint32_t> length;       // another length field
    int split_ms = -1;                         // header and message as two segments, this far apart
    int body = -1;                             // result data of this many bytes (zeros beyond the
                                               // statistics record) before the return code
    int truncate = -1;  // send only this many bytes of the response, then wait
};

struct control_settings {
    bool enabled = false;
    sockaddr_in address{};
    std::array<answer, 4> answers{};  // by command code 1 to 3; [0] for unknown codes
    std::array<std::uint32_t, 11> stats{};
};

// Whether the FR-MCU is up (a reset takes it down for a while).
extern std::atomic<bool> online;

// What the FR-MCU does: answers; hangs (accepts requests, answers none, sends no frames); or is
// down (held in reset, or booting).
enum class mcu_state { up, hung, down };
// Sets online and hung for `s` and logs "state <name> <monotonic s> <realtime s>", so that a
// run can be laid beside gpio.log and the programs' own clocks.
void enter(mcu_state s);
// "states: up=S hung=S down=S hangs=N resets=N": seconds spent in each state so far.
void report_states();

// Runs the control server; returns only when it cannot listen.
bool start_control(const control_settings& settings);
// Applies one "key[=value],..." answer description to `a`; false on an unknown key.
bool parse_answer(const std::string& text, answer& a);

// Reset line: a low level on the GPIO (as written to the board's gpio.log) takes the FR-MCU
// offline; it boots again boot_ms after the line goes high.
struct reset_settings {
    int gpio = -1;           // -1: the line is not watched
    int boot_ms = 1000;      // -1: never comes back
    std::string value_file;  // a real line: its sysfs value file, read instead of gpio.log
};
// A hung firmware accepts requests and never answers; a reset cures it.
extern std::atomic<bool> hung;
// Watches the reset line of the board that BOARDSIM_DIR names, or the value file; false when
// there is neither.
bool start_reset(const reset_settings& settings);
// Time-stamp sink: one "time ..." line per datagram received, with its receive time.
struct time_settings {
    bool enabled = false;
    sockaddr_in address{};
};
// Starts the sink; false when it cannot bind.
bool start_time_sink(const time_settings& settings);
// Frame source: relay datagrams to the host. A fault applies to the datagram numbered `at`
// (counting datagrams from 1, lost ones included).
struct relay_fault {
    enum class kind {
        frame_gap,
        udp_gap,
        restart,
        magic,
        truncate,
        count,
        lose,
        repeat,
        hang
    } what;
    unsigned long at;
    std::uint32_t value;  // frame or datagram numbers skipped, bytes sent, records announced
};

struct relay_settings {
    bool enabled = false;
    sockaddr_in address{};
    unsigned long count = 0;           // datagrams; 0: until stopped
    unsigned rate = 0;                 // datagrams a second; 0: as fast as possible
    unsigned records = 5;              // records per datagram, 0 to 5
    std::vector<unsigned> lengths{8};  // payload lengths, used in turn
    unsigned no_frame_every = 0;       // every Nth record carries no frame
    std::vector<relay_fault> faults;
};

// The frame source's options in the order of relay_options; false when the value is bad.
inline constexpr const char* relay_options[] = {
    "relay",         "relay-count",    "relay-rate",  "relay-records",
    "relay-lengths", "relay-no-frame", "relay-fault", "relay-fault-file"};
bool parse_relay_option(int index, const char* value, relay_settings& settings);
// Starts the frame source; at the end it reports what it sent: the frames that arrive whole
// and valid, the no-frame records, the frame numbers that never arrive, and its faults.
void start_relay(const relay_settings& settings);
// Lets the datagram in progress go out, then the report; returns when the source has ended.
void stop_relay();

}  // namespace frmcu_sim

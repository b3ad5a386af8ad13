// Running the programs under test: arguments, environment, stdin, separate stdout and stderr,
// exit status or signal, and a deadline on every wait.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace support {

using namespace std::chrono_literals;
using clock = std::chrono::steady_clock;
using duration = std::chrono::milliseconds;

// Waits until `done` holds or the deadline passes; true when it held.
template <typename F>
bool eventually(F done, duration timeout = 10s) {
    const auto deadline = clock::now() + timeout;
    while (!done()) {
        if (clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Path of a production program and of a stand-in in this build.
std::string program(std::string_view name);
std::string tool(std::string_view name);

// The exit status a shell sees for a status given to exit().
constexpr int shell_status(int status) {
    return status & 0xff;
}

struct exit_status {
    bool exited = false;  // exited normally; code is valid
    int code = -1;
    int signal = 0;  // terminating signal when !exited
    bool operator==(const exit_status&) const = default;
};
exit_status exited(int code);
exit_status killed_by(int signal);
void PrintTo(const exit_status& s, std::ostream* os);

struct spawn_options {
    std::vector<std::string> args;  // args[0] is the program's path
    std::vector<std::string> env;   // extra KEY=VALUE entries
    std::string board;              // non-empty: run on this simulated board (stand-ins preloaded)
    bool stdin_pipe = false;        // otherwise stdin is /dev/null
    std::string argv0;              // non-empty: name given as argv[0]
    std::string stdout_file;        // non-empty: stdout goes to this file (e.g. /dev/full)
    bool new_session = false;       // a session of its own, without a controlling terminal
    // What a parent may hand down: signals blocked or ignored, a low open-file limit (ulimit -n).
    std::vector<int> blocked_signals;
    std::vector<int> ignored_signals;
    int open_files = 0;         // non-zero: the limit
    bool stdin_closed = false;  // started with descriptor 0 closed: what it opens first gets 0
    // Non-empty: run under valgrind's memcheck, its findings written to this file (exit status
    // memcheck_status when it found any), with descriptors 3 to 8 taken.
    std::string memcheck_log;
};

inline constexpr int memcheck_status = 97;

enum class stream { out, err };

class process {
  public:
    explicit process(const spawn_options& options);
    process(const process&) = delete;
    process& operator=(const process&) = delete;
    // Kills the process, and its process group, if it still runs. A process is also killed when
    // the test dies (PR_SET_PDEATHSIG), so that nothing outlives a test that timed out.
    ~process();

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    void write_stdin(std::string_view data) const;
    void close_stdin();

    // Collects output until `text` appears in the stream (searched from `from`), the process
    // ends, or the timeout passes. Returns whether the text appeared.
    bool wait_output(stream s, std::string_view text, duration timeout, std::size_t from = 0);
    // Collects output until the process ends or the timeout passes.
    std::optional<exit_status> wait(duration timeout);
    bool running();

    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

  private:
    bool pump(duration timeout);  // reads what is there; false when both streams are closed
    bool reap(bool block);

    pid_t pid_ = -1;
    int in_ = -1, out_fd_ = -1, err_fd_ = -1;
    std::optional<exit_status> status_;
    std::string out_, err_;
};

struct result {
    exit_status status;
    std::string out, err;
};

// Runs to the end; a process still running at the deadline is killed and reported as such.
result run(const spawn_options& options, duration timeout = 10s);
result run(std::vector<std::string> args, duration timeout = 10s);

// Environment of a program that runs on a simulated board.
std::vector<std::string> board_environment(const std::string& board);

// Environment that preloads the hold library (tests/support/hold.cpp): the program stops for
// `ms` at `point` ("sigaction:N", "fflush", "tcflush" or "recvfrom") and creates the file
// `mark` as the hold begins.
std::vector<std::string> hold_environment(std::string_view point, int ms, const std::string& mark);

// Environment of a program whose `call` fails (tests/support/fail.cpp): "socket" for IPv4
// sockets, "setsockopt", "open" (with GW_FAIL_PATH), "short-write", "read"; on a simulated board
// unless `board` is empty.
std::vector<std::string> fail_environment(const std::string& board, std::string_view call);

}  // namespace support

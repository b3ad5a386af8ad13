// Running schedcfg against a serial line: a pty whose master the test (or lincp-sim) holds.
#pragma once

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/board.hpp"
#include "tests/support/bytes.hpp"
#include "tests/support/process.hpp"

namespace schedcfg_test {

using namespace support;

// True once the program sleeps in select() with nothing left in the line's input queue, that
// is, in the wait that follows the input it was given. Input must be in the queue already
// (it is once the program has reacted to an earlier byte of the same write).
inline bool waiting_for_input(pid_t pid, const std::string& slave, duration timeout) {
    const int fd = open(slave.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const std::string wchan = "/proc/" + std::to_string(pid) + "/wchan";
    const auto deadline = clock::now() + timeout;
    bool waiting = false;
    while (!waiting && clock::now() < deadline) {
        int queued = -1;
        // The queue first: once it is empty, the next wait can only be the one after it.
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued == 0) {
            const std::string where = read_file(wchan);
            waiting = where.find("select") != std::string::npos ||
                      where.find("poll") != std::string::npos;
        }
        if (!waiting) usleep(2000);
    }
    close(fd);
    return waiting;
}

// Bytes the process has taken with read() so far (-1 once it is gone).
inline long long bytes_read_by(pid_t pid) {
    const std::string io = read_file("/proc/" + std::to_string(pid) + "/io");
    const auto at = io.find("rchar: ");
    return at == std::string::npos ? -1 : std::stoll(io.substr(at + 7));
}

// Replaces the time stamps that open frame lines with "T", so that outputs compare exactly;
// false when a frame line lacks its ten-digit seconds and nine-digit nanoseconds.
inline std::string mask_stamps(const std::string& out) {
    std::string masked;
    std::size_t from = 0;
    while (from < out.size()) {
        auto end = out.find('\n', from);
        end = end == std::string::npos ? out.size() : end + 1;
        std::string line = out.substr(from, end - from);
        auto digits = [&](std::size_t a, std::size_t b) {
            for (std::size_t k = a; k < b; ++k)
                if (line[k] < '0' || line[k] > '9') return false;
            return true;
        };
        if (line.size() > 21 && digits(0, 10) && line[10] == '.' && digits(11, 20) &&
            line[20] == ' ')
            line = "T" + line.substr(20);
        masked += line;
        from = end;
    }
    return masked;
}

inline std::unique_ptr<process> start_schedcfg(const std::vector<std::string>& args,
                                               spawn_options o = {}) {
    o.args = {program("schedcfg")};
    o.args.insert(o.args.end(), args.begin(), args.end());
    return std::make_unique<process>(o);
}

}  // namespace schedcfg_test

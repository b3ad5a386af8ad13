// The reset line: follows the board's gpio.log, which lists every write to a GPIO value file,
// so that no pulse is missed however short it is.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "boardsim/frmcu-sim/sim.hpp"

namespace frmcu_sim {

std::atomic<bool> hung{false};

namespace {

using steady = std::chrono::steady_clock;

// Level written by a "<stamp> <gpio> <hex bytes>" line for `gpio`: 0, 1, or -1 for other lines.
int level_of(const std::string& line, int gpio) {
    const auto first = line.find(' ');
    if (first == std::string::npos) return -1;
    const auto second = line.find(' ', first + 1);
    if (second == std::string::npos) return -1;
    if (line.compare(first + 1, second - first - 1, std::to_string(gpio)) != 0) return -1;
    const std::string bytes = line.substr(second + 1);
    if (bytes.starts_with("30")) return 0;
    if (bytes.starts_with("31")) return 1;
    return -1;
}

void watch(std::string log, off_t offset, reset_settings s) {
    std::string pending;
    bool low = false;
    bool booting = false;
    steady::time_point back_at{};
    for (;;) {
        if (int fd = open(log.c_str(), O_RDONLY | O_CLOEXEC); fd >= 0) {
            char buf[4096];
            ssize_t n;
            while ((n = pread(fd, buf, sizeof buf, offset)) > 0) {
                offset += n;
                pending.append(buf, static_cast<std::size_t>(n));
            }
            close(fd);
        }
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const int level = level_of(pending.substr(0, end), s.gpio);
            pending.erase(0, end + 1);
            if (level == 0 && !low) {
                low = true;
                booting = false;
                enter(mcu_state::down);
                say("reset line low: offline");
            } else if (level == 1 && low) {
                low = false;
                if (s.boot_ms >= 0) {
                    booting = true;
                    back_at = steady::now() + std::chrono::milliseconds(s.boot_ms);
                    say("reset line high: back in %d ms", s.boot_ms);
                } else {
                    say("reset line high: staying offline");
                }
            }
        }
        if (booting && steady::now() >= back_at) {
            booting = false;
            enter(mcu_state::up);
            say("back online");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

bool start_reset(const reset_settings& s) {
    const char* board = std::getenv("BOARDSIM_DIR");
    if (board == nullptr || *board == '\0') {
        say("reset: BOARDSIM_DIR names no board");
        return false;
    }
    const std::string log = std::string(board) + "/gpio.log";
    // Only writes from now on count.
    struct stat st {};
    const off_t offset = stat(log.c_str(), &st) == 0 ? st.st_size : 0;
    say("reset line: GPIO %d", s.gpio);
    std::thread(watch, log, offset, s).detach();
    return true;
}

}  // namespace frmcu_sim

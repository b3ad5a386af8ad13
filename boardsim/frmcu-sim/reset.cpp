// The reset line: follows the board's gpio.log, which lists every write to a GPIO value file,
// so that no pulse is missed however short it is; or, on a board with real GPIO lines, reads
// the line's sysfs value file every few milliseconds, often enough to see a 200 ms pulse.
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

// The level a value file holds now: 0, 1, or -1 when it cannot be read.
int level_in(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char c = 0;
    const ssize_t n = pread(fd, &c, 1, 0);
    close(fd);
    return n == 1 && (c == '0' || c == '1') ? c - '0' : -1;
}

// Acts on one level seen on the line.
struct follower {
    reset_settings s;
    bool low = false;
    bool booting = false;
    steady::time_point back_at{}, low_at{};

    void level(int level) {
        if (level == 0 && !low) {
            low = true;
            low_at = steady::now();
            booting = false;
            enter(mcu_state::down);
            say("reset line low: offline");
        } else if (level == 1 && low) {
            low = false;
            if (!s.value_file.empty()) {
                const auto held =
                    std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - low_at);
                say("reset pulse: %lld ms low in %s", static_cast<long long>(held.count()),
                    s.value_file.c_str());
            }
            if (s.boot_ms >= 0) {
                booting = true;
                back_at = steady::now() + std::chrono::milliseconds(s.boot_ms);
                say("reset line high: back in %d ms", s.boot_ms);
            } else {
                say("reset line high: staying offline");
            }
        }
    }

    void tick() {
        if (booting && steady::now() >= back_at) {
            booting = false;
            enter(mcu_state::up);
            say("back online");
        }
    }
};

void watch_log(std::string log, off_t offset, reset_settings s) {
    follower f{s};
    std::string pending;
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
            f.level(level_of(pending.substr(0, end), s.gpio));
            pending.erase(0, end + 1);
        }
        f.tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

void watch_value(reset_settings s) {
    follower f{s};
    for (;;) {
        f.level(level_in(s.value_file));
        f.tick();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace

bool start_reset(const reset_settings& s) {
    if (!s.value_file.empty()) {
        if (level_in(s.value_file) < 0) {
            say("reset: cannot read a level from %s", s.value_file.c_str());
            return false;
        }
        say("reset line: %s", s.value_file.c_str());
        std::thread(watch_value, s).detach();
        return true;
    }
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
    std::thread(watch_log, log, offset, s).detach();
    return true;
}

}  // namespace frmcu_sim

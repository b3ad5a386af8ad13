// clockcast-bench [-n COUNT] [PROGRAM]: runs clockcast against a receiver on loopback for COUNT
// datagrams (at least 20) and prints the median and 99th percentile of the send offset, the
// stamped nanoseconds past the half second. A thread of its own measures, in the same run, how
// late a bare relative nanosleep to the next half second wakes: the floor for any program that
// times its sends this way.
#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frmcu/bytes.hpp"

extern char** environ;

namespace {

constexpr std::int64_t ns_per_s = 1000000000;
constexpr std::int64_t half_second = 500000000;

std::int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return std::int64_t{t.tv_sec} * ns_per_s + t.tv_nsec;
}

// Lateness of each wake-up from a relative sleep to the next half second, until `done`.
void measure_floor(const std::atomic<bool>& done, std::vector<std::int64_t>& lateness) {
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);  // as tight as clockcast's own timer
    while (!done) {
        const std::int64_t now = now_ns();
        std::int64_t target = now - now % ns_per_s + half_second;
        if (target <= now) target += ns_per_s;
        const std::int64_t sleep = target - now;
        const timespec t{static_cast<time_t>(sleep / ns_per_s),
                         static_cast<long>(sleep % ns_per_s)};
        nanosleep(&t, nullptr);
        lateness.push_back(now_ns() - target);
    }
}

// Nearest-rank percentile of sorted samples.
std::int64_t percentile(const std::vector<std::int64_t>& sorted, double p) {
    const auto rank = static_cast<std::size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::max<std::size_t>(rank, 1) - 1];
}

void report(const char* what, std::vector<std::int64_t> samples) {
    std::sort(samples.begin(), samples.end());
    std::printf("%s, %zu samples:\n  median %.3f ms   p99 %.3f ms   min %.3f ms   max %.3f ms\n",
                what, samples.size(), static_cast<double>(percentile(samples, 0.5)) / 1e6,
                static_cast<double>(percentile(samples, 0.99)) / 1e6,
                static_cast<double>(samples.front()) / 1e6,
                static_cast<double>(samples.back()) / 1e6);
}

int usage() {
    std::fprintf(stderr, "usage: clockcast-bench [-n COUNT (at least 20)] [PROGRAM]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 30;
    std::string program = CLOCKCAST_PROGRAM;
    int opt;
    while ((opt = getopt(argc, argv, "n:h")) != -1) {
        if (opt != 'n') return usage();
        count = std::atoi(optarg);
    }
    if (count < 20 || argc - optind > 1) return usage();
    if (optind < argc) program = argv[optind];

    const int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof local;
    const timeval patience{3, 0};
    if (rx < 0 || bind(rx, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(rx, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
        setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience) != 0) {
        std::perror("clockcast-bench: receiver");
        return 1;
    }

    std::atomic<bool> done{false};
    std::vector<std::int64_t> floor;
    floor.reserve(static_cast<std::size_t>(count) + 8);
    std::thread floor_thread(measure_floor, std::cref(done), std::ref(floor));

    const std::string port = std::to_string(ntohs(local.sin_port));
    char* args[] = {
        program.data(),          const_cast<char*>("-i"),         const_cast<char*>("127.0.0.1"),
        const_cast<char*>("-p"), const_cast<char*>(port.c_str()), nullptr};
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (const int e = posix_spawn(&pid, program.c_str(), &files, nullptr, args, environ); e != 0) {
        std::fprintf(stderr, "clockcast-bench: %s: %s\n", program.c_str(), std::strerror(e));
        done = true;
        floor_thread.join();
        return 1;
    }
    std::printf("clockcast-bench: %s to 127.0.0.1 port %s, %d datagrams (about %d s)\n",
                program.c_str(), port.c_str(), count, count + 1);
    std::fflush(stdout);

    // The first datagram may be the one sent at start-up, not after a sleep: it is not counted.
    std::vector<std::int64_t> offsets;
    bool lost = false;
    for (int k = 0; k <= count; ++k) {
        std::uint8_t stamp[64];
        const ssize_t n = recv(rx, stamp, sizeof stamp, 0);
        if (n != 12) {
            std::fprintf(stderr, "clockcast-bench: %s\n",
                         n < 0 ? std::strerror(errno) : "datagram not of 12 bytes");
            lost = true;
            break;
        }
        const auto nsec = static_cast<std::int32_t>(frmcu::load_le32(&stamp[4]));
        if (k > 0) offsets.push_back(nsec - half_second);
    }
    kill(pid, SIGINT);
    int status = 0;
    waitpid(pid, &status, 0);
    done = true;
    floor_thread.join();
    if (lost || offsets.empty()) return 1;

    report("clockcast send offset (stamped tv_nsec - 500000000 ns)", offsets);
    report("floor: lateness of a bare relative nanosleep to the next half second", floor);
    std::sort(offsets.begin(), offsets.end());
    const bool met = percentile(offsets, 0.5) <= 200000 && percentile(offsets, 0.99) <= 1000000;
    std::printf("target median <= 0.200 ms, p99 <= 1.000 ms: %s\n", met ? "met" : "not met");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "clockcast-bench: clockcast did not stop with status 0\n");
        return 1;
    }
    return 0;
}

// clockcast: sends the host's wall-clock time to the FR-MCU once a second, shortly after the
// half second, until SIGINT.
// Every text printed here is interface, exact to the letter, misspellings included ("adress"):
// scripts in the field match them and the tests pin them. Never tidy one.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "clockcast/cadence.hpp"
#include "clockcast/datagram.hpp"
#include "frmcu/banner.hpp"
#include "frmcu/link.hpp"
#include "frmcu/signal_line.hpp"

namespace clockcast {

constexpr const char* program_name = "clockcast";
constexpr const char* version = "0.0.2";
constexpr std::size_t max_address = 254;

// The exit statuses, as clockcast(8) lists them under EXIT STATUS: scripts and the unit read
// them. The set-up failures are negative; the shell sees them modulo 256.
enum exit_status : int {
    exit_stopped = 0,  // by SIGINT; also the help output
    exit_no_socket = -3,
    exit_no_broadcast = -4,
    exit_bad_address = -5,  // not dotted-decimal IPv4, or longer than max_address
    exit_no_sigint_handler = -6,
};

struct settings {
    std::array<char, max_address + 1> address{};
    std::size_t refused_length = 0;  // length of an -i argument too long to keep, else 0
    int port = frmcu::time_port;
    bool force = false;
};

settings run;
volatile sig_atomic_t verbose = 0;
volatile sig_atomic_t stop = 0;

void print_usage() {
    std::printf("\nUsage: %s <-ipvh> [value]\n", program_name);
    std::printf("\t -i --ipaddress. IP adress for FlexRay node. Defaults to %s\n",
                frmcu::default_mcu_address);
    std::printf("\t -p --port. Destination UDP port on FlexRay node. Defaults to %d\n",
                frmcu::time_port);
    std::printf("\t -f --force. Force time update. Don't wait for PPS signal. Default off.\n");
    std::printf("\t -v --verbose\n");
    std::printf("\t -h --help\n");
    std::printf("\tA typical example: %s -i %s -p %d\n\n", program_name, frmcu::default_mcu_address,
                frmcu::time_port);
}

[[noreturn]] void help_and_exit() {
    frmcu::print_banner(program_name, version);
    print_usage();
    std::exit(exit_stopped);
}

// Sets the flag and, verbose, writes its line at once: nothing here that is unsafe in a handler.
void on_sigint(int sig) {
    stop = 1;
    if (!verbose) return;
    char line[48];
    const std::size_t n = frmcu::format_signal_line(line, sig);
    const int saved = errno;  // the interrupted sleep looks at it
    [[maybe_unused]] ssize_t w = write(STDOUT_FILENO, line, n);
    errno = saved;
}

void parse_options(int argc, char** argv) {
    static const option long_options[] = {
        {"ipaddress", required_argument, nullptr, 'i'},
        {"port", required_argument, nullptr, 'p'},
        {"force", no_argument, nullptr, 'f'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "i:p:fvh?", long_options, nullptr)) != -1) {
        switch (opt) {
            case 'i': {
                const std::size_t length = std::strlen(optarg);
                run.address.fill('\0');
                // Cut short it could name another node: refused when the address is set up.
                run.refused_length = length > max_address ? length : 0;
                if (run.refused_length == 0) std::memcpy(run.address.data(), optarg, length);
                break;
            }
            case 'p':
                run.port = static_cast<int>(std::strtol(optarg, nullptr, 10));
                break;
            case 'f':
                run.force = true;
                break;
            case 'v':
                verbose = 1;
                break;
            default:
                help_and_exit();  // -h, -? and whatever the parser rejected
        }
    }
}

// SIGINT is let in only during the sleeps, when everything printed before is out: the
// handler's line never overtakes one that waits in the stdio buffer.
sigset_t sleep_mask;

// Sleeps the whole time: a signal that cuts the sleep short leaves the rest to sleep.
void sleep_for(std::int64_t ns) {
    sigset_t awake;
    sigprocmask(SIG_SETMASK, &sleep_mask, &awake);
    timespec left{static_cast<time_t>(ns / ns_per_second), static_cast<long>(ns % ns_per_second)};
    timespec rest{};
    while (nanosleep(&left, &rest) != 0 && errno == EINTR)
        left = rest;
    sigprocmask(SIG_SETMASK, &awake, nullptr);
}

}  // namespace clockcast

using namespace clockcast;

int main(int argc, char** argv) {
    std::strcpy(run.address.data(), frmcu::default_mcu_address);
    parse_options(argc, argv);

    const int udp = socket(AF_INET, SOCK_DGRAM, 0);
    if (udp < 0) {
        std::perror("Error opening socket");
        return exit_no_socket;
    }
    const int one = 1;
    if (setsockopt(udp, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) != 0) {
        std::perror("Error setting broadcast option");
        return exit_no_broadcast;
    }

    sockaddr_in node{};
    node.sin_family = AF_INET;
    node.sin_port = htons(static_cast<std::uint16_t>(run.port));
    if (run.refused_length > 0) {
        std::fprintf(stderr, "IP address setup failed: address of %zu characters, at most %zu\n",
                     run.refused_length, max_address);
        return exit_bad_address;
    }
    if (inet_pton(AF_INET, run.address.data(), &node.sin_addr) != 1) {
        errno = EINVAL;
        std::perror("IP address setup failed");
        return exit_bad_address;
    }

    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    if (sigaction(SIGINT, &sa, nullptr) != 0) {
        std::perror("Can't register signal handler for CTRL-C et al: ");
        return exit_no_sigint_handler;
    }
    sigset_t sigint;
    sigemptyset(&sigint);
    sigaddset(&sigint, SIGINT);
    sigprocmask(SIG_BLOCK, &sigint, &sleep_mask);
    sigdelset(&sleep_mask, SIGINT);

    // Wake as close to the half second as the timer allows, instead of up to the default
    // 50 us of slack later on every sleep.
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);

    std::printf("Sending time stamp to %s port %d\n", run.address.data(), run.port);

    for (;;) {
        if (stop) {
            close(udp);
            return exit_stopped;
        }
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        const step next = next_step(now.tv_nsec);
        if (next.send) {
            const datagram stamp = encode_stamp(now.tv_sec, now.tv_nsec, run.force);
            if (sendto(udp, stamp.data(), stamp.size(), 0, reinterpret_cast<const sockaddr*>(&node),
                       sizeof node) < 0)
                std::perror("UDP send failed");
        }
        if (verbose)
            std::printf("Current time: %lld.%09ld seconds since the Epoch\n",
                        static_cast<long long>(now.tv_sec), static_cast<long>(now.tv_nsec));
        std::fflush(stdout);
        sleep_for(next.sleep_ns);
    }
}

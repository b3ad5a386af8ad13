// linkwatch: keeps the FR-MCU reachable. Probes it with a statistics request and pulses its reset
// line when it does not answer. All messages go to standard error.
// Every text printed here is interface, exact to the letter: scripts in the field match
// them and the tests pin them. Never tidy one.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frmcu/ctrl_protocol.hpp"
#include "frmcu/link.hpp"
#include "linkwatch/watch.hpp"

namespace linkwatch {

static_assert(sizeof(text) <= IFNAMSIZ, "an interface name fits the request's name field");

settings config;
run_state state;
path_text reset_line{};

void usage(const char* name) {
    std::fprintf(stderr,
                 "%s usage: \n"
                 " -o - oneshot exit when flexray status ok.\n"
                 " -a <addr> - configure MCU IP\n"
                 " -l <addr> - Address for linux host\n"
                 " -i <interface> - configure interface connected to MCU\n"
                 " -g <gpio> - GPIO pin for FR-MCU reset\n",
                 name);
}

void pause_ms(long ms) {
    timespec left{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// "<what> <error text>", as the probe reports a failed call.
void report(const char* what, int error) {
    std::fprintf(stderr, "%s %s\n", what, std::strerror(error));
}

probe_result end_probe(int fd, probe_result result) {
    close(fd);
    return result;
}

probe_result probe() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        std::perror("socket");
        return probe_result::offline;
    }

    ifreq request{};
    std::memcpy(request.ifr_name, config.interface.data(), sizeof config.interface);
    if (ioctl(fd, SIOCGIFFLAGS, &request) != 0) {
        const int error = errno;
        std::fputs("Check if interface is up\n", stderr);
        report("SIOCGIFFLAGS", error);
        return end_probe(fd, probe_result::interface_missing);
    }
    if ((request.ifr_flags & IFF_UP) == 0) {
        std::fprintf(stderr, "%s is not up\n", config.interface.data());
        return end_probe(fd, probe_result::offline);
    }

    request.ifr_addr.sa_family = AF_INET;
    if (ioctl(fd, SIOCGIFADDR, &request) != 0) {
        const int error = errno;
        std::fputs("Check if ip address is configured\n", stderr);
        report("ioctl SIOCGIFADDR", error);
        return end_probe(fd, probe_result::offline);
    }
    sockaddr_in assigned{};
    std::memcpy(&assigned, &request.ifr_addr, sizeof assigned);
    if (!host_address_matches(config.host_address.data(), assigned.sin_addr)) {
        std::fprintf(stderr, "%s is not configured with address %s\n", config.interface.data(),
                     config.host_address.data());
        return end_probe(fd, probe_result::offline);
    }

    sockaddr_in mcu{};
    mcu.sin_family = AF_INET;
    mcu.sin_port = htons(static_cast<std::uint16_t>(frmcu::control_port));
    if (inet_pton(AF_INET, config.mcu_address.data(), &mcu.sin_addr) != 1) {
        std::fprintf(stderr, "Failed to set IP address %s for connection to FR-MCU\n",
                     config.mcu_address.data());
        return end_probe(fd, probe_result::offline);
    }

    // The connection gets a bounded wait: non-blocking connect, then select.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        report("fcntl F_GETFL", errno);
        return end_probe(fd, probe_result::offline);
    }
    fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    int last_error = 0;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&mcu), sizeof mcu) != 0) last_error = errno;
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(fd, &writable);
    timeval wait{connect_wait_s, 0};
    const int ready = select(fd + 1, nullptr, &writable, nullptr, &wait);
    if (ready < 0) last_error = errno;
    if (ready <= 0) {
        report("connect", last_error);
        return end_probe(fd, probe_result::offline);
    }

    // A refused or failed connection shows itself at this send. MSG_NOSIGNAL: a socket that
    // never connected must not end the watchdog with SIGPIPE.
    fcntl(fd, F_SETFL, flags);
    const frmcu::FR_CTRL_REQ request_bytes = frmcu::build_request(frmcu::cmd_statistics);
    if (send(fd, request_bytes.data(), request_bytes.size(), MSG_NOSIGNAL) < 0) {
        report("write", errno);
        return end_probe(fd, probe_result::offline);
    }

    const timeval limit{receive_timeout_s, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
        report("setsockopt SO_RCVTIMEO", errno);
        return end_probe(fd, probe_result::offline);
    }

    // Any answer counts, even a closed connection; its bytes are not looked at.
    std::array<std::uint8_t, answer_bytes> answer{};
    for (int attempt = 0;; ++attempt) {
        timeval start{};
        gettimeofday(&start, nullptr);
        if (recv(fd, answer.data(), answer.size(), 0) >= 0)
            return end_probe(fd, probe_result::online);
        const int error = errno;
        if (error != EAGAIN) {
            std::fprintf(stderr, "recv errno=%d %s\n", error, std::strerror(error));
            return end_probe(fd, probe_result::offline);
        }
        timeval now{};
        gettimeofday(&now, nullptr);
        const elapsed_time elapsed = elapsed_between(start, now);
        std::fprintf(stderr, "recv EAGAIN (retry=%d) after %lu.%06lu\n", attempt,
                     static_cast<unsigned long>(elapsed.seconds),
                     static_cast<unsigned long>(elapsed.micros));
        if (receive_gives_up(attempt, elapsed)) return end_probe(fd, probe_result::offline);
    }
}

void reset() {
    const int fd = open(reset_line.data(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        std::perror("open");
        pause_ms(open_failure_pause_s * 1000L);
        if (open_failed(state)) {
            std::fprintf(stderr, "Failed to many times to open %s, giving up\n", reset_line.data());
            std::exit(1);
        }
        return;
    }

    // Active low: the line at "0" holds the FR-MCU in reset. A stop during the pulse waits for
    // its end, so that the FR-MCU is never left held in reset.
    sigset_t stops, before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, &before);
    [[maybe_unused]] ssize_t written = write(fd, "0", 1);
    pause_ms(pulse_low_ms);
    written = write(fd, "1", 1);
    close(fd);
    sigprocmask(SIG_SETMASK, &before, nullptr);
    pause_ms(settle_s * 1000L);

    bool back = false;
    for (int i = 0; i < probes_after_reset && !back; ++i) {
        back = probe() == probe_result::online;
        if (!back) pause_ms(probe_gap_ms);
    }
    if (!back) std::fputs("[!] FR MCU not online, retry reset\n", stderr);
    state.open_failures = 0;
}

}  // namespace linkwatch

using namespace linkwatch;

int main(int argc, char** argv) {
    const char* name = argc > 0 && argv[0] != nullptr ? argv[0] : "linkwatch";
    set_text(config.interface, frmcu::link_interface);
    set_text(config.mcu_address, frmcu::default_mcu_address);
    set_text(config.host_address, frmcu::default_host_address);
    config.reset_gpio = frmcu::reset_gpio;

    int opt;
    while ((opt = getopt(argc, argv, "hoi:a:l:g:")) != -1) {
        switch (opt) {
            case 'o':
                config.oneshot = true;
                break;
            case 'i':
                set_text(config.interface, optarg);
                break;
            case 'a':
                set_text(config.mcu_address, optarg);
                break;
            case 'l':
                set_text(config.host_address, optarg);
                break;
            case 'g':
                config.reset_gpio = parse_gpio(optarg);
                break;
            default:
                usage(name);
                return 1;  // -h, an unknown option, a missing argument
        }
    }
    reset_path(reset_line, config.reset_gpio);

    for (;;) {
        switch (probe()) {
            case probe_result::online:
                if (!config.oneshot) pause_ms(online_pause_s * 1000L);
                break;
            case probe_result::interface_missing:
                std::fprintf(stderr, "Flexray interface %s does not exists\n",
                             config.interface.data());
                pause_ms(missing_pause_s * 1000L);
                break;
            case probe_result::offline:
                std::fputs("Flexray MCU seems offline, try to reset\n", stderr);
                reset();
                break;
        }
        if (config.oneshot) return 0;
    }
}

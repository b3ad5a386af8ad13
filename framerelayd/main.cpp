// framerelayd: carries the FlexRay frames that the FR-MCU sends as relay datagrams into the
// virtual FlexRay device, one write per frame, counting the frames that went missing.
// Every text printed here is interface, exact to the letter: scripts in the field match
// them and the tests pin them. Never tidy one.
#include <getopt.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "framerelayd/datagram.hpp"
#include "framerelayd/sequence.hpp"
#include "frmcu/banner.hpp"
#include "frmcu/link.hpp"

namespace framerelayd {

constexpr const char* program_name = "framerelayd";
constexpr const char* version = "0.0.3";
constexpr const char* default_device = "vflexray0";
constexpr std::size_t max_name = 254;
constexpr int flexray_family = 45;
constexpr int flexray_protocol = 1;
constexpr int device_wait_ms = 1000;
// While datagrams keep arriving without a wait, SIGINT and SIGUSR1 are let in this often.
constexpr unsigned signal_interval = 64;

// The exit statuses, as framerelayd(8) lists them under EXIT STATUS: scripts and the unit read
// them. The set-up failures are negative; the shell sees them modulo 256.
enum exit_status : int {
    exit_help = 0,
    exit_device_failed = 1,  // "vflexray write", "vflexray poll()"
    exit_stopped = -1,       // ended by SIGINT
    exit_no_dump_file = -5,
    exit_no_udp_socket = -6,
    exit_no_flexray_socket = -7,  // no virtual FlexRay device support in the kernel
    exit_no_reuse_address = -8,
    exit_udp_bind_failed = -9,
    exit_no_device = -10,
    exit_device_bind_failed = -11,
    exit_no_sigint_handler = -12,
    exit_no_sigusr1_handler = -13,
};

// The address that binds a FlexRay socket to its device.
struct flexray_address {
    std::uint16_t family;
    std::uint16_t fill;
    std::int32_t ifindex;
};
static_assert(sizeof(flexray_address) == 8);

struct settings {
    int port = frmcu::relay_port;
    std::array<char, max_name + 1> device{};
    FILE* dump = nullptr;
    bool verbose = false;
    bool binary = false;
};

namespace {

settings run;
relay_state state;
int udp_socket = -1;
int flexray_socket = -1;
// Set once a dump write failed and reported; cleared by the next write that reaches the file.
bool dump_failing = false;

volatile sig_atomic_t statistics_asked = 0;
volatile sig_atomic_t stop_signal = 0;
// SIGINT, SIGTERM and SIGUSR1 stay blocked except inside the waits, which let them in
// atomically.
sigset_t wait_mask;
unsigned since_wait = 0;

std::array<std::uint8_t, datagram_size> buffer;
dump_entry entry;
std::array<char, 32768> dump_stream_buffer;
std::array<char, 4096> out_stream_buffer;

}  // namespace

void print_usage() {
    std::printf("\nUsage: %s <-ipvh> [value]\n", program_name);
    std::printf("\t -d --device. Virtual FlexRay device. Defaults to %s\n", default_device);
    std::printf("\t -p --port. Destination UDP port on FlexRay node\n");
    std::printf("\t -f --file. Optional hex dump file.\n");
    std::printf("\t -v --verbose\n");
    std::printf("\t -h --help\n");
    std::printf("\t Use 'kill -SIGUSR1'  to get statistics.\n");
    std::printf("\tA typical example: %s -p %d\n\n", program_name, frmcu::relay_port);
}

[[noreturn]] void help_and_exit() {
    frmcu::print_banner(program_name, version);
    print_usage();
    std::exit(exit_help);
}

[[noreturn]] void fail(const char* message, int status) {
    std::perror(message);
    std::exit(status);
}

void copy_name(std::array<char, max_name + 1>& to, const char* from) {
    to.fill('\0');
    std::strncpy(to.data(), from, max_name);
}

// Leading decimal digits, as atoi reads them, kept within int.
int read_port(const char* text) {
    const long v = std::strtol(text, nullptr, 10);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

void report_dump_failure() {
    if (!dump_failing) std::perror("Dump file write failed");
    dump_failing = true;
}

// Appends one entry. While the file fails, each entry is written through, so that the first
// write that reaches the file again ends the failure.
void write_dump(std::size_t size) {
    const bool written = std::fwrite(entry.data(), 1, size, run.dump) == size &&
                         (!dump_failing || std::fflush(run.dump) == 0);
    if (written) {
        dump_failing = false;
        return;
    }
    report_dump_failure();
    std::clearerr(run.dump);
}

// Writes out what the stream still holds and closes the file; runs at every exit.
void close_dump() {
    if (!run.dump) return;
    if (std::fclose(run.dump) != 0) report_dump_failure();
    run.dump = nullptr;
}

void open_dump(const char* path) {
    if (run.dump) std::fclose(run.dump);  // an earlier --file stays created and empty
    // The path as given: cut short it would name another file, and "w" would empty that one.
    run.dump = std::fopen(path, "w");
    if (!run.dump) fail("Could not open dump file", exit_no_dump_file);
    // A buffer of our own: the stream allocates nothing once frames flow.
    std::setvbuf(run.dump, dump_stream_buffer.data(), _IOFBF, dump_stream_buffer.size());
}

void parse_options(int argc, char** argv) {
    enum { opt_interface = 256, opt_binary };
    static const option long_options[] = {
        {"port", required_argument, nullptr, 'p'},
        {"file", required_argument, nullptr, 'f'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {"interface", required_argument, nullptr, opt_interface},
        {"binary", no_argument, nullptr, opt_binary},
        {nullptr, 0, nullptr, 0},
    };
    int opt;
    while ((opt = getopt_long(argc, argv, "p:f:vh?", long_options, nullptr)) != -1) {
        switch (opt) {
            case 'p':
                run.port = read_port(optarg);
                break;
            case 'f':
                open_dump(optarg);
                break;
            case 'v':
                run.verbose = true;
                break;
            case opt_interface:
                copy_name(run.device, optarg);
                break;
            case opt_binary:
                run.binary = true;
                break;
            default:
                help_and_exit();  // -h, -? and whatever the parser rejected
        }
    }
}

void on_stop(int sig) {
    stop_signal = sig;
}
void on_statistics(int) {
    statistics_asked = 1;
}

void pause_one_second() {
    timespec left{1, 0};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Acts on the signals that came in: the statistics line, or the stop.
void serve_signals() {
    if (statistics_asked) {
        statistics_asked = 0;
        std::printf("FR count: %llu, drops: %llu\n",
                    static_cast<unsigned long long>(state.frames_sent),
                    static_cast<unsigned long long>(state.drops));
    }
    if (stop_signal == SIGTERM) {
        // A service manager's stop: nothing lost, then the death SIGTERM gives.
        close_dump();
        signal(SIGTERM, SIG_DFL);
        raise(SIGTERM);
        sigset_t term;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        sigprocmask(SIG_UNBLOCK, &term, nullptr);
    }
    if (stop_signal) {
        if (run.verbose)
            std::printf("Signal handler for %d signal\n", static_cast<int>(stop_signal));
        pause_one_second();
        std::exit(exit_stopped);  // the exit handler writes out and closes the dump file
    }
}

// Waits for `events` on `fd` (timeout_ms < 0: no limit) with the signals let in, then acts on
// them. Returns what ppoll returned, errno kept. Out of line: inlined, its locals would give
// every receive and record write a stack guard, also when they need no wait.
[[gnu::noinline]] int wait_for(int fd, short events, int timeout_ms) {
    pollfd p{fd, events, 0};
    const timespec limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000000L};
    const int r = ppoll(&p, 1, timeout_ms < 0 ? nullptr : &limit, &wait_mask);
    const int saved = errno;
    since_wait = 0;
    serve_signals();
    errno = saved;
    return r;
}

// Receives one datagram into the buffer; the length, or -1 on failure.
ssize_t receive() {
    // A wait of no time on no descriptor (ppoll ignores a negative one): the signals come in.
    if (++since_wait >= signal_interval) wait_for(-1, 0, 0);
    for (;;) {
        const ssize_t n =
            recvfrom(udp_socket, buffer.data(), buffer.size(), MSG_DONTWAIT, nullptr, nullptr);
        if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return n;
        if (wait_for(udp_socket, POLLIN, -1) < 0 && errno != EINTR) return -1;
    }
}

// Hands one device record to the device, waiting out a full queue. The bytes taken.
ssize_t write_record(record_bytes record) {
    for (;;) {
        const ssize_t n = write(flexray_socket, record.data(), record.size());
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno != ENOBUFS) fail("vflexray write", exit_device_failed);
        // Whether room came or the second passed, try again.
        if (wait_for(flexray_socket, POLLOUT, device_wait_ms) < 0 && errno != EINTR)
            fail("vflexray poll()", exit_device_failed);
    }
}

void relay_record(record_bytes record) {
    const FR_FRAME_RECORD f = convert_record(record);
    const sequence_check c = check_frame(state, f.frame_seq);
    if (c.anomaly && run.verbose)
        std::printf("FlexRay frame sequence anomaly. Expected: %d got: %d\n",
                    static_cast<int>(c.expected), static_cast<int>(f.frame_seq));
    if (f.len == no_frame_length) {
        if (run.verbose)
            std::printf("FlexRay frame length error. Max: %d got: %d\n", max_frame_length,
                        static_cast<int>(f.len));
        return;
    }
    if (run.verbose)
        std::printf("Send frames with frame_id=%X len=%d %d s %d us\n",
                    static_cast<unsigned>(f.frame_id), static_cast<int>(f.len),
                    static_cast<int>(f.sec), static_cast<int>(f.usec));
    const ssize_t n = write_record(record);
    if (run.verbose && n > 0) std::printf("Sent frame with %d bytes\n", static_cast<int>(n));
    if (run.dump && !run.binary) {
        write_dump(format_dump_entry(record, f, entry));
    }
    ++state.frames_sent;
}

void relay_datagram(std::size_t received) {
    // A datagram shorter than its header reads as zeros where nothing came (records are only
    // read whole, so the rest of the buffer is never looked at).
    if (received < header_size)
        std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(received),
                  buffer.begin() + header_size, std::uint8_t{0});
    const FR_FRAME_HEADER h = convert_header(std::span(buffer).first<header_size>());
    if (h.magic != relay_magic) {
        if (run.verbose) std::printf("Magic number is wrong: %08X\n", h.magic);
        return;
    }
    const sequence_check c = check_datagram(state, h.udp_seq);
    if (c.anomaly && run.verbose)
        std::printf("UDP sequence anomaly. Expected: %d got: %d\n", static_cast<int>(c.expected),
                    static_cast<int>(h.udp_seq));
    const std::size_t count = records_received(received, h.frame_count);
    if (count < h.frame_count && run.verbose)
        std::printf("Datagram %u announces %u frame records, %zu arrived whole: rest ignored\n",
                    h.udp_seq, h.frame_count, count);
    for (std::size_t i = 0; i < count; ++i)
        relay_record(record_at(buffer, i));
}

// Installs a handler that interrupts blocking calls (no SA_RESTART).
int install(int sig, void (*handler)(int)) {
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    return sigaction(sig, &sa, nullptr);
}

}  // namespace framerelayd

using namespace framerelayd;

int main(int argc, char** argv) {
    std::setvbuf(stdout, out_stream_buffer.data(), _IOLBF, out_stream_buffer.size());
    copy_name(run.device, default_device);
    std::atexit(close_dump);
    parse_options(argc, argv);

    udp_socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (udp_socket < 0) fail("Error opening UDP socket", exit_no_udp_socket);
    flexray_socket = socket(flexray_family, SOCK_RAW, flexray_protocol);
    if (flexray_socket < 0) fail("Error opening vflexray socket", exit_no_flexray_socket);
    const int one = 1;
    if (setsockopt(udp_socket, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        fail("Error setting reuse address option", exit_no_reuse_address);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(static_cast<std::uint16_t>(run.port));
    if (bind(udp_socket, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0)
        fail("UDP socket bind error", exit_udp_bind_failed);

    ifreq request{};
    const std::size_t name_length = std::strlen(run.device.data());
    int looked_up = -1;
    if (name_length < sizeof request.ifr_name) {
        std::memcpy(request.ifr_name, run.device.data(), name_length);
        looked_up = ioctl(flexray_socket, SIOCGIFINDEX, &request);
    } else {
        // No interface name is that long; cut short it could name another device.
        errno = ENODEV;
    }
    if (looked_up != 0) fail("FlexRay ioctl", exit_no_device);
    const flexray_address device{flexray_family, 0, request.ifr_ifindex};
    if (bind(flexray_socket, reinterpret_cast<const sockaddr*>(&device), sizeof device) != 0)
        fail("FlexRay bind error", exit_device_bind_failed);

    if (install(SIGINT, on_stop) != 0)
        fail("Can't register signal handler for CTRL-C et al: ", exit_no_sigint_handler);
    if (install(SIGUSR1, on_statistics) != 0)
        fail("Can't register signal handler for USR1 (statistics)", exit_no_sigusr1_handler);
    // SIGTERM gets its default end, only after the dump file is written out.
    install(SIGTERM, on_stop);
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGUSR1);
    sigprocmask(SIG_BLOCK, &blocked, &wait_mask);
    // The waits let them in also where the parent left them blocked.
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGUSR1);

    std::printf("Starting UDP FlexRay daemon on port %d\n", run.port);
    state = relay_state{};
    for (;;) {
        const ssize_t n = receive();
        if (n < 0) {
            std::perror("recvfrom error");
            continue;
        }
        if (n > 0) relay_datagram(static_cast<std::size_t>(n));
    }
}

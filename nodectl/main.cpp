// nodectl: sends one control command to the FR-MCU and reports its answer.
// Every text printed here is interface, exact to the letter, misspellings included ("adress",
// "reponse"): scripts in the field match them and the tests pin them. Never tidy one.
#include <arpa/inet.h>
#include <getopt.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "frmcu/banner.hpp"
#include "frmcu/ctrl_protocol.hpp"
#include "frmcu/link.hpp"
#include "frmcu/signal_line.hpp"
#include "nodectl/report.hpp"

namespace nodectl {

constexpr const char* program_name = "nodectl";
constexpr const char* version = "0.0.1";
constexpr std::size_t max_address = 254;
constexpr std::size_t max_command = 255;
constexpr std::size_t max_command_word = 80;

// The exit statuses, as nodectl(1) lists them under EXIT STATUS: scripts read them. The set-up
// failures are negative; the shell sees them modulo 256.
enum exit_status : int {
    exit_success = 0,     // also help, the list, no answer or a foreign one, SIGINT
    exit_bad_answer = 1,  // the message missing, of the wrong length, not OK, too short
    exit_wrong_command = -3,
    exit_no_socket = -5,
    exit_bad_address = -6,  // not dotted-decimal IPv4, or longer than max_address
    exit_no_connection = -7,
    exit_no_sigint_handler = -8,
    exit_not_sent = -9,
};

struct settings {
    std::array<char, max_address + 1> address{};
    int port = frmcu::control_port;
    std::array<char, max_command + 1> command{};
    int command_code = -1;
};

settings run;
volatile sig_atomic_t verbose = 0;
volatile sig_atomic_t interrupted = 0;
int control_socket = -1;

void print_usage() {
    std::printf("\nUsage: %s <-ipvh> [value]\n", program_name);
    std::printf("\t -i --ipaddress. IP adress for FlexRay node. Defaults to %s\n",
                frmcu::default_mcu_address);
    std::printf("\t -p --port. Destination TCP port on FlexRay node. Defaults to %d\n",
                frmcu::control_port);
    std::printf("\t -c --command. Command to send to the target node.\n");
    std::printf("\t -l --list. List available commands.\n");
    std::printf("\t -v --verbose\n");
    std::printf("\t -h --help\n");
    std::printf("\tA typical example: %s -i %s -p %d -c statistics\n\n", program_name,
                frmcu::default_mcu_address, frmcu::control_port);
}

[[noreturn]] void help_and_exit() {
    frmcu::print_banner(program_name, version);
    print_usage();
    std::exit(exit_success);
}

void print_command_list() {
    std::printf("Valid commands in %s v%s:\n", program_name, version);
    for (auto word : frmcu::cmd_strings)
        std::printf("\t%.*s\n", static_cast<int>(word.size()), word.data());
}

// Ends the run: closes the connection and exits. An interrupt ends it with status 0.
[[noreturn]] void finish(int status) {
    if (control_socket >= 0) close(control_socket);
    control_socket = -1;
    std::exit(interrupted ? exit_success : status);
}

[[noreturn]] void fail(const char* message, int status) {
    std::perror(message);
    finish(status);
}

// Only flags and a ready line here; the waits see EINTR and the main flow ends the run.
void on_sigint(int sig) {
    interrupted = 1;
    if (verbose) {
        char line[48];
        const std::size_t n = frmcu::format_signal_line(line, sig);
        [[maybe_unused]] ssize_t w = write(STDERR_FILENO, line, n);
    }
}

// From the handler's installation on SIGINT stays blocked and comes in only at the points
// below, so that none is missed between a check of the flag and the step it guards.
sigset_t sigint_open;

// Right after the handler's installation: one that came already ends the run here.
void hold_sigint() {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &sigint_open);
    sigdelset(&sigint_open, SIGINT);
    if (interrupted) finish(exit_success);
}

// Lets a pending SIGINT in; an interrupt ends the run.
void take_sigint() {
    sigset_t held;
    sigprocmask(SIG_SETMASK, &sigint_open, &held);
    sigprocmask(SIG_SETMASK, &held, nullptr);
    if (interrupted) finish(exit_success);
}

// Waits until the socket is readable, SIGINT let in by the wait itself. Returns pselect's
// result; an interrupt ends the run.
int wait_readable(const timespec& limit) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(control_socket, &readable);
    int r = pselect(control_socket + 1, &readable, nullptr, nullptr, &limit, &sigint_open);
    const int saved = errno;
    if (interrupted) finish(exit_success);
    errno = saved;
    return r;
}

void parse_options(int argc, char** argv) {
    static const option long_options[] = {
        {"ipaddress", required_argument, nullptr, 'i'},
        {"port", required_argument, nullptr, 'p'},
        {"command", required_argument, nullptr, 'c'},
        {"list", no_argument, nullptr, 'l'},
        {"verbose", no_argument, nullptr, 'v'},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    if (argc < 2) help_and_exit();
    int opt;
    while ((opt = getopt_long(argc, argv, "i:p:c:lfvh?", long_options, nullptr)) != -1) {
        switch (opt) {
            case 'i':
                if (std::strlen(optarg) > max_address) {
                    std::fprintf(stderr, "IP address too long (%zu characters, at most %zu)\n",
                                 std::strlen(optarg), max_address);
                    std::exit(exit_bad_address);
                }
                run.address.fill('\0');
                std::memcpy(run.address.data(), optarg, std::strlen(optarg));
                break;
            case 'p':
                run.port = static_cast<int>(std::strtol(optarg, nullptr, 10));
                break;
            case 'c': {
                run.command.fill('\0');
                std::strncpy(run.command.data(), optarg, max_command);
                const std::size_t length = std::strlen(run.command.data());
                run.command_code = length == 0 || length > max_command_word
                                       ? -1
                                       : frmcu::match_command(run.command.data());
                if (run.command_code < 0) {
                    std::fprintf(stderr, "Wrong command %s\n", run.command.data());
                    print_command_list();
                    std::exit(exit_wrong_command);
                }
                break;
            }
            case 'l':
                print_command_list();
                std::exit(exit_success);
            case 'v':
                verbose = 1;
                break;
            case 'f':
                break;
            default:
                help_and_exit();  // -h, -? and whatever the parser rejected
        }
    }
    if (run.command_code < 0) help_and_exit();
}

}  // namespace nodectl

using namespace nodectl;

int main(int argc, char** argv) {
    std::strcpy(run.address.data(), frmcu::default_mcu_address);
    parse_options(argc, argv);

    if (verbose) std::printf("Creating TCP socket\n");
    control_socket = socket(AF_INET, SOCK_STREAM, 0);
    if (control_socket < 0) {
        std::perror("Error opening TCP socket");
        std::exit(exit_no_socket);
    }

    if (verbose) std::printf("Setting up IP address\n");
    sockaddr_in node{};
    node.sin_family = AF_INET;
    node.sin_port = htons(static_cast<std::uint16_t>(run.port));
    if (inet_pton(AF_INET, run.address.data(), &node.sin_addr) != 1) {
        errno = EINVAL;
        fail("IP address setup failed", exit_bad_address);
    }

    if (verbose) std::printf("Connecting to: %s %d\n", run.address.data(), run.port);
    if (connect(control_socket, reinterpret_cast<const sockaddr*>(&node), sizeof node) != 0)
        fail("ERROR connecting", exit_no_connection);

    struct sigaction sa {};
    sa.sa_handler = on_sigint;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: the waits return EINTR
    if (sigaction(SIGINT, &sa, nullptr) != 0)
        fail("Can't register signal handler for CTRL-C et al: ", exit_no_sigint_handler);
    hold_sigint();

    if (verbose)
        std::printf("Sending command %s to %s port %d\n", run.command.data(), run.address.data(),
                    run.port);
    const frmcu::FR_CTRL_REQ request = frmcu::build_request(run.command_code);
    if (verbose) {
        std::printf("Writing FR_CTRL_REQ message:\n");
        print_hex_dump(stdout, request);
    }
    take_sigint();  // nothing is written once SIGINT has come
    if (write(control_socket, request.data(), request.size()) < 0)
        fail("ERROR writing to socket", exit_not_sent);

    if (verbose) std::printf("Reading FR_CTRL_HEADER\n");
    const timespec limit{5, 0};
    const int ready = wait_readable(limit);
    if (ready < 0) fail("ERROR calling select()", exit_success);
    if (ready == 0) {
        std::fputs("ERROR timeout waiting for response\n", stderr);
        finish(exit_success);
    }

    std::array<std::uint8_t, frmcu::ctrl_header_size> header{};
    const ssize_t got = read(control_socket, header.data(), header.size());
    if (got < 0) fail("ERROR reading from socket", exit_success);
    if (static_cast<std::size_t>(got) < header.size()) {
        // A header that breaks off is as good as none; nothing of it is looked at.
        errno = got == 0 ? ENODATA : EPROTO;
        fail("ERROR reading from socket", exit_success);
    }
    if (verbose) print_hex_dump(stdout, header);
    switch (frmcu::check_header(header, run.command_code)) {
        case frmcu::verdict::wrong_magic:
            std::fputs("Wrong magic ID\n", stderr);
            finish(exit_success);
        case frmcu::verdict::wrong_id:
            std::fprintf(stderr, "Wrong response ID (%04X)\n",
                         static_cast<unsigned>(frmcu::parse_header(header).id));
            finish(exit_success);
        default:
            break;
    }

    if (verbose) std::printf("Reading response message: \n");
    std::array<std::uint8_t, frmcu::max_response_message> message{};
    // The message is due as soon as the header: an FR-MCU reset in between must not hang us.
    const int due = wait_readable(limit);
    if (due <= 0) {
        if (due == 0) errno = ETIMEDOUT;
        fail("Failed to read reponse message", exit_bad_answer);
    }
    const ssize_t length = read(control_socket, message.data(), message.size());
    if (length < 0) fail("Failed to read reponse message", exit_bad_answer);
    const std::span<const std::uint8_t> received(message.data(), static_cast<std::size_t>(length));
    const auto checked = frmcu::check_message(frmcu::parse_header(header), received);
    if (checked.result == frmcu::verdict::wrong_length ||
        checked.result == frmcu::verdict::no_return_code) {
        std::fprintf(stderr, "Invalid length of response message: %d (%d)\n", checked.received,
                     checked.announced);
        finish(exit_bad_answer);
    }
    if (verbose) print_hex_dump(stdout, received);
    if (checked.result == frmcu::verdict::return_code_bad) {
        std::fprintf(stderr, "Return code not OK: %s\n",
                     frmcu::return_code_to_string(checked.return_code));
        finish(exit_bad_answer);
    }

    if (run.command_code == frmcu::cmd_statistics) {
        frmcu::statistics stats{};
        if (frmcu::decode_statistics(received, stats) != frmcu::verdict::accepted) {
            std::fprintf(stderr, "Statistics record too short: %d bytes (%d expected)\n",
                         checked.received, static_cast<int>(frmcu::statistics_record_size + 2));
            finish(exit_bad_answer);
        }
        print_statistics(stdout, stats);
    }
    finish(exit_success);
}

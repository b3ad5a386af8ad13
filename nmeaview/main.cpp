// nmeaview: shows the GPS receiver's GPRMC fixes read from its serial port.
// Every text printed here is interface, exact to the letter: scripts in the field match
// them and the tests pin them. Never tidy one.
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nmeaview/nmea.hpp"

namespace nmeaview {
namespace {

constexpr int wait_seconds = 5;
constexpr std::size_t read_size = 128;

struct run_state {
    int port = -1;
    reader_state reader;
    std::array<char, read_size> input{};
    std::array<char, line_max> line{};
};
run_state run;

volatile sig_atomic_t stop_requested = 0;

void on_signal(int) {
    stop_requested = 1;
}

void close_port() {
    if (run.port > 0) close(run.port);
}

// Raw 115200 8E1, no flow control; a port that refuses the settings is read as it is.
void apply_line_settings(int fd) {
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag = B115200 | CS8 | CREAD | PARENB | CLOCAL;
    t.c_lflag = 0;
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIOFLUSH);
}

void take_bytes(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t n = take_byte(run.reader, run.input[i], run.line);
        if (n == 0) continue;
        fwrite(run.line.data(), 1, n, stdout);
        fflush(stdout);  // one fix at a time, also into a pipe
    }
}

int main_flow(int argc, char** argv) {
    if (argc < 2) {
        printf("nmeaview <tty port> \n");
        printf("\n");
        return 1;
    }
    const char* path = argv[1];

    // No SA_RESTART: a signal also cuts short an open that waits for the line.
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    if (sigaction(SIGTERM, &sa, nullptr) != 0) {
        perror("Can't register signal handler ");
        return 1;
    }
    if (sigaction(SIGINT, &sa, nullptr) != 0) {
        perror("Can't register signal handler for CTRL-C et al");
        return 1;
    }
    if (atexit(close_port) != 0) {
        perror("Can't register exit handler\n");
        return 1;
    }

    // Never the controlling terminal: its hang-up would end us with SIGHUP before our own
    // hang-up handling and exit handler run.
    run.port = open(path, O_RDWR | O_NOCTTY);
    if (run.port < 0) {
        if (stop_requested) return 1;  // interrupted while the open waited
        printf("Failed to open %s, %s \n", path, strerror(errno));
        return 1;
    }
    apply_line_settings(run.port);

    // The stop signals are held back between the check of the flag and the wait, so that
    // none slips in unseen; the wait lets them through.
    sigset_t stop_signals, wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_SETMASK, nullptr, &wait_mask);
    sigdelset(&wait_mask, SIGINT);
    sigdelset(&wait_mask, SIGTERM);

    const timespec step{wait_seconds, 0};
    // Readable yet nothing to read means the line is hung up (or a file has ended): then the
    // next step is waited out without the port rather than spun on.
    bool hung_up = false;
    for (;;) {
        sigprocmask(SIG_BLOCK, &stop_signals, nullptr);
        if (stop_requested) break;
        fd_set readable;
        FD_ZERO(&readable);
        if (!hung_up) FD_SET(run.port, &readable);
        const int ready =
            pselect(hung_up ? 0 : run.port + 1, &readable, nullptr, nullptr, &step, &wait_mask);
        // A signal that came while the port was readable is taken here.
        sigprocmask(SIG_UNBLOCK, &stop_signals, nullptr);
        hung_up = false;
        if (ready <= 0) continue;
        const ssize_t n = read(run.port, run.input.data(), run.input.size());
        if (n > 0)
            take_bytes(static_cast<std::size_t>(n));
        else
            hung_up = true;
    }
    return 1;
}

}  // namespace
}  // namespace nmeaview

int main(int argc, char** argv) {
    return nmeaview::main_flow(argc, argv);
}

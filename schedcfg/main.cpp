// schedcfg: sends one configuration command to the LIN co-processor, or prints the LIN frames
// that it forwards.
// Every text printed here is interface, exact to the letter: scripts in the field match
// them and the tests pin them. Never tidy one.
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "schedcfg/cli.hpp"
#include "schedcfg/lin_protocol.hpp"
#include "schedcfg/lines.hpp"

namespace schedcfg {

namespace {

struct run_settings : options {
    int fd = -1;
    volatile sig_atomic_t run = 1;  // cleared by the signal handler
    int start_counter = 0;          // 0x7E bytes seen by the start-sequence search
    // The signal mask inside the waits. Listening holds SIGINT and SIGTERM back everywhere
    // else, so that a stop always lands in a wait and ends listening the same way.
    sigset_t wait_mask;
};
run_settings settings;

std::array<std::uint8_t, command_buffer_size> command_buffer;
std::array<std::uint8_t, response_size> response_buffer;
std::array<std::uint8_t, message_buffer_size> message_buffer;
std::array<char, line_size> line;
std::array<char, 8192> say_buffer;

void write_all(int fd, const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        text += n;
        length -= static_cast<std::size_t>(n);
    }
}

// Standard output never waits in a stdio buffer: each line leaves in one write(2), so the signal
// handler's line, written the same way, lands between the lines printed before and after it,
// whatever standard output is.
// A text longer than the buffer (a long path in it) still goes out whole, in several writes.
__attribute__((format(printf, 1, 2))) void say(const char* format, ...) {
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(say_buffer.data(), say_buffer.size(), format, args);
    if (n >= static_cast<int>(say_buffer.size()))
        vdprintf(1, format, again);
    else if (n > 0)
        write_all(1, say_buffer.data(), static_cast<std::size_t>(n));
    va_end(again);
    va_end(args);
}

void say_line(std::size_t length) {
    write_all(1, line.data(), length);
}

void on_signal(int signal_number) {
    const int saved_errno = errno;
    static constexpr char head[] = "application receiving signal: ";
    char text[sizeof head + 12];
    std::size_t n = 0;
    for (std::size_t k = 0; k + 1 < sizeof head; ++k)
        text[n++] = head[k];
    char digits[10];
    std::size_t d = 0;
    unsigned v = static_cast<unsigned>(signal_number);
    do {
        digits[d++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && d < sizeof digits);
    while (d > 0)
        text[n++] = digits[--d];
    text[n++] = '\n';
    if (write(1, text, n) < 0) {
        // Nothing to be done about a lost notice inside a handler.
    }
    settings.run = 0;
    errno = saved_errno;
}

bool install_handler(int signal_number) {
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    // Restarting keeps output writes whole; select() fails with EINTR regardless, which is what
    // cuts the waits short.
    action.sa_flags = SA_RESTART;
    return sigaction(signal_number, &action, nullptr) == 0;
}

void close_port() {
    if (settings.fd >= 0) close(settings.fd);
    settings.fd = -1;
}

int lin_port_open(const char* path, speed_t speed, cc_t vtime) {
    const int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        say("Failed to open %s. error: %s\n", path, strerror(errno));
        return fd;
    }
    // A fresh record: nothing of the device's current settings survives.
    termios t{};
    cfmakeraw(&t);
    t.c_iflag = IGNBRK | IGNPAR | INPCK;
    t.c_cflag = speed | CS8 | CREAD | CLOCAL;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cc[VTIME] = vtime;
    t.c_cc[VMIN] = 0;
    if (tcsetattr(fd, TCSANOW, &t) < 0) {
        const int error = errno;
        say("Failed to set termios. error: %s\n", strerror(error));
        close(fd);
        return -1;
    }
    tcflush(fd, TCIFLUSH);
    return fd;
}

// Writes the whole message; a write cut short by a signal goes on with the rest, so the command
// goes out whole. With flush_input, input that came before the command is dropped first: an
// answer that comes the moment the command is in must not be dropped with it.
ssize_t lin_port_write(int fd, const std::uint8_t* bytes, std::size_t length, bool flush_input) {
    if (flush_input) tcflush(fd, TCIFLUSH);
    std::size_t done = 0;
    while (done < length) {
        const ssize_t n = write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return n;
        if (n == 0) break;
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

// Waits for input and reads it, in at most two passes: a second one only when the first read
// brought fewer than `minimum` bytes. Returns the bytes placed, 0 when a wait timed out, or a
// negative value with errno set (EINTR when a signal cut the wait short).
ssize_t lin_port_read(int fd, std::uint8_t* buffer, std::size_t size, std::size_t minimum,
                      int timeout_seconds) {
    std::size_t placed = 0;
    for (int pass = 0; pass < 2; ++pass) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        const timespec wait{timeout_seconds, 0};
        const int ready = pselect(fd + 1, &readable, nullptr, nullptr, &wait, &settings.wait_mask);
        if (ready <= 0) return ready;
        const ssize_t n = read(fd, buffer + placed, size - placed);
        if (n <= 0) return n;
        placed += static_cast<std::size_t>(n);
        if (placed >= minimum) break;
    }
    return static_cast<ssize_t>(placed);
}

// Returns only when the co-processor accepted the command; anything else ends the program.
void lin_send_command(int fd, std::uint8_t type, std::span<const std::uint8_t> args,
                      const char* word) {
    const std::size_t length = build_command(command_buffer, type, args);
    if (lin_port_write(fd, command_buffer.data(), length, true) < 0) {
        std::fprintf(stderr, "serial write failed: %s\n", strerror(errno));
    } else {
        const ssize_t n =
            lin_port_read(fd, response_buffer.data(), response_size, response_size, 1);
        if (n < 0) {
            std::fprintf(stderr, "serial read failed: %s\n", strerror(errno));
        } else if (n == 0) {
            std::fputs("serial read timed-out\n", stderr);
        } else {
            const answer_check a =
                check_answer(std::span(response_buffer.data(), static_cast<std::size_t>(n)));
            if (a.result == answer::accepted) return;
            if (a.result == answer::bad_start) {
                std::fputs("invalid message start sequence\n", stderr);
                std::fprintf(stderr, "DUMP: 0x%02x 0x%02x 0x%02x 0x%02x\n", a.head[0], a.head[1],
                             a.head[2], a.head[3]);
            } else {
                std::fprintf(stderr, "error set in response: %s\n", error_text(a.error_code));
            }
        }
    }
    std::fprintf(stderr, "failed to write CMD: %s\n", word);
    std::exit(1);
}

enum class received { valid, invalid, interrupted };

// Lets a stop that is held back in: a port that stays readable would keep it out of the waits.
bool stop_requested(void*) {
    sigset_t held;
    sigprocmask(SIG_SETMASK, &settings.wait_mask, &held);
    sigprocmask(SIG_SETMASK, &held, nullptr);
    return !settings.run;
}

// lin_port_read on the descriptor the context points to, a signal told apart.
long read_port(void* fd, std::uint8_t* into, std::size_t size, std::size_t minimum,
               int timeout_seconds) {
    const ssize_t r = lin_port_read(*static_cast<int*>(fd), into, size, minimum, timeout_seconds);
    return r < 0 && errno == EINTR ? read_interrupted : static_cast<long>(r);
}

void report_search(void*, std::uint8_t byte, search_step step) {
    if (step == search_step::discarded)
        std::fprintf(stderr, "start seq discarding byte: %02x\n", byte);
}

// Waits for a start sequence, then reads, prints and checks one forwarded-frame body. A signal
// ends listening; a time-out or a failed read ends the program.
received lin_receive_message(int fd, std::span<std::uint8_t, message_buffer_size> message,
                             std::size_t& count) {
    const message_port port{&fd, read_port, stop_requested, report_search};
    const message_result m = read_message(port, settings.start_counter, message, settings.timeout);
    switch (m.outcome) {
        case message_read::body:
            break;
        case message_read::stopped:
            return received::interrupted;
        case message_read::interrupted:
            say("serial read: %s\n", strerror(EINTR));
            return received::interrupted;
        case message_read::failed:
            std::fprintf(stderr, "serial read failed: %s\n", strerror(errno));
            std::exit(1);
        case message_read::search_timed_out:
            std::fputs("serial read timed-out: \n", stderr);
            std::exit(1);
        case message_read::body_timed_out:
            std::fputs("serial read timed-out\n", stderr);
            std::exit(1);
    }
    count = m.count;

    const std::span<const std::uint8_t> body = message.first(count);
    const std::size_t dump_length = format_dump(line, body);
    say_line(dump_length);
    const body_verdict verdict = validate_body(body);
    if (verdict == body_verdict::valid) return received::valid;
    std::array<char, line_size> why;
    format_verdict(why, verdict, body);
    std::fputs(why.data(), stderr);
    say_line(dump_length);
    return received::invalid;
}

int listen_mode() {
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    unsigned long received_count = 0;
    unsigned long dropped_count = 0;
    for (;;) {
        std::size_t count = 0;
        const received outcome = lin_receive_message(settings.fd, message_buffer, count);
        if (outcome == received::interrupted) break;
        if (outcome == received::invalid) {
            dropped_count = 1;
            break;
        }
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        say_line(format_frame_line(line, static_cast<long>(now.tv_sec),
                                   static_cast<long>(now.tv_nsec),
                                   std::span(message_buffer.data(), count)));
        ++received_count;
        // A limit counts down to 0; no limit (0, or a negative count) never ends listening.
        if (settings.frames_left > 0 && --settings.frames_left == 0) break;
    }
    say("LIN RCV CNT: %lu\n", received_count);
    say("LIN DROPPED CNT: %lu\n", dropped_count);
    return 0;
}

void say_usage() {
    write_all(1, usage_text.data(), usage_text.size());
}

int command_mode(int argc, char** argv) {
    const command_request c = read_command(argc, argv, settings.option_count);
    switch (c.outcome) {
        case command_outcome::send:
            break;
        case command_outcome::usage:
            say_usage();
            return 1;
        case command_outcome::bad_command:
            std::fprintf(stderr, "%s: not a valid command.\n", c.word);
            return 1;
        case command_outcome::too_many:
            std::fprintf(stderr, "%s: too many arguments: %zu (at most %zu)\n", c.word, c.count,
                         max_argument_bytes);
            return 1;
        case command_outcome::bad_argument:
            std::fprintf(stderr, "%s: not a valid argument, a number is expected.\n", c.refused);
            return 1;
    }
    lin_send_command(settings.fd, c.type, std::span(c.args.data(), c.count), c.word);
    return 0;
}

int run(int argc, char** argv) {
    if (argc < 3) {
        say_usage();
        return 1;
    }

    read_options(argc, argv, settings);

    // The waits let the stop signals in, also where the parent left them blocked.
    sigprocmask(SIG_BLOCK, nullptr, &settings.wait_mask);
    sigdelset(&settings.wait_mask, SIGINT);
    sigdelset(&settings.wait_mask, SIGTERM);
    speed_t speed = 0;
    if (!speed_of_baud(settings.baud, speed)) {
        say("Unknown baudrate specified: %d\n", settings.baud);
        return 1;
    }
    if (settings.device == nullptr) {
        say("No tty device specified\n");
        return 1;
    }
    settings.fd = lin_port_open(settings.device, speed, 0);
    if (settings.fd < 0) {
        std::fprintf(stderr, "failed to open: %s\n", settings.device);
        return 1;
    }
    if (!install_handler(SIGTERM)) {
        std::fputs("failed to register signal handler (SIGTERM)\n", stderr);
        return 1;
    }
    if (!install_handler(SIGINT)) {
        std::fputs("failed to register signal handler (SIGINT)\n", stderr);
        return 1;
    }
    if (std::atexit(close_port) != 0) {
        std::fputs("failed to register exit handler\n", stderr);
        return 1;
    }
    return settings.listen ? listen_mode() : command_mode(argc, argv);
}

}  // namespace

}  // namespace schedcfg

int main(int argc, char** argv) {
    return schedcfg::run(argc, argv);
}

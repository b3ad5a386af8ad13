// Preloaded into nmeaview by its tests: logs the whole of the line settings the program asks
// for, since a pseudo-terminal does not keep all of them (it drops the parity bit). Each call
// appends a line to the file that TERMIOS_SPY_LOG names, then goes on to the real call.
#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "tests/nmeaview/termios_text.hpp"

namespace {

void log_line(const char* text, int length) {
    const char* path = std::getenv("TERMIOS_SPY_LOG");
    if (path == nullptr || length <= 0) return;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, text, static_cast<size_t>(length)) < 0) {
    }
    close(fd);
}

}  // namespace

extern "C" int tcsetattr(int fd, int action, const termios* t) {
    char text[320];
    int n = std::snprintf(text, sizeof text, "tcsetattr %d ", action);
    n += nmea_test::termios_text(text + n, sizeof text - 1 - static_cast<std::size_t>(n), *t);
    text[n++] = '\n';
    log_line(text, n);
    using real_t = int (*)(int, int, const termios*);
    static const auto real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "tcsetattr"));
    return real(fd, action, t);
}

extern "C" int tcflush(int fd, int queue) {
    char text[32];
    log_line(text, std::snprintf(text, sizeof text, "tcflush %d\n", queue));
    using real_t = int (*)(int, int);
    static const auto real = reinterpret_cast<real_t>(dlsym(RTLD_NEXT, "tcflush"));
    return real(fd, queue);
}

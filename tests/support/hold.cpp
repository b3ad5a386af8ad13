// Preloaded by a test: holds the program for a while at one point of its run, so that the test
// can act exactly there. GW_HOLD names the point: "sigaction:N", just after a handler for
// signal N is installed; "fflush", "tcflush", "recvfrom" or "pselect", inside every such call
// before it acts (on every receive, a program takes datagrams more slowly than they can come).
// GW_HOLD_MS is the length of the hold, and the file GW_HOLD_MARK is created as a hold begins.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void hold() {
    const int saved = errno;
    const char* ms = getenv("GW_HOLD_MS");
    const char* mark = getenv("GW_HOLD_MARK");
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const long long end_ns = until.tv_nsec + (ms ? atoll(ms) : 0) * 1000000LL;
    until.tv_sec += static_cast<time_t>(end_ns / 1000000000LL);
    until.tv_nsec = static_cast<long>(end_ns % 1000000000LL);
    if (mark) close(open(mark, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
    errno = saved;
}

bool holds_at(const char* point) {
    const char* wanted = getenv("GW_HOLD");
    return wanted && std::strcmp(wanted, point) == 0;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int sigaction(int sig, const struct sigaction* action, struct sigaction* old) {
    static auto real = next<int (*)(int, const struct sigaction*, struct sigaction*)>("sigaction");
    const int r = real(sig, action, old);
    char point[32];
    std::snprintf(point, sizeof point, "sigaction:%d", sig);
    if (r == 0 && action && action->sa_handler != SIG_DFL && action->sa_handler != SIG_IGN &&
        holds_at(point))
        hold();
    return r;
}

extern "C" int fflush(FILE* stream) {
    static auto real = next<int (*)(FILE*)>("fflush");
    if (holds_at("fflush")) hold();
    return real(stream);
}

extern "C" int tcflush(int fd, int queue) {
    static auto real = next<int (*)(int, int)>("tcflush");
    if (holds_at("tcflush")) hold();
    return real(fd, queue);
}

extern "C" ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from,
                            socklen_t* from_size) {
    static auto real =
        next<ssize_t (*)(int, void*, size_t, int, sockaddr*, socklen_t*)>("recvfrom");
    if (holds_at("recvfrom")) hold();
    return real(fd, buffer, size, flags, from, from_size);
}

// With 64-bit time on a 32-bit target the declaration names __pselect64, and so does this.
extern "C" int pselect(int n, fd_set* in, fd_set* out, fd_set* error, const timespec* limit,
                       const sigset_t* mask) {
    static auto real =
        next<int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*)>(
            sizeof(time_t) == sizeof(long) ? "pselect" : "__pselect64");
    if (holds_at("pselect")) hold();
    return real(n, in, out, error, limit, mask);
}

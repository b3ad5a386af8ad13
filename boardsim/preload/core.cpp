// Interposed libc calls: each checks whether the path or descriptor belongs to a simulated
// facility and otherwise passes the call through unchanged.

// Every variant of a call is defined here by its own symbol name (open and open64, ioctl and
// __ioctl_time64), so the headers must not rename them.
#undef _TIME_BITS
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "boardsim/preload/boardsim.hpp"

namespace boardsim {

namespace {

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

std::array<fd_state, 4096> fds;

constexpr std::string_view gpio_prefix = "/sys/class/gpio/gpio";
constexpr std::string_view gpio_suffix = "/value";
constexpr std::string_view spidev_path = "/dev/spidev1.0";

// GPIO number of a sysfs value-file path, or -1.
int gpio_of(std::string_view path) {
    if (!path.starts_with(gpio_prefix) || !path.ends_with(gpio_suffix)) return -1;
    path.remove_prefix(gpio_prefix.size());
    path.remove_suffix(gpio_suffix.size());
    if (path.empty() || path.size() > 6) return -1;
    int n = 0;
    for (char c : path) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

const libc_calls& real() {
    static const libc_calls calls{
        next<int (*)(const char*, int, ...)>("open"),
        next<int (*)(int)>("close"),
        next<ssize_t (*)(int, const void*, size_t)>("write"),
        next<int (*)(int, unsigned long, ...)>("ioctl"),
        next<int (*)(int, int, int)>("socket"),
        next<int (*)(int, const sockaddr*, socklen_t)>("bind"),
    };
    return calls;
}

const char* board() {
    static const char* dir = [] {
        const char* d = getenv("BOARDSIM_DIR");
        return d && *d ? d : nullptr;
    }();
    return dir;
}

fd_state* state(int fd) {
    return fd >= 0 && static_cast<std::size_t>(fd) < fds.size() ? &fds[static_cast<std::size_t>(fd)]
                                                                : nullptr;
}

void monotonic_text(char* out, std::size_t size) {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    snprintf(out, size, "%lld.%06ld", static_cast<long long>(ts.tv_sec), ts.tv_nsec / 1000);
}

void append_line(const char* relative, const char* text) {
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", board(), relative);
    int fd = real().open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char line[4096];
    int n = snprintf(line, sizeof line, "%s\n", text);
    if (n > 0)
        real().write(
            fd, line,
            static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
    real().close(fd);
}

// Opens a path of the board or passes through; `pass` makes the real call.
template <typename Pass>
static int open_path(const char* path, int flags, mode_t mode, Pass pass) {
    if (board() && path) {
        if (int gpio = gpio_of(path); gpio >= 0) return gpio_open(gpio, flags, mode);
        if (spidev_path == path) return spidev_open(flags, mode);
    }
    return pass();
}

}  // namespace boardsim

using namespace boardsim;

namespace {

mode_t mode_arg(int flags, va_list ap) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE
               ? static_cast<mode_t>(va_arg(ap, int))
               : 0;
}

int ioctl_common(int fd, unsigned long request, void* arg, const char* name) {
    if (fd_state* s = state(fd)) {
        if (s->kind == fd_kind::spidev) return spidev_ioctl(fd, request, arg);
        if (s->kind == fd_kind::vflexray) return vflexray_ioctl(fd, request, arg);
    }
    static auto plain = real().ioctl;
    auto call = plain;
    if (std::string_view(name) != "ioctl") {
        static auto time64 = next<int (*)(int, unsigned long, ...)>("__ioctl_time64");
        if (time64) call = time64;
    }
    return call(fd, request, arg);
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    return open_path(path, flags, mode, [&] { return real().open(path, flags, mode); });
}

int open64(const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    static auto fn = next<int (*)(const char*, int, ...)>("open64");
    return open_path(path, flags, mode, [&] { return fn(path, flags, mode); });
}

int __open_2(const char* path, int flags) {
    static auto fn = next<int (*)(const char*, int)>("__open_2");
    return open_path(path, flags, 0, [&] { return fn(path, flags); });
}

int __open64_2(const char* path, int flags) {
    static auto fn = next<int (*)(const char*, int)>("__open64_2");
    return open_path(path, flags, 0, [&] { return fn(path, flags); });
}

int openat(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    static auto fn = next<int (*)(int, const char*, int, ...)>("openat");
    return open_path(path, flags, mode, [&] { return fn(dirfd, path, flags, mode); });
}

int openat64(int dirfd, const char* path, int flags, ...) {
    va_list ap;
    va_start(ap, flags);
    mode_t mode = mode_arg(flags, ap);
    va_end(ap);
    static auto fn = next<int (*)(int, const char*, int, ...)>("openat64");
    return open_path(path, flags, mode, [&] { return fn(dirfd, path, flags, mode); });
}

ssize_t write(int fd, const void* data, size_t size) {
    if (fd_state* s = state(fd)) {
        if (s->kind == fd_kind::gpio) return gpio_write(fd, s->gpio, data, size);
        if (s->kind == fd_kind::vflexray) return vflexray_write(fd, data, size);
    }
    return real().write(fd, data, size);
}

int close(int fd) {
    if (fd_state* s = state(fd)) {
        if (s->kind == fd_kind::spidev) spidev_close(fd);
        if (s->kind == fd_kind::vflexray) vflexray_close(fd);
        *s = fd_state{};
    }
    return real().close(fd);
}

// Shells move a redirection's descriptor before writing to it.
int dup2(int from, int to) {
    static auto fn = next<int (*)(int, int)>("dup2");
    int r = fn(from, to);
    if (r >= 0 && from != to)
        if (fd_state* a = state(from), *b = state(to); a && b) *b = *a;
    return r;
}

int dup3(int from, int to, int flags) {
    static auto fn = next<int (*)(int, int, int)>("dup3");
    int r = fn(from, to, flags);
    if (r >= 0)
        if (fd_state* a = state(from), *b = state(to); a && b) *b = *a;
    return r;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return ioctl_common(fd, request, arg, "ioctl");
}

int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return ioctl_common(fd, request, arg, "__ioctl_time64");
}

int socket(int domain, int type, int protocol) {
    if (board() && domain == 45) return vflexray_socket(type, protocol);
    return real().socket(domain, type, protocol);
}

int bind(int fd, const sockaddr* address, socklen_t length) {
    if (fd_state* s = state(fd); s && s->kind == fd_kind::vflexray)
        return vflexray_bind(fd, address, length);
    return real().bind(fd, address, length);
}

}  // extern "C"

// Preloaded by a test: the call that GW_FAIL names fails with EACCES, everything else passes
// through. "socket" fails IPv4 sockets only (the stand-ins' own are of other families);
// "setsockopt" fails every option. "open" cuts the open of the path GW_FAIL_PATH short with
// SIGINT, as a serial port's open that waits for carrier is cut short: the handler runs, then
// the open fails with EINTR. "short-write" cuts the first write of more than one byte to a
// terminal to its first half, as a signal cuts a tty write short once part of it is in. "read"
// fails every read from a terminal with EIO, as a serial port's driver does when its device goes.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

bool fails(const char* call) {
    const char* wanted = std::getenv("GW_FAIL");
    return wanted && std::strcmp(wanted, call) == 0;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int socket(int domain, int type, int protocol) {
    static auto real = next<int (*)(int, int, int)>("socket");
    if (domain == AF_INET && fails("socket")) {
        errno = EACCES;
        return -1;
    }
    return real(domain, type, protocol);
}

extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t size) {
    static auto real = next<int (*)(int, int, int, const void*, socklen_t)>("setsockopt");
    if (fails("setsockopt")) {
        errno = EACCES;
        return -1;
    }
    return real(fd, level, name, value, size);
}

namespace {

bool interrupted(const char* path) {
    const char* wanted = std::getenv("GW_FAIL_PATH");
    if (!fails("open") || wanted == nullptr || std::strcmp(wanted, path) != 0) return false;
    raise(SIGINT);
    errno = EINTR;
    return true;
}

}  // namespace

// The headers name this open64, as they do in the programs (64-bit file offsets).
extern "C" int open(const char* path, int flags, ...) {
    static auto real = next<int (*)(const char*, int, ...)>("open64");
    if (interrupted(path)) return -1;
    va_list ap;
    va_start(ap, flags);
    const mode_t mode = (flags & O_CREAT) != 0 ? va_arg(ap, mode_t) : 0;
    va_end(ap);
    return real(path, flags, mode);
}

extern "C" ssize_t write(int fd, const void* data, size_t size) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    static bool cut = false;
    if (!cut && size > 1 && fails("short-write") && isatty(fd)) {
        cut = true;
        return real(fd, data, size / 2);
    }
    return real(fd, data, size);
}

extern "C" ssize_t read(int fd, void* into, size_t size) {
    static auto real = next<ssize_t (*)(int, void*, size_t)>("read");
    if (fails("read") && isatty(fd)) {
        errno = EIO;
        return -1;
    }
    return real(fd, into, size);
}

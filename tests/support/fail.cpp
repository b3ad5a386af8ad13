// Preloaded by a test: the call that GW_FAIL names fails with EACCES, everything else passes
// through. "socket" fails IPv4 sockets only (the stand-ins' own are of other families);
// "setsockopt" fails every option.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>
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

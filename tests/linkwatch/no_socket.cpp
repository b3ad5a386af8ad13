// Preloaded by a test: IPv4 sockets cannot be created, everything else passes through.
#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>

extern "C" int socket(int domain, int type, int protocol) {
    if (domain == AF_INET) {
        errno = EACCES;
        return -1;
    }
    static auto next = reinterpret_cast<int (*)(int, int, int)>(dlsym(RTLD_NEXT, "socket"));
    return next(domain, type, protocol);
}

// Virtual FlexRay device stand-in: sockets of family 45.
#include <cerrno>

#include "boardsim/preload/boardsim.hpp"

namespace boardsim {

int vflexray_socket(int, int) {
    errno = EAFNOSUPPORT;
    return -1;
}

int vflexray_ioctl(int, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
}

int vflexray_bind(int, const sockaddr*, socklen_t) {
    errno = EINVAL;
    return -1;
}

ssize_t vflexray_write(int, const void*, size_t) {
    errno = EBADF;
    return -1;
}

void vflexray_close(int) {}

}  // namespace boardsim

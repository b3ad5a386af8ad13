// Virtual FlexRay device stand-in. A socket of family 45 is a connected AF_UNIX datagram socket
// underneath: the device <name> exists while <board>/vflexray/<name>.sock exists (vflexray-sink
// owns that end). The peer's receive queue is the device queue: a few records deep, a write to
// a full queue fails with ENOBUFS, and poll reports POLLOUT as soon as a record was taken.
#include <dirent.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "boardsim/preload/boardsim.hpp"

namespace boardsim {

namespace {

constexpr int flexray_family = 45;
constexpr int flexray_protocol = 1;
constexpr std::size_t device_record_size = 296;
constexpr char suffix[] = ".sock";

bool device_path(char* out, std::size_t size, const char* name, std::size_t name_length) {
    const int n = snprintf(out, size, "%s/vflexray/%.*s%s", board(), static_cast<int>(name_length),
                           name, suffix);
    return n > 0 && static_cast<std::size_t>(n) < size;
}

// A device's interface index is derived from its socket file, so that it stays the same for
// every process on the board.
int index_of(const struct stat& st) {
    return static_cast<int>(st.st_ino % 0x7ffffffeu) + 1;
}

// Finds the socket file of the device with `index`; false when there is none.
bool path_of_index(int index, char* out, std::size_t size) {
    char dir_path[4096];
    snprintf(dir_path, sizeof dir_path, "%s/vflexray", board());
    DIR* dir = opendir(dir_path);
    if (!dir) return false;
    bool found = false;
    while (dirent* e = readdir(dir)) {
        const std::size_t length = strlen(e->d_name);
        const std::size_t suffix_length = sizeof suffix - 1;
        if (length <= suffix_length || strcmp(e->d_name + length - suffix_length, suffix) != 0)
            continue;
        struct stat st {};
        if (!device_path(out, size, e->d_name, length - suffix_length) || stat(out, &st) != 0 ||
            !S_ISSOCK(st.st_mode) || index_of(st) != index)
            continue;
        found = true;
        break;
    }
    closedir(dir);
    return found;
}

}  // namespace

int vflexray_socket(int type, int protocol) {
    const int flags = type & (SOCK_NONBLOCK | SOCK_CLOEXEC);
    if ((type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC)) != SOCK_RAW) {
        errno = ESOCKTNOSUPPORT;
        return -1;
    }
    if (protocol != flexray_protocol) {
        errno = EPROTONOSUPPORT;
        return -1;
    }
    const int fd = real().socket(AF_UNIX, SOCK_DGRAM | flags, 0);
    if (fd < 0) return fd;
    if (fd_state* s = state(fd)) {
        *s = fd_state{};
        s->kind = fd_kind::vflexray;
    }
    return fd;
}

int vflexray_ioctl(int, unsigned long request, void* arg) {
    if (request != SIOCGIFINDEX) {
        errno = ENOTTY;
        return -1;
    }
    auto* ifr = static_cast<ifreq*>(arg);
    // As the kernel does: the name field ends at its last byte at the latest.
    char name[IFNAMSIZ];
    memcpy(name, ifr->ifr_name, IFNAMSIZ);
    name[IFNAMSIZ - 1] = '\0';
    char path[4096];
    struct stat st {};
    if (!device_path(path, sizeof path, name, strlen(name)) || stat(path, &st) != 0 ||
        !S_ISSOCK(st.st_mode)) {
        errno = ENODEV;
        return -1;
    }
    ifr->ifr_ifindex = index_of(st);
    return 0;
}

int vflexray_bind(int fd, const sockaddr* address, socklen_t length) {
    if (length < 8) {
        errno = EINVAL;
        return -1;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(address);
    std::uint16_t family = 0;
    std::int32_t index = 0;
    memcpy(&family, bytes, sizeof family);
    memcpy(&index, bytes + 4, sizeof index);
    if (family != flexray_family) {
        errno = EINVAL;
        return -1;
    }
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (!path_of_index(index, peer.sun_path, sizeof peer.sun_path)) {
        errno = ENODEV;
        return -1;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
        errno = ENETDOWN;  // the socket file is there but no device behind it
        return -1;
    }
    return 0;
}

ssize_t vflexray_write(int fd, const void* data, size_t size) {
    if (size != device_record_size) {
        errno = EINVAL;
        return -1;
    }
    const ssize_t n = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        errno = ENOBUFS;
    else if (errno == ENOTCONN)
        errno = ENXIO;  // not bound to a device
    else if (errno == ECONNREFUSED || errno == ECONNRESET)
        errno = ENETDOWN;  // the device went away
    return -1;
}

void vflexray_close(int) {}

}  // namespace boardsim

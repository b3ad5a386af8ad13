// GPIO sysfs value files: /sys/class/gpio/gpio<N>/value is <board>/gpio/gpio<N>/value (a line
// whose directory is missing is not exported). The file holds the last value written, as the
// sysfs file reads back, and every write is logged to <board>/gpio.log.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "boardsim/preload/boardsim.hpp"

namespace boardsim {

int gpio_open(int gpio, int flags, mode_t mode) {
    char path[4096];
    snprintf(path, sizeof path, "%s/gpio/gpio%d/value", board(), gpio);
    // sysfs never creates a value file.
    int fd = real().open(path, flags & ~(O_CREAT | O_TRUNC), mode);
    if (fd >= 0)
        if (fd_state* s = state(fd)) *s = fd_state{fd_kind::gpio, gpio};
    return fd;
}

ssize_t gpio_write(int fd, int gpio, const void* data, size_t size) {
    char stamp[32];
    monotonic_text(stamp, sizeof stamp);
    ssize_t n = pwrite(fd, data, size, 0);
    if (n < 0) return n;
    if (ftruncate(fd, n) != 0) return -1;

    char line[512];
    int len = snprintf(line, sizeof line, "%s %d ", stamp, gpio);
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size && len + 3 < static_cast<int>(sizeof line); ++i)
        len += snprintf(line + len, sizeof line - static_cast<size_t>(len), "%02x", bytes[i]);
    append_line("gpio.log", line);
    return n;
}

}  // namespace boardsim

// spidev stand-in: /dev/spidev1.0 served by TJA1145 models.
#include <cerrno>

#include "boardsim/preload/boardsim.hpp"

namespace boardsim {

int spidev_open(int, mode_t) {
    errno = ENOENT;
    return -1;
}

int spidev_ioctl(int, unsigned long, void*) {
    errno = ENOTTY;
    return -1;
}

void spidev_close(int) {}

}  // namespace boardsim

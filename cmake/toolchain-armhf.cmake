# Cross build for the board: 32-bit ARMv7-A, hard float, glibc.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(GW_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${GW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${GW_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${GW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Target binaries run under qemu-user; the loader and libraries come from the cross sysroot.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static -L /usr/${GW_TRIPLE})
set(GW_DEB_ARCH armhf)  # the Debian architecture of its packages
set(GW_QEMU_LD_PREFIX /usr/${GW_TRIPLE})

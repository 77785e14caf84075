# Cross build for 32-bit ARM terminals (Debian armhf, ARMv7 with hardware floating point):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake
# Needs crossbuild-essential-armhf, the :armhf development packages and qemu-user-static
# (scripts/run-tests.sh --armhf installs them).
set(KVRT_DEBIAN_ARCH armhf)
set(KVRT_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)

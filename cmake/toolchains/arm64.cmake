# Cross build for 64-bit ARM terminals (Debian arm64):
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/arm64.cmake
# Needs crossbuild-essential-arm64, the :arm64 development packages and qemu-user-static
# (scripts/run-tests.sh --arm64 installs them).
set(KVRT_DEBIAN_ARCH arm64)
set(KVRT_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/DebianCross.cmake)

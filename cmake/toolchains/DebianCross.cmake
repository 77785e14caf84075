# Shared by the ARM toolchain files, which set KVRT_DEBIAN_ARCH, KVRT_TRIPLET and
# CMAKE_SYSTEM_PROCESSOR first. Debian's multiarch packages put the target's libraries,
# Qt's CMake files and pkg-config files under .../<triplet>/ beside the host's, so the
# root is / and only the library architecture changes. Qt's CMake files for the target
# name the host's moc, rcc, lrelease and qmlcachegen (/usr/lib/qt5/bin), as wanted.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${KVRT_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KVRT_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KVRT_TRIPLET})

set(CMAKE_FIND_ROOT_PATH /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(PKG_CONFIG_EXECUTABLE ${KVRT_TRIPLET}-pkg-config CACHE FILEPATH "pkg-config of the target")

# Target programs (the tests under CTest; nothing at build time) run under qemu, and only
# in the sandbox that scripts/emulate.sh makes for them, with its helpers kept in the build
# directory.
get_filename_component(_kvrt_emulate "${CMAKE_CURRENT_LIST_DIR}/../../scripts/emulate.sh" ABSOLUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR
    "${_kvrt_emulate};--cache=${CMAKE_BINARY_DIR}/emulation;${KVRT_DEBIAN_ARCH}")

# Shared part of the Debian cross toolchains; the including file sets CANFD_CROSS_TRIPLE,
# CMAKE_SYSTEM_PROCESSOR and CANFD_CROSS_QEMU first.
set(CMAKE_SYSTEM_NAME Linux)

set(CMAKE_C_COMPILER ${CANFD_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${CANFD_CROSS_TRIPLE}-g++)

# Debian's cross packages keep the target's libraries and headers here.
set(CANFD_CROSS_ROOT /usr/${CANFD_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH ${CANFD_CROSS_ROOT})
# Build tools come from the build machine, libraries and packages only from the target, so a
# host libgtest.a or the like can never end up linked into an ARM binary.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Lets gtest_discover_tests list the tests at build time and ctest run them on this machine.
find_program(CANFD_CROSS_QEMU_PROGRAM ${CANFD_CROSS_QEMU} NO_CMAKE_FIND_ROOT_PATH)
if(CANFD_CROSS_QEMU_PROGRAM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CANFD_CROSS_QEMU_PROGRAM} -L ${CANFD_CROSS_ROOT})
endif()

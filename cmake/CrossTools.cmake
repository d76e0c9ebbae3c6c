# Sets CANFD_CROSS_ARCHS: the Debian architectures (other than this machine's) whose cross build
# can be made and tested here. A cross tree's tests run under qemu-user, and its unit tests are
# listed at build time by running them: without qemu-user, or without the cross compiler (which
# brings the target's C and C++ libraries), its tests would fail, so they are left out instead,
# with one message naming what to install. Included once, by tests/CMakeLists.txt.
include_guard(GLOBAL)
include(${PROJECT_SOURCE_DIR}/cmake/DebianArchitecture.cmake)

# deb-arch|triple|qemu-user program
set(CANFD_CROSS_TARGETS
  "arm64|aarch64-linux-gnu|qemu-aarch64"
  "armhf|arm-linux-gnueabihf|qemu-arm")

set(CANFD_CROSS_ARCHS)
set(missing_packages)
set(skipped_archs)
foreach(entry IN LISTS CANFD_CROSS_TARGETS)
  string(REPLACE "|" ";" entry "${entry}")
  list(GET entry 0 arch)
  list(GET entry 1 triple)
  list(GET entry 2 qemu)
  if(arch STREQUAL CANFD_FLASH_DEB_ARCHITECTURE)
    continue()
  endif()
  find_program(CANFD_CROSS_CXX_${arch} ${triple}-g++)
  find_program(CANFD_CROSS_QEMU_${arch} ${qemu})
  set(usable ON)
  if(NOT CANFD_CROSS_CXX_${arch})
    list(APPEND missing_packages g++-${triple})
    set(usable OFF)
  endif()
  if(NOT CANFD_CROSS_QEMU_${arch})
    list(APPEND missing_packages qemu-user)
    set(usable OFF)
  endif()
  if(usable)
    list(APPEND CANFD_CROSS_ARCHS ${arch})
  else()
    list(APPEND skipped_archs ${arch})
  endif()
endforeach()
if(skipped_archs)
  list(REMOVE_DUPLICATES missing_packages)
  list(JOIN skipped_archs " and " skipped_archs)
  list(JOIN missing_packages " " missing_packages)
  message(NOTICE "Cross tests for ${skipped_archs} skipped (their build, unit tests under "
                 "qemu-user, package and guests): install ${missing_packages} to run them")
endif()

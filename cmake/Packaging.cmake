# Installation (programs and man pages) and the Debian package, for the machine the compiler
# builds for: amd64 natively, arm64 and armhf with the toolchains in cmake/toolchains.

# Boards run whatever Debian-based release they came with, often with an older libstdc++ than
# the build machine's: carrying the C++ runtime inside the programs leaves only libc6.
option(CANFD_FLASH_STATIC_CXX_RUNTIME
       "Link libstdc++ and libgcc statically into the installed programs" ON)

# The programs install themselves (src/, sim/); the simulated board may be absent from a checkout.
set(canfd_programs canfd-flash)
if(TARGET canfd-board-sim)
  list(APPEND canfd_programs canfd-board-sim)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Hardening.cmake)

foreach(program IN LISTS canfd_programs)
  canfd_harden(${program})
  if(CANFD_FLASH_STATIC_CXX_RUNTIME)
    target_link_options(${program} PRIVATE -static-libstdc++ -static-libgcc)
  endif()

  # Debian compresses man pages with gzip -9n: no name or time stamp, so builds are repeatable.
  set(page_in ${PROJECT_SOURCE_DIR}/man/${program}.1)
  set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
  configure_file(${page_in} ${page} @ONLY)
  add_custom_command(
    OUTPUT ${page}.gz
    COMMAND gzip -9nkf ${page}
    DEPENDS ${page} ${page_in}
    COMMENT "Compressing man page ${program}.1"
    VERBATIM)
  add_custom_target(man-${program} ALL DEPENDS ${page}.gz)
  install(FILES ${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The changelog, in Debian's form. The package's version has no Debian revision (a native
# package), so it goes where Debian keeps a native package's changelog: the package's doc
# folder, as changelog.gz.
set(CANFD_FLASH_CHANGELOG ${PROJECT_SOURCE_DIR}/debian/changelog)
set(changelog ${PROJECT_BINARY_DIR}/doc/changelog)
configure_file(${CANFD_FLASH_CHANGELOG} ${changelog} COPYONLY)
add_custom_command(
  OUTPUT ${changelog}.gz
  COMMAND gzip -9nkf ${changelog}
  DEPENDS ${changelog} ${CANFD_FLASH_CHANGELOG}
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(changelog ALL DEPENDS ${changelog}.gz)
install(FILES ${changelog}.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(${CMAKE_CURRENT_LIST_DIR}/DebianArchitecture.cmake)

set(CANFD_FLASH_MAINTAINER "canfd-flash maintainers <canfd-flash@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

string(REGEX MATCH "^[0-9]+" canfd_cxx_major "${CMAKE_CXX_COMPILER_VERSION}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME canfd-flash)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${CANFD_FLASH_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "firmware upload over CAN FD for the board at address 121")
# Lines of the long description stay within 80 columns, as Debian expects.
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "canfd-flash replaces the firmware of the board at address 121 on the CAN FD\n"
    "bus can0 with the image /opt/klipper.bin: it waits for the board's\n"
    "announcement, orders it into its bootloader and serves the bootloader's block\n"
    "requests, 56 image bytes per CAN FD frame.")
if(TARGET canfd-board-sim)
  string(APPEND CPACK_PACKAGE_DESCRIPTION "\n\n"
    "canfd-board-sim is a simulated board that checks every frame the flasher\n"
    "sends, for testing on a virtual CAN interface.")
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${CANFD_FLASH_DEB_ARCHITECTURE})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# The staged files are checked and finished, and Depends filled in from the binaries, by
# cmake/DebianPackageStep.cmake, with the binary tools of the compiler's target.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/DebianPackageStep.cmake)
if(NOT CMAKE_READELF)
  find_program(CMAKE_READELF readelf REQUIRED)
endif()
if(NOT CMAKE_OBJCOPY)
  find_program(CMAKE_OBJCOPY objcopy REQUIRED)
endif()
set(CPACK_CANFD_READELF ${CMAKE_READELF})
set(CPACK_CANFD_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_CANFD_CHANGELOG ${CANFD_FLASH_CHANGELOG})
set(CPACK_CANFD_CXX_MAJOR ${canfd_cxx_major})
include(CPack)

# Sets CANFD_FLASH_DEB_ARCHITECTURE: Debian's name for the architecture the compiler builds for.
include_guard(GLOBAL)

execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpmachine
                OUTPUT_VARIABLE canfd_target_triple OUTPUT_STRIP_TRAILING_WHITESPACE)
if(canfd_target_triple MATCHES "^aarch64-")
  set(canfd_deb_arch arm64)
elseif(canfd_target_triple MATCHES "^arm.*-gnueabihf$")
  set(canfd_deb_arch armhf)
elseif(canfd_target_triple MATCHES "^arm.*-gnueabi$")
  set(canfd_deb_arch armel)
elseif(canfd_target_triple MATCHES "^x86_64-.*-gnu$")
  set(canfd_deb_arch amd64)
elseif(canfd_target_triple MATCHES "^i[3-6]86-")
  set(canfd_deb_arch i386)
else()
  set(canfd_deb_arch "")
endif()
set(CANFD_FLASH_DEB_ARCHITECTURE "${canfd_deb_arch}"
    CACHE STRING "Architecture field of the Debian package (from the compiler's target if empty)")
if(NOT CANFD_FLASH_DEB_ARCHITECTURE AND NOT CMAKE_CROSSCOMPILING)
  # An unusual native machine: ask dpkg, as a build on the board itself would.
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE CANFD_FLASH_DEB_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
endif()
if(NOT CANFD_FLASH_DEB_ARCHITECTURE)
  message(WARNING "No Debian architecture known for ${canfd_target_triple}: set "
                  "CANFD_FLASH_DEB_ARCHITECTURE to build the package")
endif()

# GoogleTest built for the machine the tests are for. A native build uses the installed
# libgtest-dev; a cross build (or a board without the prebuilt libraries) compiles the sources
# that Debian's libgtest-dev ships, since no GoogleTest for the target arch is installed.
if(NOT CMAKE_CROSSCOMPILING)
  find_package(GTest QUIET)
endif()

if(NOT TARGET GTest::gtest OR NOT TARGET GTest::gtest_main)
  set(CANFD_FLASH_GTEST_SOURCE_DIR /usr/src/googletest
      CACHE PATH "GoogleTest sources, used when no GoogleTest for the target is installed")
  if(NOT EXISTS ${CANFD_FLASH_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR
      "No GoogleTest for ${CMAKE_SYSTEM_PROCESSOR}: install libgtest-dev (its sources in "
      "/usr/src/googletest are built for the target) or set CANFD_FLASH_GTEST_SOURCE_DIR, "
      "or configure with -DCANFD_FLASH_TESTS=OFF")
  endif()
  # Test libraries must not end up in `cmake --install` or in the package.
  set(INSTALL_GTEST OFF CACHE BOOL "Install GoogleTest along with canfd-flash" FORCE)
  add_subdirectory(${CANFD_FLASH_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  message(STATUS "GoogleTest: building from ${CANFD_FLASH_GTEST_SOURCE_DIR}")
endif()

# CPack pre-build step, on the files as staged for the Debian package: it checks that the
# changelog describes this version, drops the compiler's .comment notes from the binaries
# (lintian's binary-has-unneeded-section; strip keeps them), and sets Depends from the
# binaries, so it always matches what ships.
include(${CMAKE_CURRENT_LIST_DIR}/DebianDepends.cmake)

file(STRINGS ${CPACK_CANFD_CHANGELOG} heading LIMIT_COUNT 1)
if(NOT heading MATCHES "^${CPACK_PACKAGE_NAME} \\(([^)]+)\\) ")
  message(FATAL_ERROR "${CPACK_CANFD_CHANGELOG} does not start with an entry for "
                      "${CPACK_PACKAGE_NAME}: '${heading}'")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "the latest entry of ${CPACK_CANFD_CHANGELOG} is for ${CMAKE_MATCH_1}, "
                      "the package is ${CPACK_PACKAGE_VERSION}: add an entry for it first "
                      "(dch -v ${CPACK_PACKAGE_VERSION})")
endif()

file(GLOB_RECURSE staged LIST_DIRECTORIES FALSE "${CPACK_TEMPORARY_DIRECTORY}/*")
set(binaries "")
foreach(path IN LISTS staged)
  if(NOT IS_SYMLINK ${path})
    file(READ ${path} magic LIMIT 4 HEX)
    if(magic STREQUAL "7f454c46")
      list(APPEND binaries ${path})
    endif()
  endif()
endforeach()
if(NOT binaries)
  message(FATAL_ERROR "no binaries staged in ${CPACK_TEMPORARY_DIRECTORY}")
endif()

foreach(binary IN LISTS binaries)
  execute_process(COMMAND ${CPACK_CANFD_OBJCOPY} --remove-section=.comment ${binary}
                  RESULT_VARIABLE failed ERROR_VARIABLE errors)
  if(failed)
    message(FATAL_ERROR "${CPACK_CANFD_OBJCOPY} cannot drop .comment from ${binary}: ${errors}")
  endif()
endforeach()

canfd_debian_depends(CPACK_DEBIAN_PACKAGE_DEPENDS
  READELF ${CPACK_CANFD_READELF} CXX_MAJOR ${CPACK_CANFD_CXX_MAJOR} FILES ${binaries})
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")

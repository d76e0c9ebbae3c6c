# CPack pre-build step: sets the package's Depends from the binaries as staged for packaging,
# so it always matches what ships.
include(${CMAKE_CURRENT_LIST_DIR}/DebianDepends.cmake)

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

canfd_debian_depends(CPACK_DEBIAN_PACKAGE_DEPENDS
  READELF ${CPACK_CANFD_READELF} CXX_MAJOR ${CPACK_CANFD_CXX_MAJOR} FILES ${binaries})
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")

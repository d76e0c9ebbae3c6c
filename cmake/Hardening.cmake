# Debian's hardening flags for what ships: the installed programs and the project's own
# libraries they are made of. The unit tests link those same libraries, so they test the
# hardened code; the test programs, shims and helpers themselves never ship and keep their
# own flags.
#
#   canfd_harden(<program>...)

# glibc's checked functions (_FORTIFY_SOURCE) only exist when the compiler optimises, and warn
# otherwise: Debug trees (the sanitizer tree among them) leave them out. A compiler that
# defines _FORTIFY_SOURCE itself, at another level, would warn about a redefinition.
set(canfd_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")
set(CANFD_HARDENING_COMPILE_OPTIONS
    -fstack-protector-strong
    "$<${canfd_optimised}:-U_FORTIFY_SOURCE>"
    "$<${canfd_optimised}:-D_FORTIFY_SOURCE=2>")
# Relocations are resolved at start and their table is then made read-only.
set(CANFD_HARDENING_LINK_OPTIONS -Wl,-z,relro -Wl,-z,now)

function(canfd_harden)
  foreach(program IN LISTS ARGN)
    target_compile_options(${program} PRIVATE ${CANFD_HARDENING_COMPILE_OPTIONS})
    target_link_options(${program} PRIVATE ${CANFD_HARDENING_LINK_OPTIONS})
    get_target_property(libraries ${program} LINK_LIBRARIES)
    foreach(library IN LISTS libraries)
      if(TARGET ${library})
        get_target_property(type ${library} TYPE)
        get_target_property(imported ${library} IMPORTED)
        if(type STREQUAL "STATIC_LIBRARY" AND NOT imported)
          target_compile_options(${library} PRIVATE ${CANFD_HARDENING_COMPILE_OPTIONS})
        endif()
      endif()
    endforeach()
  endforeach()
endfunction()

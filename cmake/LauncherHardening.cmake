# Debian's build flags, as dpkg-buildflags gives them with every hardening
# feature on (fortified libc calls, stack protector, read-only relocations
# bound at start-up, PIE), for the optimised build types: fortification
# needs the optimiser. Left to the build type: the optimisation and debug
# levels; left out: -ffile-prefix-map, since the packaged binaries are
# stripped of the paths it rewrites and the build tree's debug information
# keeps pointing at the real sources.
#
# Not with the sanitizers, which bring checks of their own and intercept the
# same libc calls as fortification. Without dpkg-buildflags (another system)
# the compiler's defaults stay.

find_program(LAUNCHER_DPKG_BUILDFLAGS dpkg-buildflags)
mark_as_advanced(LAUNCHER_DPKG_BUILDFLAGS)

# _launcher_debian_flags(<kind> <variable>): dpkg-buildflags --get <kind> as a
# list, without the flags the build type owns.
function(_launcher_debian_flags kind variable)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${LAUNCHER_DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-buildflags --get ${kind} failed (${status})")
  endif()
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^-(O|g|ffile-prefix-map=)")
  set(${variable} "${flags}" PARENT_SCOPE)
endfunction()

# LAUNCHER_HARDENED: a generator expression, 1 in a build that has them.
set(LAUNCHER_HARDENED 0)
if(LAUNCHER_DPKG_BUILDFLAGS AND NOT LAUNCHER_SANITIZE)
  _launcher_debian_flags(CPPFLAGS launcher_cppflags)
  _launcher_debian_flags(CXXFLAGS launcher_cxxflags)
  _launcher_debian_flags(LDFLAGS launcher_ldflags)
  set(LAUNCHER_HARDENED $<CONFIG:Release,RelWithDebInfo,MinSizeRel>)
  add_compile_options("$<${LAUNCHER_HARDENED}:${launcher_cppflags};${launcher_cxxflags}>")
  add_link_options("$<${LAUNCHER_HARDENED}:${launcher_ldflags}>")
endif()

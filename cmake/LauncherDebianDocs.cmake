# The two files Debian wants in every package's /usr/share/doc/<package>/:
#
#   copyright   machine-readable (DEP-5), made from LICENSE at the top of the
#               source: its copyright line and its text ("Expat" is Debian's
#               name for the MIT license)
#   changelog   one entry for this build, dated with the release date of the
#               launcher's version (never the build time, so a rebuild gives
#               the same file), signed by the package's contact; named
#               changelog.gz for a native version (no "-"), else
#               changelog.Debian.gz, as Debian tells the two apart
#
# Sets LAUNCHER_DEBIAN_COPYRIGHT and LAUNCHER_DEBIAN_CHANGELOG to the files
# made in the build tree.

# _launcher_changelog_date(<YYYY-MM-DD> <variable>): midnight UTC of that day
# as a changelog signature dates it, e.g. "Tue, 08 Dec 2026 00:00:00 +0000".
function(_launcher_changelog_date day variable)
  if(NOT day MATCHES "^([0-9][0-9][0-9][0-9])-([0-9][0-9])-([0-9][0-9])$")
    message(FATAL_ERROR "LAUNCHER_RELEASE_DATE must be YYYY-MM-DD: \"${day}\"")
  endif()
  set(year ${CMAKE_MATCH_1})
  math(EXPR month "1${CMAKE_MATCH_2} - 100")
  math(EXPR day_of_month "1${CMAKE_MATCH_3} - 100")
  # Sakamoto's day of the week, 0 for Sunday.
  set(month_offsets 0 3 2 5 0 3 5 1 4 6 2 4)
  math(EXPR month_index "${month} - 1")
  list(GET month_offsets ${month_index} offset)
  set(y ${year})
  if(month LESS 3)
    math(EXPR y "${y} - 1")
  endif()
  math(EXPR weekday "(${y} + ${y} / 4 - ${y} / 100 + ${y} / 400 + ${offset} + ${day_of_month}) % 7")
  set(weekday_names Sun Mon Tue Wed Thu Fri Sat)
  set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
  list(GET weekday_names ${weekday} weekday_name)
  list(GET month_names ${month_index} month_name)
  set(${variable} "${weekday_name}, ${CMAKE_MATCH_3} ${month_name} ${year} 00:00:00 +0000" PARENT_SCOPE)
endfunction()

# copyright: the license text indented by one blank, its empty lines as " .".
file(READ ${PROJECT_SOURCE_DIR}/LICENSE launcher_license)
if(NOT launcher_license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.*[^\n])\n*$")
  message(FATAL_ERROR "LICENSE must hold a line \"Copyright (c) <year> <holders>\" and the license text after it")
endif()
set(launcher_copyright "${CMAKE_MATCH_1}")
string(REPLACE "\n\n" "\n.\n" launcher_license_text " ${CMAKE_MATCH_2}")
string(REPLACE "\n" "\n " launcher_license_text "${launcher_license_text}")
set(LAUNCHER_DEBIAN_COPYRIGHT ${CMAKE_BINARY_DIR}/debian/copyright)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/copyright.in ${LAUNCHER_DEBIAN_COPYRIGHT} @ONLY)

_launcher_changelog_date(${LAUNCHER_RELEASE_DATE} launcher_changelog_date)
if(LAUNCHER_EFFECTIVE_PACKAGE_VERSION MATCHES "-")
  set(launcher_changelog_name changelog.Debian)
else()
  set(launcher_changelog_name changelog)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/${launcher_changelog_name} @ONLY)
set(LAUNCHER_DEBIAN_CHANGELOG ${CMAKE_BINARY_DIR}/debian/${launcher_changelog_name}.gz)
add_custom_command(
  OUTPUT ${LAUNCHER_DEBIAN_CHANGELOG}
  COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/debian/${launcher_changelog_name} > ${LAUNCHER_DEBIAN_CHANGELOG}
  DEPENDS ${CMAKE_BINARY_DIR}/debian/${launcher_changelog_name}
  VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${LAUNCHER_DEBIAN_CHANGELOG})

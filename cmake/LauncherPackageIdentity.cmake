# The identity of the kit's packages: a vendor that ships the kit gives the
# packages a name, a version, a contact and a synopsis of its own, so that
# its packages are told apart from anyone else's, e.g.
#
#   cmake -S . -B build -DLAUNCHER_PACKAGE_NAME=acme-launcher \
#     -DLAUNCHER_PACKAGE_VERSION=2024.1-1 \
#     -DLAUNCHER_PACKAGE_MAINTAINER="Acme Packaging <packages@acme.example>"
#
# The window module's package is always <name>-window. Values are checked
# here against what Debian requires of them, so that a bad one stops the
# configure step instead of making a package that dpkg or lintian refuses.
# Sets LAUNCHER_EFFECTIVE_PACKAGE_VERSION and LAUNCHER_WINDOW_PACKAGE_NAME.

set(LAUNCHER_PACKAGE_NAME "launcher" CACHE STRING
  "Name of the kit's main package (Debian rules: a-z, 0-9, +, -, .); the window module's package is <name>-window")
set(LAUNCHER_PACKAGE_VERSION "" CACHE STRING
  "Version of the kit's packages (a Debian version without epoch, e.g. 2024.1 or 2024.1-1); empty: the launcher's own version")
set(LAUNCHER_PACKAGE_MAINTAINER "The launcher authors <launcher@example.org>" CACHE STRING
  "Contact of the kit's packages, as \"Name <address>\": their Maintainer field and changelog signature")
set(LAUNCHER_PACKAGE_DESCRIPTION "installer bootstrapper that fetches and runs a product's install agent" CACHE STRING
  "Synopsis of the kit's main package: one line of at most 80 characters, not starting with the package name")

# Free text goes into the CMake script CPack reads, which takes it verbatim.
function(_launcher_check_package_text option value)
  launcher_check_printable(${option} "${value}")
  if(value MATCHES "[\"\\$]")
    message(FATAL_ERROR "${option} must not contain a double quote, a backslash or a dollar sign: ${value}")
  endif()
endfunction()

if(NOT LAUNCHER_PACKAGE_NAME MATCHES "^[a-z0-9][a-z0-9+.-]+$")
  message(FATAL_ERROR "LAUNCHER_PACKAGE_NAME must be a Debian package name (two or more of a-z, 0-9, +, -, ., starting with a letter or digit): \"${LAUNCHER_PACKAGE_NAME}\"")
endif()
if(LAUNCHER_PACKAGE_VERSION STREQUAL "")
  set(LAUNCHER_EFFECTIVE_PACKAGE_VERSION ${PROJECT_VERSION})
elseif(LAUNCHER_PACKAGE_VERSION MATCHES "^[0-9][A-Za-z0-9.+~-]*$" AND NOT LAUNCHER_PACKAGE_VERSION MATCHES "-$")
  set(LAUNCHER_EFFECTIVE_PACKAGE_VERSION ${LAUNCHER_PACKAGE_VERSION})
else()
  message(FATAL_ERROR "LAUNCHER_PACKAGE_VERSION must be a Debian version without epoch (a digit, then letters, digits, ., +, ~, -, not ending in -): \"${LAUNCHER_PACKAGE_VERSION}\"")
endif()
_launcher_check_package_text(LAUNCHER_PACKAGE_MAINTAINER "${LAUNCHER_PACKAGE_MAINTAINER}")
if(NOT LAUNCHER_PACKAGE_MAINTAINER MATCHES "^[^<>,@]*[^<>,@ ] <[^<>, ]+@[^<>, ]+\\.[^<>, .]+>$")
  message(FATAL_ERROR "LAUNCHER_PACKAGE_MAINTAINER must be one contact \"Name <user@host.domain>\": \"${LAUNCHER_PACKAGE_MAINTAINER}\"")
endif()
_launcher_check_package_text(LAUNCHER_PACKAGE_DESCRIPTION "${LAUNCHER_PACKAGE_DESCRIPTION}")
string(LENGTH "${LAUNCHER_PACKAGE_DESCRIPTION}" _launcher_synopsis_length)
if(_launcher_synopsis_length EQUAL 0 OR _launcher_synopsis_length GREATER 80)
  message(FATAL_ERROR "LAUNCHER_PACKAGE_DESCRIPTION must be one line of 1 to 80 characters (it has ${_launcher_synopsis_length})")
endif()
# Debian wants a synopsis that says what the package is, not its name again.
string(TOLOWER "${LAUNCHER_PACKAGE_DESCRIPTION} " _launcher_synopsis)
string(FIND "${_launcher_synopsis}" "${LAUNCHER_PACKAGE_NAME}" _launcher_name_at)
string(LENGTH "${LAUNCHER_PACKAGE_NAME}" _launcher_name_length)
string(SUBSTRING "${_launcher_synopsis}" ${_launcher_name_length} 1 _launcher_after_name)
if(_launcher_name_at EQUAL 0 AND NOT _launcher_after_name MATCHES "[a-z0-9_]")
  message(FATAL_ERROR "LAUNCHER_PACKAGE_DESCRIPTION must not start with the package name ${LAUNCHER_PACKAGE_NAME}: \"${LAUNCHER_PACKAGE_DESCRIPTION}\"")
endif()

set(LAUNCHER_WINDOW_PACKAGE_NAME "${LAUNCHER_PACKAGE_NAME}-window")

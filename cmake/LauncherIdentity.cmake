# The release identity compiled into the launcher: which release and platform
# it serves, where it downloads its install agent from, the name of the
# hidden directory in the user's home that holds its cache, and the largest
# install agent it downloads. A vendor sets
# them when configuring, e.g.
#
#   cmake -S . -B build -DLAUNCHER_RELEASE_TAG=R2024a -DLAUNCHER_CACHE_ROOT=.acme
#
# Values are checked here, so that a bad one stops the configure step with a
# message instead of making a launcher that fails at its users.

set(LAUNCHER_RELEASE_TAG "Q3071x" CACHE STRING
  "Release the launcher serves: part of the download URL and of the cache path ~/<cache root>/installagent/<release>/<platform>/")
set(LAUNCHER_PLATFORM_TAG "ostx86" CACHE STRING
  "Platform the launcher serves: part of the download URL and of the cache path ~/<cache root>/installagent/<release>/<platform>/")
set(LAUNCHER_DOWNLOAD_URL "" CACHE STRING
  "URL the install agent is downloaded from, used verbatim (http:// or https://); empty: http://downloads.kelvor.com/pi_install_agent_pi_<release>_<platform>")
set(LAUNCHER_CACHE_ROOT ".kelvor" CACHE STRING
  "Directory in the user's home that holds the launcher's cache (one path component)")
set(LAUNCHER_MAX_AGENT_BYTES "2147483648" CACHE STRING
  "Largest install-agent download in bytes (default 2 GiB): a larger one is refused, a body without a length is cut there")

# Characters that no value may hold: blanks and control characters (they
# cannot be told apart in messages or paths) and the two that would end the
# C++ string literal the value is compiled into.
string(ASCII 1 _launcher_first_control)
string(ASCII 31 _launcher_last_control)
string(ASCII 127 _launcher_delete)
function(launcher_check_printable option value)
  if(value MATCHES "[${_launcher_first_control}-${_launcher_last_control}${_launcher_delete}]")
    message(FATAL_ERROR "${option} must not contain control characters")
  endif()
endfunction()

function(_launcher_check_text option value)
  if(value MATCHES "[ \t\r\n]")
    message(FATAL_ERROR "${option} must not contain whitespace: \"${value}\"")
  endif()
  launcher_check_printable(${option} "${value}")
  if(value MATCHES "[\"\\\\]")
    message(FATAL_ERROR "${option} must not contain a double quote or a backslash: ${value}")
  endif()
endfunction()

# One path component: a tag is a directory name in the cache path.
function(_launcher_check_component option value)
  if(value STREQUAL "")
    message(FATAL_ERROR "${option} must not be empty")
  endif()
  _launcher_check_text(${option} "${value}")
  if(value MATCHES "/")
    message(FATAL_ERROR "${option} must be a single directory name, without \"/\": ${value}")
  endif()
  if(value STREQUAL "." OR value STREQUAL "..")
    message(FATAL_ERROR "${option} must not be \".\" or \"..\"")
  endif()
endfunction()

_launcher_check_component(LAUNCHER_RELEASE_TAG "${LAUNCHER_RELEASE_TAG}")
_launcher_check_component(LAUNCHER_PLATFORM_TAG "${LAUNCHER_PLATFORM_TAG}")
_launcher_check_component(LAUNCHER_CACHE_ROOT "${LAUNCHER_CACHE_ROOT}")
if(NOT LAUNCHER_DOWNLOAD_URL STREQUAL "")
  _launcher_check_text(LAUNCHER_DOWNLOAD_URL "${LAUNCHER_DOWNLOAD_URL}")
  if(NOT LAUNCHER_DOWNLOAD_URL MATCHES "^https?://[^/]")
    message(FATAL_ERROR "LAUNCHER_DOWNLOAD_URL must start with http:// or https:// and a host: ${LAUNCHER_DOWNLOAD_URL}")
  endif()
endif()

# A whole number of bytes, from 1 to 2^63 - 1 (it is compiled into a 64-bit
# count and written into the build identity as it is given).
if(NOT LAUNCHER_MAX_AGENT_BYTES MATCHES "^[1-9][0-9]*$")
  message(FATAL_ERROR "LAUNCHER_MAX_AGENT_BYTES must be a whole number of bytes, at least 1: \"${LAUNCHER_MAX_AGENT_BYTES}\"")
endif()
string(LENGTH "${LAUNCHER_MAX_AGENT_BYTES}" _launcher_max_digits)
if(_launcher_max_digits GREATER 19 OR
   (_launcher_max_digits EQUAL 19 AND LAUNCHER_MAX_AGENT_BYTES STRGREATER "9223372036854775807"))
  message(FATAL_ERROR "LAUNCHER_MAX_AGENT_BYTES must be below 2^63: ${LAUNCHER_MAX_AGENT_BYTES}")
endif()

# The URL the launcher downloads from when nothing overrides it.
if(LAUNCHER_DOWNLOAD_URL STREQUAL "")
  set(LAUNCHER_EFFECTIVE_DOWNLOAD_URL
    "http://downloads.kelvor.com/pi_install_agent_pi_${LAUNCHER_RELEASE_TAG}_${LAUNCHER_PLATFORM_TAG}")
else()
  set(LAUNCHER_EFFECTIVE_DOWNLOAD_URL "${LAUNCHER_DOWNLOAD_URL}")
endif()

# launcher_identity_definitions(<source>): hands the values to the one source
# file that defines the constants. Only that file is rebuilt when they change.
function(launcher_identity_definitions source)
  set(definitions
    LAUNCHER_RELEASE_TAG="${LAUNCHER_RELEASE_TAG}"
    LAUNCHER_PLATFORM_TAG="${LAUNCHER_PLATFORM_TAG}"
    LAUNCHER_CACHE_ROOT="${LAUNCHER_CACHE_ROOT}"
    LAUNCHER_MAX_AGENT_BYTES=${LAUNCHER_MAX_AGENT_BYTES}
  )
  if(NOT LAUNCHER_DOWNLOAD_URL STREQUAL "")
    list(APPEND definitions LAUNCHER_DOWNLOAD_URL="${LAUNCHER_DOWNLOAD_URL}")
  endif()
  set_property(SOURCE ${source} APPEND PROPERTY COMPILE_DEFINITIONS ${definitions})
endfunction()

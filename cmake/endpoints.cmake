# The operator's endpoints are fixed at build time. REALMPORTER_LOOPBACK pins
# them to the local test servers that the tests and the demo start.
option(REALMPORTER_LOOPBACK "Point the endpoints at the loopback test servers" OFF)

set(RP_LOOPBACK_SITE "https://127.0.0.1:18443/")
set(RP_LOOPBACK_MIRRORS
    "https://127.0.0.1:18082/wow335/;https://127.0.0.2:18082/wow335/;https://127.0.0.3:18008/wow335/")

set(REALMPORTER_SITE_URL "https://www.realmporter.example/"
    CACHE STRING "Base URL of the operator's web site (server list and background image)")
set(REALMPORTER_MIRRORS
    "https://mirror1.realmporter.example:8082/wow335/;https://mirror2.realmporter.example:8082/wow335/;https://mirror3.realmporter.example:8/wow335/"
    CACHE STRING "Exactly three mirror base URLs separated by ';', each ending in /wow335/")
set(REALMPORTER_SERVER_LIST "" CACHE FILEPATH
    "The built-in server list, a file in the serverlist.txt format; empty: the placeholder realms")
set(REALMPORTER_UNSIGNED "" CACHE STRING
    "1: a release without REALMPORTER_OPERATOR_KEY is wanted (it takes unsigned content and never updates itself)")
# As with the version and the key, the environment variable of the same name
# wins, so that `make exe` takes the settings of its run like `make dist`.
foreach(v REALMPORTER_SITE_URL REALMPORTER_MIRRORS REALMPORTER_SERVER_LIST REALMPORTER_UNSIGNED)
  if(DEFINED ENV{${v}} AND NOT "$ENV{${v}}" STREQUAL "")
    set(${v} "$ENV{${v}}" CACHE STRING "" FORCE)
  endif()
endforeach()

set(RP_PLACEHOLDER_SERVER_LIST ${CMAKE_SOURCE_DIR}/res/serverlist-placeholder.txt)
if(REALMPORTER_LOOPBACK)
  set(RP_SITE_URL "${RP_LOOPBACK_SITE}")
  set(RP_MIRRORS "${RP_LOOPBACK_MIRRORS}")
  set(RP_SERVER_LIST "${RP_PLACEHOLDER_SERVER_LIST}")
else()
  set(RP_SITE_URL "${REALMPORTER_SITE_URL}")
  set(RP_MIRRORS "${REALMPORTER_MIRRORS}")
  set(RP_SERVER_LIST "${REALMPORTER_SERVER_LIST}")
  if(RP_SERVER_LIST STREQUAL "")
    set(RP_SERVER_LIST "${RP_PLACEHOLDER_SERVER_LIST}")
  endif()
endif()
get_filename_component(RP_SERVER_LIST "${RP_SERVER_LIST}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})

if(NOT RP_SITE_URL MATCHES "^https?://[^/\"\\\\ ]+/([^\"\\\\ ]*/)?$")
  message(FATAL_ERROR
    "REALMPORTER_SITE_URL must be an http:// or https:// URL ending in '/', "
    "without quotes, backslashes or blanks; got '${RP_SITE_URL}'")
endif()

list(LENGTH RP_MIRRORS rp_mirror_count)
if(NOT rp_mirror_count EQUAL 3)
  message(FATAL_ERROR
    "REALMPORTER_MIRRORS must hold exactly three base URLs separated by ';'; "
    "got ${rp_mirror_count}: '${RP_MIRRORS}'")
endif()
set(rp_i 0)
foreach(rp_m IN LISTS RP_MIRRORS)
  if(NOT rp_m MATCHES "^https?://[^/\"\\\\ ]+/([^\"\\\\ ]*/)?wow335/$")
    message(FATAL_ERROR
      "REALMPORTER_MIRRORS: '${rp_m}' must be an http:// or https:// URL ending "
      "in /wow335/, without quotes, backslashes or blanks")
  endif()
  set(RP_MIRROR_${rp_i} "${rp_m}")
  math(EXPR rp_i "${rp_i} + 1")
endforeach()

# The built-in server list, embedded byte for byte; the compiler checks it
# with the parser's own rules (config/serverlist.h).
if(NOT EXISTS "${RP_SERVER_LIST}" OR IS_DIRECTORY "${RP_SERVER_LIST}")
  message(FATAL_ERROR "REALMPORTER_SERVER_LIST: no such file: '${RP_SERVER_LIST}'")
endif()
file(SIZE "${RP_SERVER_LIST}" rp_list_size)
if(rp_list_size EQUAL 0 OR rp_list_size GREATER 32768)
  message(FATAL_ERROR "REALMPORTER_SERVER_LIST: '${RP_SERVER_LIST}' must hold 1 to 32768 bytes "
                      "(the launcher reads no more of a server list); it holds ${rp_list_size}")
endif()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${RP_SERVER_LIST}")
file(READ "${RP_SERVER_LIST}" rp_list_hex HEX)
string(REGEX REPLACE "(..)" "'\\\\x\\1'," RP_SERVER_LIST_BYTES "${rp_list_hex}")

# A release build (the Windows program for players) takes no placeholder: a
# launcher built with one asks a host that does not exist for everything, and
# cannot even be reached by a later release.
set(RP_RELEASE_BUILD OFF)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows" AND NOT REALMPORTER_LOOPBACK)
  set(RP_RELEASE_BUILD ON)
endif()
set(rp_placeholder_host "://[^/:\"]*[.](example|invalid)([:/]|$)")
if(RP_RELEASE_BUILD)
  set(rp_refused "")
  if(RP_SITE_URL MATCHES "${rp_placeholder_host}")
    list(APPEND rp_refused "REALMPORTER_SITE_URL (${RP_SITE_URL})")
  endif()
  foreach(rp_m IN LISTS RP_MIRRORS)
    if(rp_m MATCHES "${rp_placeholder_host}")
      list(APPEND rp_refused "REALMPORTER_MIRRORS (${rp_m})")
      break()
    endif()
  endforeach()
  file(READ "${RP_SERVER_LIST}" rp_list_text)
  if(RP_SERVER_LIST STREQUAL RP_PLACEHOLDER_SERVER_LIST OR rp_list_text MATCHES "[.](example|invalid)[:/|]")
    list(APPEND rp_refused "REALMPORTER_SERVER_LIST (${RP_SERVER_LIST})")
  endif()
  if(rp_refused)
    list(JOIN rp_refused "\n  " rp_refused)
    message(FATAL_ERROR
      "A release build needs your own endpoints; these are still placeholders:\n  ${rp_refused}\n"
      "Give each one, e.g. REALMPORTER_SITE_URL=https://www.example.org/ "
      "REALMPORTER_MIRRORS='https://m1...;https://m2...;https://m3...' "
      "REALMPORTER_SERVER_LIST=serverlist.txt make dist (README: \"Endpoints are set when the launcher is built\").")
  endif()
endif()

configure_file(${CMAKE_SOURCE_DIR}/cmake/builtin_serverlist.h.in
               ${CMAKE_BINARY_DIR}/generated/builtin_serverlist.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/endpoints.h.in
               ${CMAKE_BINARY_DIR}/generated/endpoints.h @ONLY)
message(STATUS "RealmPorter site: ${RP_SITE_URL}")
message(STATUS "RealmPorter mirrors: ${RP_MIRRORS}")
message(STATUS "RealmPorter built-in server list: ${RP_SERVER_LIST}")

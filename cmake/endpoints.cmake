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

if(REALMPORTER_LOOPBACK)
  set(RP_SITE_URL "${RP_LOOPBACK_SITE}")
  set(RP_MIRRORS "${RP_LOOPBACK_MIRRORS}")
else()
  set(RP_SITE_URL "${REALMPORTER_SITE_URL}")
  set(RP_MIRRORS "${REALMPORTER_MIRRORS}")
endif()

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

configure_file(${CMAKE_SOURCE_DIR}/cmake/endpoints.h.in
               ${CMAKE_BINARY_DIR}/generated/endpoints.h @ONLY)
message(STATUS "RealmPorter site: ${RP_SITE_URL}")
message(STATUS "RealmPorter mirrors: ${RP_MIRRORS}")

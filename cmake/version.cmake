# The launcher's version, set in one place: the executable's version resource,
# the compiled constant kLauncherVersion and what an update feed is compared
# with. Like the operator key, the environment variable of the same name wins,
# so that `make exe`, `make exe-loopback` and `make dist` take it.
set(REALMPORTER_VERSION "1.0.0" CACHE STRING "The launcher's version, x.y.z (each part 0 to 65535)")
if(DEFINED ENV{REALMPORTER_VERSION} AND NOT "$ENV{REALMPORTER_VERSION}" STREQUAL "")
  set(REALMPORTER_VERSION "$ENV{REALMPORTER_VERSION}" CACHE STRING "" FORCE)
endif()

# The same shape the launcher's own reader takes (manifest/launcher_feed.h):
# three decimal parts without leading zeros, each fitting a resource's WORD.
if(NOT REALMPORTER_VERSION MATCHES "^(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)\\.(0|[1-9][0-9]?[0-9]?[0-9]?[0-9]?)$")
  message(FATAL_ERROR "REALMPORTER_VERSION must be x.y.z (decimal, no leading zeros); got '${REALMPORTER_VERSION}'")
endif()
set(RP_VERSION_MAJOR ${CMAKE_MATCH_1})
set(RP_VERSION_MINOR ${CMAKE_MATCH_2})
set(RP_VERSION_PATCH ${CMAKE_MATCH_3})
foreach(part ${RP_VERSION_MAJOR} ${RP_VERSION_MINOR} ${RP_VERSION_PATCH})
  if(part GREATER 65535)
    message(FATAL_ERROR "REALMPORTER_VERSION: each part must be at most 65535; got '${REALMPORTER_VERSION}'")
  endif()
endforeach()
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/version.cpp.in ${CMAKE_BINARY_DIR}/generated/version.cpp @ONLY)
message(STATUS "RealmPorter version: ${REALMPORTER_VERSION}")

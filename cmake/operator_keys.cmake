# The operator's public keys built into the launcher. With none, the launcher
# fetches no signature and trusts what the mirrors serve, as before signing.
# The environment variable of the same name wins, so that `make exe`,
# `make exe-loopback` and `make dist` take it like the endpoints.
set(REALMPORTER_OPERATOR_KEY "" CACHE STRING
    "Operator public key files (PEM, ECDSA P-256) separated by ';'; empty: unsigned content is accepted")
if(DEFINED ENV{REALMPORTER_OPERATOR_KEY})
  set(REALMPORTER_OPERATOR_KEY "$ENV{REALMPORTER_OPERATOR_KEY}" CACHE STRING "" FORCE)
endif()

find_program(RP_KEYS_PYTHON python3 REQUIRED)
# rp_operator_key_source(SETTING KEYS OUT): writes OUT from the key files, or
# stops the configuration naming SETTING; a changed key file reconfigures.
# A relative path is taken from the top of the source tree.
function(rp_operator_key_source setting keys out)
  set(abs_keys "")
  foreach(k IN LISTS keys)
    get_filename_component(k "${k}" ABSOLUTE BASE_DIR ${CMAKE_SOURCE_DIR})
    list(APPEND abs_keys "${k}")
    if(EXISTS "${k}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${k}")
    endif()
  endforeach()
  file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/generated)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tools/operator-keys.py)
  execute_process(COMMAND ${RP_KEYS_PYTHON} ${CMAKE_SOURCE_DIR}/tools/operator-keys.py ${setting} ${out} "${abs_keys}"
                  RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${err}")
  endif()
endfunction()

rp_operator_key_source(REALMPORTER_OPERATOR_KEY "${REALMPORTER_OPERATOR_KEY}"
                       ${CMAKE_BINARY_DIR}/generated/operator_keys.cpp)
list(LENGTH REALMPORTER_OPERATOR_KEY rp_key_count)
message(STATUS "RealmPorter operator keys: ${rp_key_count}")

# A release without a key takes whatever the mirrors serve and can never be
# replaced by a later release (it reads no feed): built only when asked for
# in words.
if(RP_RELEASE_BUILD AND rp_key_count EQUAL 0 AND NOT REALMPORTER_UNSIGNED STREQUAL "1")
  message(FATAL_ERROR
    "REALMPORTER_OPERATOR_KEY is not set: a launcher built without your key takes unsigned content from "
    "the mirrors and can never update itself. Give the key (REALMPORTER_OPERATOR_KEY=operator.pub), or "
    "set REALMPORTER_UNSIGNED=1 to build such a launcher anyway.")
endif()

# Native Linux build: the pure files under sanitizers, their fuzz targets and
# the operator's tools.
option(RP_SANITIZE "Build the native tests with AddressSanitizer and UBSan" ON)
set(RP_SAN_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)

find_package(OpenSSL REQUIRED COMPONENTS Crypto)
find_package(ZLIB REQUIRED)
find_package(CURL REQUIRED)
# The native digest backend for the pure files: OpenSSL's libcrypto.
set(RP_NATIVE_SOURCES hash/sha256_openssl.cpp)
add_library(rp_pure STATIC ${RP_PURE_SOURCES} ${RP_NATIVE_SOURCES})
target_link_libraries(rp_pure PUBLIC OpenSSL::Crypto ZLIB::ZLIB)
target_include_directories(rp_pure PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
target_compile_options(rp_pure PRIVATE -Wall -Wextra)
if(RP_SANITIZE)
  target_compile_options(rp_pure PUBLIC ${RP_SAN_FLAGS})
  target_link_options(rp_pure PUBLIC ${RP_SAN_FLAGS})
endif()

# The operator's manifest tool, without sanitizers: it is shipped.
add_library(rp_pure_plain STATIC ${RP_PURE_SOURCES} ${RP_NATIVE_SOURCES})
target_include_directories(rp_pure_plain PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(rp_pure_plain PUBLIC OpenSSL::Crypto ZLIB::ZLIB)
add_executable(realmporter-manifest tools/realmporter-manifest.cpp tools/manifest_check_mirrors.cpp tools/mirror_http.cpp
                                    tools/manifest_publish.cpp tools/publish_targets.cpp
                                    tools/launcher_endpoints.cpp tools/manifest_check_site.cpp
                                    tools/manifest_blocks.cpp tools/manifest_sign.cpp
                                    tools/manifest_launcher_feed.cpp tools/manifest_launcher_publish.cpp)
target_link_libraries(realmporter-manifest PRIVATE rp_pure_plain CURL::libcurl)

# `make operator-tools`: the operator's tool alone, without the tests, the
# sanitizers and what they need (GoogleTest, clang, clang-format).
option(RP_OPERATOR_TOOLS_ONLY "Configure only the operator's tools" OFF)
if(RP_OPERATOR_TOOLS_ONLY)
  return()
endif()

# GoogleTest from Debian's sources, built with the same flags as the code.
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB RP_NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
add_executable(rp_native_tests ${RP_NATIVE_TEST_SOURCES})
target_link_libraries(rp_native_tests PRIVATE rp_pure GTest::gtest_main)
add_test(NAME native_tests COMMAND rp_native_tests)

# Fuzz targets need clang's libFuzzer. Each gets a short bounded run as a test,
# with a fixed seed so that the suite gives the same answer every time;
# `make fuzz` runs them longer with fresh seeds, and what it finds goes into
# tests/fuzz/corpus.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  file(GLOB RP_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
  set(RP_FUZZ_SECONDS 10 CACHE STRING "Seconds for each fuzz target's run in the test suite")
  # The pure files compiled once for every target, with the coverage
  # instrumentation libFuzzer steers by (fuzzer-no-link) but without its main.
  add_library(rp_pure_fuzz STATIC ${RP_PURE_SOURCES} ${RP_NATIVE_SOURCES})
  target_include_directories(rp_pure_fuzz PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
  target_compile_options(rp_pure_fuzz PRIVATE -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  target_link_libraries(rp_pure_fuzz PUBLIC OpenSSL::Crypto ZLIB::ZLIB)
  foreach(src IN LISTS RP_FUZZ_SOURCES)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE rp_pure_fuzz)
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    # libFuzzer adds new inputs to its first corpus folder, so that one lives in
    # the build tree and the committed seeds are only read.
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz-corpus/${name})
    add_test(NAME ${name}
             COMMAND ${name} -seed=1 -max_total_time=${RP_FUZZ_SECONDS} -rss_limit_mb=2048
                     ${CMAKE_BINARY_DIR}/fuzz-corpus/${name}
                     ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
    math(EXPR rp_fuzz_timeout "${RP_FUZZ_SECONDS} + 120")
    set_tests_properties(${name} PROPERTIES LABELS fuzz TIMEOUT ${rp_fuzz_timeout})
  endforeach()
endif()

# A check over the sources: narrow literals that hold non-ASCII bytes must say
# their encoding (u8"" for UTF-8 texts, converted to GBK for the UI at run time).
add_test(NAME literal_encodings
         COMMAND ${CMAKE_COMMAND} -E env python3 ${CMAKE_SOURCE_DIR}/tools/check-literals.py ${CMAKE_SOURCE_DIR})
# ...and reach Windows only through wide calls, whatever the system's code page.
add_test(NAME wide_text_calls
         COMMAND ${CMAKE_COMMAND} -E env python3 ${CMAKE_SOURCE_DIR}/tools/check-text-calls.py ${CMAKE_SOURCE_DIR})
# The includes keep the rooms' order (start/ on top, hashing at the bottom),
# and ARCHITECTURE.md names only paths that exist.
add_test(NAME include_plan
         COMMAND ${CMAKE_COMMAND} -E env python3 ${CMAKE_SOURCE_DIR}/tools/check-includes.py ${CMAKE_SOURCE_DIR})

# Every C++ source is formatted as .clang-format says (`tools/format` fixes it).
find_program(RP_CLANG_FORMAT clang-format REQUIRED)
add_test(NAME source_format COMMAND ${CMAKE_SOURCE_DIR}/tools/format --check ${RP_CLANG_FORMAT}
         WORKING_DIRECTORY ${CMAKE_SOURCE_DIR})

# The build refuses endpoint settings of the wrong shape.
foreach(bad "https://a.example/wow335/;https://b.example/wow335/"
            "https://a.example/wow335/;https://b.example/wow335/;https://c.example/other/")
  string(MD5 tag "${bad}")
  add_test(NAME endpoints_refused_${tag}
           COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${CMAKE_BINARY_DIR}/endpoint-check-${tag}
                   -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
                   "-DREALMPORTER_MIRRORS=${bad}")
  set_tests_properties(endpoints_refused_${tag} PROPERTIES
                       PASS_REGULAR_EXPRESSION "REALMPORTER_MIRRORS")
endforeach()

# ...a built-in server list that is not there...
add_test(NAME server_list_refused
         COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${CMAKE_BINARY_DIR}/server-list-check
                 -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
                 -DREALMPORTER_SERVER_LIST=tests/data/no-such-list.txt)
set_tests_properties(server_list_refused PROPERTIES PASS_REGULAR_EXPRESSION "REALMPORTER_SERVER_LIST: no such file")

# ...and a key file that is not a P-256 public key (here a private key).
add_test(NAME operator_key_refused
         COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${CMAKE_BINARY_DIR}/operator-key-check
                 -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
                 -DREALMPORTER_OPERATOR_KEY=tests/data/keys/test.key)
set_tests_properties(operator_key_refused PROPERTIES
                     PASS_REGULAR_EXPRESSION "REALMPORTER_OPERATOR_KEY: cannot read")

# ...and a version of another shape than the feed's.
add_test(NAME version_refused
         COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR} -B ${CMAKE_BINARY_DIR}/version-check
                 -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER} -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
                 -DREALMPORTER_VERSION=1.02.3)
set_tests_properties(version_refused PROPERTIES PASS_REGULAR_EXPRESSION "REALMPORTER_VERSION must be x.y.z")

add_test(NAME manifest_tool COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/manifest_tool_test.sh $<TARGET_FILE:realmporter-manifest>)
add_test(NAME check_mirrors COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/check_mirrors_test.sh $<TARGET_FILE:realmporter-manifest>)
add_test(NAME readme_operator
         COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/readme_operator_test.sh $<TARGET_FILE:realmporter-manifest>)

# The mirror pool's threads under ThreadSanitizer.
add_executable(rp_native_tsan_tests tests/native/pool_test.cpp download/pool.cpp download/pieces.cpp)
target_include_directories(rp_native_tsan_tests PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(rp_native_tsan_tests PRIVATE -fsanitize=thread -g)
target_link_options(rp_native_tsan_tests PRIVATE -fsanitize=thread)
target_link_libraries(rp_native_tsan_tests PRIVATE GTest::gtest_main)
add_test(NAME native_tsan_tests COMMAND rp_native_tsan_tests)

add_test(NAME nginx_mirror_config COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/nginx_mirror_test.sh)
add_test(NAME publish COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/publish_test.sh $<TARGET_FILE:realmporter-manifest>)
set_tests_properties(publish PROPERTIES TIMEOUT 120)

# Every test here ends within its time limit: a slip that makes a loop spin
# (a throttle that grants nothing and asks for no wait) fails instead of
# holding the suite. The longest (the fuzz runs, the tools' end-to-end
# scripts) take well under a minute; the limit leaves room for a loaded
# machine.
get_property(rp_native_test_names DIRECTORY PROPERTY TESTS)
foreach(t IN LISTS rp_native_test_names)
  get_test_property(${t} TIMEOUT rp_timeout)
  if(NOT rp_timeout)
    set_tests_properties(${t} PROPERTIES TIMEOUT 300)
  endif()
endforeach()

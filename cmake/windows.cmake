# The Windows program, its resources, and the GoogleTest executables that run
# under Wine.
find_program(RP_PYTHON /usr/bin/python3 NAMES python3 REQUIRED)

# _UXTHEME_: UxTheme's functions declared without dllimport, so that calls go
# through the delay-load thunks (below); GNU ld leaves the import slot of a
# delay-loaded function that only dllimport calls name empty.
set(RP_WIN_DEFINES _WIN32_WINNT=0x0601 WINVER=0x0601 NOMINMAX __USE_MINGW_ANSI_STDIO=1 _UXTHEME_)
# The DLLs that are not known DLLs on Windows 7 are delay-loaded: their first
# call loads them from System32 (app/system_dlls_win.cpp), where the loader
# would look in the exe's folder first. comctl32 stays a static import: the
# manifest takes it from the side-by-side store, never from the exe's folder.
set(RP_DELAY_DLLS bcrypt crypt32 gdiplus uxtheme version windowscodecs)
find_program(RP_NM i686-w64-mingw32-nm REQUIRED)
find_program(RP_DLLTOOL i686-w64-mingw32-dlltool REQUIRED)
set(RP_DELAY_LIBS)
foreach(dll IN LISTS RP_DELAY_DLLS)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=lib${dll}.a OUTPUT_VARIABLE implib
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  set(out ${CMAKE_BINARY_DIR}/delay/lib${dll}_delay.a)
  add_custom_command(OUTPUT ${out}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/delay
                     COMMAND ${RP_PYTHON} ${CMAKE_SOURCE_DIR}/tools/make-delay-lib.py ${RP_NM} ${RP_DLLTOOL} ${implib} ${out}
                     DEPENDS ${CMAKE_SOURCE_DIR}/tools/make-delay-lib.py ${implib}
                     COMMENT "Delay-load library for ${dll}.dll")
  list(APPEND RP_DELAY_LIBS ${out})
endforeach()
add_custom_target(rp_delay_libs DEPENDS ${RP_DELAY_LIBS})
set(RP_WIN_LIBS z ${RP_DELAY_LIBS} delayimp comctl32 wininet shlwapi shell32 ole32 oleaut32 uuid user32 gdi32
    advapi32)
# Everything static: the program must not need libstdc++, libgcc or winpthread DLLs.
set(RP_STATIC_LINK -static -static-libgcc -static-libstdc++)

add_library(rp_core STATIC ${RP_PURE_SOURCES} ${RP_WIN_SOURCES})
target_include_directories(rp_core PUBLIC ${CMAKE_SOURCE_DIR} ${CMAKE_BINARY_DIR}/generated)
target_compile_definitions(rp_core PUBLIC ${RP_WIN_DEFINES})
target_compile_options(rp_core PRIVATE -Wall -Wextra)
target_link_libraries(rp_core PUBLIC ${RP_WIN_LIBS})
add_dependencies(rp_core rp_delay_libs)
target_link_options(rp_core PUBLIC ${RP_STATIC_LINK})
# The test build may stop still at named points of a job, for the tests that
# kill it there; a release build has no such points.
if(REALMPORTER_LOOPBACK)
  target_compile_definitions(rp_core PRIVATE REALMPORTER_TEST_HOOKS)
endif()

# The built-in operator keys (cmake/operator_keys.cmake) in a library of
# their own, linked after rp_core: an executable that defines kOperatorKeys in
# one of its own sources (the keyed test builds below) keeps that definition.
add_library(rp_operator_keys STATIC ${CMAKE_BINARY_DIR}/generated/operator_keys.cpp)
target_include_directories(rp_operator_keys PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(rp_core PUBLIC rp_operator_keys)
# The version constant likewise, for a test launcher of another version.
add_library(rp_version STATIC ${CMAKE_BINARY_DIR}/generated/version.cpp)
target_include_directories(rp_version PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(rp_core PUBLIC rp_version)

include(cmake/resources.cmake)

# Points the image's load configuration at its dependent-load flags
# (app/system_dlls_win.cpp), after the link.
function(rp_set_load_config target)
  add_custom_command(TARGET ${target} POST_BUILD
                     COMMAND ${RP_PYTHON} ${CMAKE_SOURCE_DIR}/tools/set-load-config.py ${RP_NM} $<TARGET_FILE:${target}>)
endfunction()

add_executable(RealmPorter WIN32 start/main.cpp ${RP_RESOURCE_RC})
target_link_libraries(RealmPorter PRIVATE rp_core)
set_target_properties(RealmPorter PROPERTIES OUTPUT_NAME RealmPorter)
rp_set_load_config(RealmPorter)

# The client download without a window, for operators and for the engine's
# end-to-end tests and benchmark.
add_executable(realmporter-fetch tools/realmporter-fetch.cpp)
target_link_libraries(realmporter-fetch PRIVATE rp_core)
target_link_options(realmporter-fetch PRIVATE -municode)
rp_set_load_config(realmporter-fetch)

# The launcher and realmporter-fetch built with the test key
# (tests/data/keys/test.pub), whatever REALMPORTER_OPERATOR_KEY says, for the
# tests of signed content; only the key list is compiled again.
set(RP_TEST_KEYS_SOURCE ${CMAKE_BINARY_DIR}/generated/operator_keys_test.cpp)
rp_operator_key_source(RP_TEST_KEYS tests/data/keys/test.pub ${RP_TEST_KEYS_SOURCE})
add_executable(RealmPorter-keyed WIN32 start/main.cpp ${RP_RESOURCE_RC} ${RP_TEST_KEYS_SOURCE})
target_link_libraries(RealmPorter-keyed PRIVATE rp_core)
rp_set_load_config(RealmPorter-keyed)
# The keyed launcher as version 9.9.9, which the keyed launcher above is
# offered as its update: only the version resource and constant differ.
set(RP_NEXT_VERSION 9.9.9)
rp_versioned_sources(${RP_NEXT_VERSION} ${RP_RES_DIR}/RealmPorter-next.rc ${CMAKE_BINARY_DIR}/generated/version_next.cpp)
add_executable(RealmPorter-keyed-next WIN32 start/main.cpp ${RP_RES_DIR}/RealmPorter-next.rc ${RP_TEST_KEYS_SOURCE}
                                            ${CMAKE_BINARY_DIR}/generated/version_next.cpp)
target_link_libraries(RealmPorter-keyed-next PRIVATE rp_core)
rp_set_load_config(RealmPorter-keyed-next)
add_executable(realmporter-fetch-keyed tools/realmporter-fetch.cpp ${RP_TEST_KEYS_SOURCE})
target_link_libraries(realmporter-fetch-keyed PRIVATE rp_core)
target_link_options(realmporter-fetch-keyed PRIVATE -municode)

# The demo client's Wow.exe.
add_executable(demo-wow WIN32 tools/demo-wow.cpp)
target_compile_definitions(demo-wow PRIVATE ${RP_WIN_DEFINES})
target_link_options(demo-wow PRIVATE ${RP_STATIC_LINK} -municode)

add_executable(rp-bench-hash tools/bench-hash.cpp)
target_link_libraries(rp-bench-hash PRIVATE rp_core)
target_link_options(rp-bench-hash PRIVATE -municode)
add_executable(rp-bench-patch tools/bench-patch.cpp)
target_link_libraries(rp-bench-patch PRIVATE rp_core)
target_link_options(rp-bench-patch PRIVATE -municode)

# Tests: one GoogleTest executable per group, run under Wine by CTest.
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock)
  target_compile_definitions(${t} PRIVATE ${RP_WIN_DEFINES})
endforeach()

set(RP_WINE_ENV ${CMAKE_SOURCE_DIR}/tests/wine/wine-env)
set(CMAKE_CROSSCOMPILING_EMULATOR ${RP_WINE_ENV};run;${CMAKE_BINARY_DIR})

add_test(NAME wine_prefix_up COMMAND ${RP_WINE_ENV} up ${CMAKE_BINARY_DIR})
set_tests_properties(wine_prefix_up PROPERTIES FIXTURES_SETUP wine)
add_test(NAME wine_prefix_down COMMAND ${RP_WINE_ENV} down ${CMAKE_BINARY_DIR})
set_tests_properties(wine_prefix_down PROPERTIES FIXTURES_CLEANUP wine)

# Small helper programs that the tests start (a stand-in Wow.exe and so on).
file(GLOB RP_TEST_HELPERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/helpers/*.cpp)
foreach(src IN LISTS RP_TEST_HELPERS)
  get_filename_component(name ${src} NAME_WE)
  add_executable(${name} ${src})
  target_compile_definitions(${name} PRIVATE ${RP_WIN_DEFINES})
  target_link_options(${name} PRIVATE ${RP_STATIC_LINK} -municode)
  target_link_libraries(${name} PRIVATE crypt32 psapi oleacc rp_core)
  list(APPEND RP_HELPER_TARGETS ${name})
endforeach()

# Every text of the program, for the test that each comes through code page
# 936 as it is written.
add_custom_command(
  OUTPUT ${CMAKE_BINARY_DIR}/program-texts.txt
  COMMAND ${RP_PYTHON} ${CMAKE_SOURCE_DIR}/tools/check-literals.py --texts ${CMAKE_BINARY_DIR}/program-texts.txt
          ${CMAKE_SOURCE_DIR}
  DEPENDS ${RP_TEXT_SOURCES} ${CMAKE_SOURCE_DIR}/tools/check-literals.py
  COMMENT "Listing the program's texts")
add_custom_target(rp_program_texts ALL DEPENDS ${CMAKE_BINARY_DIR}/program-texts.txt)

file(GLOB RP_WIN_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*_test.cpp)
foreach(src IN LISTS RP_WIN_TEST_SOURCES)
  get_filename_component(name ${src} NAME_WE)
  set(exe rp_win_${name})
  add_executable(${exe} ${src} tests/win/test_main.cpp tests/win/support.cpp ${RP_RESOURCE_RC})
  target_link_libraries(${exe} PRIVATE rp_core gtest)
  target_compile_definitions(${exe} PRIVATE
      RP_SOURCE_DIR="${CMAKE_SOURCE_DIR}" RP_BINARY_DIR="${CMAKE_BINARY_DIR}")
  if(RP_HELPER_TARGETS)
    add_dependencies(${exe} ${RP_HELPER_TARGETS})
  endif()
  add_test(NAME ${name} COMMAND ${exe})
  set_tests_properties(${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)
endforeach()

# The operator tool of the native build, which the tests below drive.
set(RP_NATIVE_TOOL ${CMAKE_SOURCE_DIR}/build/native/realmporter-manifest CACHE FILEPATH "The native manifest tool")

# Signed content under the keyed builds: the tool signs, the launcher checks.
add_executable(rp_win_signed_content_test tests/win/keyed/signed_content_test.cpp tests/win/keyed/self_update_test.cpp
               tests/win/test_main.cpp tests/win/support.cpp ${RP_TEST_KEYS_SOURCE})
add_dependencies(rp_win_signed_content_test RealmPorter-keyed RealmPorter-keyed-next)
target_include_directories(rp_win_signed_content_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/win)
target_link_libraries(rp_win_signed_content_test PRIVATE rp_core gtest)
add_test(NAME signed_content
         COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/signed_e2e.sh ${RP_NATIVE_TOOL} ${RP_WINE_ENV} ${CMAKE_BINARY_DIR}
                 ${CMAKE_SOURCE_DIR}/tests/data/keys)
set_tests_properties(signed_content PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

# The launcher (CNG) and the operator tool (OpenSSL) agree on identities.
add_test(NAME identity_agreement
         COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/identity_agreement.sh ${RP_NATIVE_TOOL} ${RP_WINE_ENV}
                 ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/tests/data/manifests)
set_tests_properties(identity_agreement PROPERTIES FIXTURES_REQUIRED wine)

add_test(NAME fetch_end_to_end
         COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/fetch_e2e.sh ${RP_NATIVE_TOOL} ${RP_WINE_ENV} ${CMAKE_BINARY_DIR})
set_tests_properties(fetch_end_to_end PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

add_test(NAME repair_end_to_end
         COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/repair_e2e.sh ${RP_NATIVE_TOOL} ${RP_WINE_ENV} ${CMAKE_BINARY_DIR})
set_tests_properties(repair_end_to_end PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 300)

# `make dist` in its own release tree: the endpoints it names, from each run's settings.
add_test(NAME dist_script COMMAND ${CMAKE_SOURCE_DIR}/tests/tools/dist_test.sh ${CMAKE_BINARY_DIR}/dist-check
                                   ${RP_NATIVE_TOOL} ${CMAKE_BINARY_DIR})
set_tests_properties(dist_script PROPERTIES TIMEOUT 1200)

# The real window under Xvfb, driven through the probe and xdotool.
file(GLOB RP_UI_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/ui/test_*.py)
foreach(t IN LISTS RP_UI_TESTS)
  get_filename_component(name ${t} NAME_WE)
  add_test(NAME ui_${name} COMMAND ${CMAKE_SOURCE_DIR}/tests/ui/run.sh ${CMAKE_BINARY_DIR} ${t})
  set_tests_properties(ui_${name} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 900)
endforeach()

# The start-up texts, the notice and a job's box (drawn with the bundled
# font: the en_US prefix has no Chinese font) read back under the code
# pages of players elsewhere: Western (1252) and Traditional Chinese (950).
# Only these two tests, each locale in a prefix of its own.
foreach(locale en_US zh_TW)
  add_test(NAME ui_texts_${locale}
           COMMAND ${CMAKE_COMMAND} -E env RP_WINE_LOCALE=${locale}.UTF-8 ${CMAKE_SOURCE_DIR}/tests/ui/run.sh
                   ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR}/tests/ui/test_window.py
                   Window.test_geometry_and_start_up_contents Window.test_worker_messages
                   Window.test_boxes_draw_chinese_with_the_bundled_font)
  set_tests_properties(ui_texts_${locale} PROPERTIES FIXTURES_REQUIRED wine TIMEOUT 600)
endforeach()

# How the tests share the machine (`make test-win` runs two at a time): the
# Wine tests take turns, since they share the prefix's server, the display
# and the loopback ports; only dist_script, which builds a release tree and
# needs no Wine, runs beside one of them. It waits for every other test and
# runs beside the kill loop, the longest Wine test, whose stop points are
# counted in entries and log lines rather than seconds; the timed checks
# (speeds, the readout, the window's answer) have all run by then. Its build
# takes one core (RP_DIST_JOBS) and leaves the other to Wine.
get_property(RP_ALL_TESTS DIRECTORY PROPERTY TESTS)
set(RP_TESTS_BEFORE_LAST ${RP_ALL_TESTS})
list(REMOVE_ITEM RP_TESTS_BEFORE_LAST wine_prefix_up wine_prefix_down dist_script ui_test_kill)
set_tests_properties(${RP_TESTS_BEFORE_LAST} ui_test_kill PROPERTIES RESOURCE_LOCK wine)
set_tests_properties(dist_script ui_test_kill PROPERTIES DEPENDS "${RP_TESTS_BEFORE_LAST}")
set_tests_properties(dist_script PROPERTIES ENVIRONMENT RP_DIST_JOBS=1)

# The background shipped beside the executable, used when neither the
# operator's image nor a cached copy is there.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/wow_bg.jpg
                   COMMAND ${CMAKE_SOURCE_DIR}/tools/make-background.sh ${CMAKE_BINARY_DIR}/wow_bg.jpg
                   DEPENDS ${CMAKE_SOURCE_DIR}/tools/make-background.sh
                   COMMENT "Drawing the shipped background")
add_custom_target(rp_shipped_background ALL DEPENDS ${CMAKE_BINARY_DIR}/wow_bg.jpg)

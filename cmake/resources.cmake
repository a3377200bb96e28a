# Resources built from the project's own sources: the application manifest,
# icon 101 drawn by a script, and the UI font subset from Debian's Noto CJK.
set(RP_RES_DIR ${CMAKE_BINARY_DIR}/res)
file(MAKE_DIRECTORY ${RP_RES_DIR})

set(RP_NOTO_TTC /usr/share/fonts/opentype/noto/NotoSansCJK-Bold.ttc)
if(NOT EXISTS ${RP_NOTO_TTC})
  message(FATAL_ERROR "${RP_NOTO_TTC} is missing: run scripts/setup (package fonts-noto-cjk)")
endif()

add_custom_command(
  OUTPUT ${RP_RES_DIR}/realmporter.ico
  COMMAND ${RP_PYTHON} ${CMAKE_SOURCE_DIR}/tools/make-icon.py ${RP_RES_DIR}/realmporter.ico
  DEPENDS ${CMAKE_SOURCE_DIR}/tools/make-icon.py
  COMMENT "Drawing the application icon")

# The character list is rewritten only when it changes, so editing a source
# file does not subset the font again unless a new character appeared.
file(GLOB_RECURSE RP_TEXT_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_SOURCE_DIR}/start/*.cpp ${CMAKE_SOURCE_DIR}/start/*.h
     ${CMAKE_SOURCE_DIR}/app/*.cpp ${CMAKE_SOURCE_DIR}/app/*.h ${CMAKE_SOURCE_DIR}/hash/*.cpp
     ${CMAKE_SOURCE_DIR}/config/*.cpp ${CMAKE_SOURCE_DIR}/config/*.h
     ${CMAKE_SOURCE_DIR}/game/*.cpp ${CMAKE_SOURCE_DIR}/net/*.cpp
     ${CMAKE_SOURCE_DIR}/manifest/*.cpp ${CMAKE_SOURCE_DIR}/manifest/*.h ${CMAKE_SOURCE_DIR}/download/*.cpp
     ${CMAKE_SOURCE_DIR}/install/*.cpp ${CMAKE_SOURCE_DIR}/ui/*.cpp ${CMAKE_SOURCE_DIR}/ui/*.h)
add_custom_command(
  OUTPUT ${RP_RES_DIR}/font-chars.txt
  COMMAND ${RP_PYTHON} ${CMAKE_SOURCE_DIR}/tools/subset-font.py chars ${RP_RES_DIR}/font-chars.txt
          ${RP_TEXT_SOURCES}
  DEPENDS ${RP_TEXT_SOURCES} ${CMAKE_SOURCE_DIR}/tools/subset-font.py
  COMMENT "Collecting the characters the program shows")
add_custom_command(
  OUTPUT ${RP_RES_DIR}/NotoSansSC-Bold.otf
  COMMAND ${RP_PYTHON} ${CMAKE_SOURCE_DIR}/tools/subset-font.py subset ${RP_NOTO_TTC}
          ${RP_RES_DIR}/font-chars.txt ${RP_RES_DIR}/NotoSansSC-Bold.otf
  DEPENDS ${RP_RES_DIR}/font-chars.txt ${CMAKE_SOURCE_DIR}/tools/subset-font.py
  COMMENT "Subsetting Noto Sans CJK SC Bold for the UI font")

configure_file(${CMAKE_SOURCE_DIR}/res/app.manifest ${RP_RES_DIR}/app.manifest COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/res/RealmPorter.rc.in ${RP_RES_DIR}/RealmPorter.rc @ONLY)
set(RP_RESOURCE_RC ${RP_RES_DIR}/RealmPorter.rc)
set_source_files_properties(${RP_RESOURCE_RC} PROPERTIES
  OBJECT_DEPENDS "${RP_RES_DIR}/realmporter.ico;${RP_RES_DIR}/NotoSansSC-Bold.otf;${RP_RES_DIR}/app.manifest")
# The resources and the version constant of another version, for the test
# launcher that a keyed test launcher updates itself to.
function(rp_versioned_sources version out cpp_out)
  string(REPLACE "." ";" parts "${version}")
  list(GET parts 0 RP_VERSION_MAJOR)
  list(GET parts 1 RP_VERSION_MINOR)
  list(GET parts 2 RP_VERSION_PATCH)
  set(REALMPORTER_VERSION ${version})
  configure_file(${CMAKE_SOURCE_DIR}/res/RealmPorter.rc.in ${out} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.cpp.in ${cpp_out} @ONLY)
  set_source_files_properties(${out} PROPERTIES
    OBJECT_DEPENDS "${RP_RES_DIR}/realmporter.ico;${RP_RES_DIR}/NotoSansSC-Bold.otf;${RP_RES_DIR}/app.manifest")
endfunction()
enable_language(RC)
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -I${CMAKE_SOURCE_DIR}")

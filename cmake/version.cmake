# The versions of a build's version resources, taken from the texts the
# program shows, so that the two cannot disagree and each version is written
# once: the product version from the window's "Version: ..." line
# (app/texts.cpp, which scripts/package.sh also reads for the zips' names),
# the file version from the About box's "Loader Version A.B_C_xp" line
# (app/sorvik.rc). The resource scripts include the header written here.
set(version_sources ${CMAKE_SOURCE_DIR}/app/texts.cpp ${CMAKE_SOURCE_DIR}/app/sorvik.rc)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${version_sources})

file(STRINGS ${CMAKE_SOURCE_DIR}/app/texts.cpp intro REGEX "TextIntroVersion\\[\\] = L\"Version: ")
if(NOT intro MATCHES "L\"Version: (([0-9]+)\\.([0-9]+)-([0-9]+))\"")
  message(FATAL_ERROR "version: no \"Version: A.B-C\" text for TextIntroVersion in app/texts.cpp")
endif()
set(SORVIK_PRODUCT_VERSION_TEXT ${CMAKE_MATCH_1})
set(SORVIK_PRODUCT_VERSION_NUMBERS "${CMAKE_MATCH_2},${CMAKE_MATCH_3},${CMAKE_MATCH_4},0")

file(STRINGS ${CMAKE_SOURCE_DIR}/app/sorvik.rc about REGEX "\"Loader Version ")
if(NOT about MATCHES "\"Loader Version ([0-9]+)\\.([0-9]+)_([0-9]+)_xp\"")
  message(FATAL_ERROR "version: no \"Loader Version A.B_C_xp\" text in app/sorvik.rc")
endif()
set(SORVIK_FILE_VERSION_TEXT "${CMAKE_MATCH_1}.${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
set(SORVIK_FILE_VERSION_NUMBERS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")

set(SORVIK_VERSION_INCLUDE ${CMAKE_BINARY_DIR}/version)
file(CONFIGURE OUTPUT ${SORVIK_VERSION_INCLUDE}/sorvik_version.h CONTENT [[
// Written by cmake/version.cmake from the texts the program shows.
#define SORVIK_PRODUCT_VERSION_TEXT "@SORVIK_PRODUCT_VERSION_TEXT@"
#define SORVIK_PRODUCT_VERSION_NUMBERS @SORVIK_PRODUCT_VERSION_NUMBERS@
#define SORVIK_FILE_VERSION_TEXT "@SORVIK_FILE_VERSION_TEXT@"
#define SORVIK_FILE_VERSION_NUMBERS @SORVIK_FILE_VERSION_NUMBERS@
]] @ONLY)

# Windows builds (MinGW-w64): the program, and the simulated unit as SiUSBXp.dll.
# The architecture's flags come from the toolchain file; the rest sit on targets.
target_compile_options(sorvik_product PUBLIC $<$<COMPILE_LANGUAGE:C,CXX>:-municode>)

# The oldest Windows that the program and the trace library run on: Windows 7
# SP1 (6.1). Their header says so (operating system and subsystem version), so
# that an older Windows refuses them with a message of its own rather than a
# missing entry point; checks/ holds their imports to it.
set(SORVIK_WINDOWS_FLOOR 6.1)
string(REPLACE "." ";" floor_parts ${SORVIK_WINDOWS_FLOOR})
list(GET floor_parts 0 floor_major)
list(GET floor_parts 1 floor_minor)
add_library(sorvik_windows_floor INTERFACE)
target_link_options(sorvik_windows_floor INTERFACE
  -Wl,--major-os-version,${floor_major},--minor-os-version,${floor_minor}
  -Wl,--major-subsystem-version,${floor_major},--minor-subsystem-version,${floor_minor})
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(SORVIK_BRIDGE_DEF ${CMAKE_SOURCE_DIR}/device/bridge.def)
else()
  # x86_64 has no stdcall decoration: the same file without the @N suffixes.
  file(READ ${CMAKE_SOURCE_DIR}/device/bridge.def bridge_def)
  string(REGEX REPLACE "@[0-9]+ @" " @" bridge_def "${bridge_def}")
  set(SORVIK_BRIDGE_DEF ${CMAKE_BINARY_DIR}/bridge.def)
  file(WRITE ${SORVIK_BRIDGE_DEF} "${bridge_def}")
endif()

include(cmake/version.cmake)

# Import library: ordinals only, so the program carries no names of the library's functions.
set(SORVIK_BRIDGE_IMPLIB ${CMAKE_BINARY_DIR}/libsiusbxp.a)
add_custom_command(OUTPUT ${SORVIK_BRIDGE_IMPLIB}
  COMMAND ${SORVIK_DLLTOOL} -m ${SORVIK_DLLTOOL_MACHINE} -d ${SORVIK_BRIDGE_DEF} -l ${SORVIK_BRIDGE_IMPLIB} -k
  DEPENDS ${SORVIK_BRIDGE_DEF})
add_custom_target(bridge_implib DEPENDS ${SORVIK_BRIDGE_IMPLIB})
add_library(bridge_import STATIC IMPORTED GLOBAL)
set_target_properties(bridge_import PROPERTIES IMPORTED_LOCATION ${SORVIK_BRIDGE_IMPLIB})
add_dependencies(bridge_import bridge_implib)

add_subdirectory(app)
add_subdirectory(sim)
# The field trace library: a drop-in SiUSBXp.dll in front of the maker's.
add_subdirectory(trace)
# The end-to-end tests' own small Windows helpers.
add_subdirectory(e2e)

# Checks of what was built, for machines that cannot run the program: they
# read the files, they do not execute them.
enable_testing()
add_subdirectory(checks)

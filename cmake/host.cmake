# Host (Linux) build: the product over our platform layer, the simulated unit, tests.
# Sanitizer and fuzzing flags come from the toolchain file of those presets
# (cmake/host-instrumented.cmake), so they reach every target.
if(SORVIK_SANITIZE STREQUAL "thread")
  # Tests trap FatalStop's exit() by throwing out of it, but the C library
  # declares exit as never throwing: the cleanup that ThreadSanitizer adds at
  # function exit would make that throw end in std::terminate.
  set_source_files_properties(device/connection.cpp TARGET_DIRECTORY sorvik_product
                              PROPERTIES COMPILE_OPTIONS --param=tsan-instrument-func-entry-exit=0)
endif()

add_library(host_platform STATIC platform/host_platform.cpp)
target_include_directories(host_platform PUBLIC ${CMAKE_SOURCE_DIR}/platform/include ${CMAKE_SOURCE_DIR})
target_link_libraries(host_platform PRIVATE sorvik_warnings)
# FatalStop's end of the process is the standard library's exit; tests trap it.
target_link_options(host_platform INTERFACE -Wl,--wrap=exit)
target_link_libraries(sorvik_product PUBLIC host_platform)

add_subdirectory(sim)

enable_testing()
add_subdirectory(tests)
add_subdirectory(tools)
add_subdirectory(trace)
add_subdirectory(release)
if(SORVIK_FUZZ)
  add_subdirectory(fuzz)
endif()
if(SORVIK_BENCH)
  add_subdirectory(bench)
endif()

# End-to-end tests of the Windows program under Wine (they need make_images).
add_subdirectory(e2e)

# Host (Linux) build: the product over our platform layer, the simulated unit, tests.
if(SORVIK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(SORVIK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread)
  add_link_options(-fsanitize=thread)
endif()

add_library(host_platform STATIC platform/host_platform.cpp)
target_include_directories(host_platform PUBLIC ${CMAKE_SOURCE_DIR}/platform/include ${CMAKE_SOURCE_DIR})
# FatalStop's end of the process is the standard library's exit; tests trap it.
target_link_options(host_platform INTERFACE -Wl,--wrap=exit)
target_link_libraries(sorvik_product PUBLIC host_platform)

add_subdirectory(sim)

enable_testing()
add_subdirectory(tests)
add_subdirectory(threads)
add_subdirectory(tools)

# End-to-end tests of the Windows program under Wine (they need make_images).
if(EXISTS ${CMAKE_SOURCE_DIR}/e2e/CMakeLists.txt)
  add_subdirectory(e2e)
endif()

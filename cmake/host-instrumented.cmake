# Host toolchain of the sanitizer and fuzzing builds (SORVIK_SANITIZE:
# address, thread or fuzzer). The instrumentation is part of the toolchain:
# it reaches every object and every link of the build, whatever target it
# belongs to and wherever that target is made.
# The compiler checks that CMake runs in its own small projects need it too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SORVIK_SANITIZE)
if(SORVIK_SANITIZE STREQUAL "address")
  set(sorvik_compile "-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all")
  set(sorvik_link "-fsanitize=address,undefined")
elseif(SORVIK_SANITIZE STREQUAL "thread")
  set(sorvik_compile "-fsanitize=thread")
  set(sorvik_link "-fsanitize=thread")
elseif(SORVIK_SANITIZE STREQUAL "fuzzer")
  # Coverage for libFuzzer in every object, so the product is steered too;
  # only the fuzz targets link libFuzzer's own main (-fsanitize=fuzzer).
  set(sorvik_compile "-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all")
  set(sorvik_link "-fsanitize=address,undefined")
else()
  message(FATAL_ERROR "host-instrumented.cmake: SORVIK_SANITIZE must be address, thread or fuzzer")
endif()
set(CMAKE_C_FLAGS_INIT "${sorvik_compile}")
set(CMAKE_CXX_FLAGS_INIT "${sorvik_compile}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${sorvik_link}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${sorvik_link}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${sorvik_link}")

// A broken property stops the fuzz run with its name and a trap.
#pragma once
#include <cstdio>

extern const char* const FuzzTarget;  // each target names itself

[[noreturn]] inline void Violated(const char* what) {
    std::fprintf(stderr, "%s: property violated: %s\n", FuzzTarget, what);
    std::fflush(stderr);
    __builtin_trap();
}
#define REQUIRE(condition, what)          \
    do {                                  \
        if (!(condition)) Violated(what); \
    } while (0)

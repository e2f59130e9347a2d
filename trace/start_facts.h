// The pieces of the first record and of the trace's file name that need no
// Windows call: the PE header's architecture, the texts of times and versions.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace trace {

// 32 or 64 from the Machine field of a PE file's first bytes; 0 when they are
// no PE header of an x86 library.
int PeBits(const unsigned char* head, size_t size);

// Empty when a library of `fileBits` suits a program of `ourBits`; else the
// record's error text. A file whose header cannot be read is left to the loader.
std::string ArchitectureError(int fileBits, int ourBits);

struct DateTime {
    int year, month, day, hour, minute, second, millisecond;
};

// "SiUSBXp-trace-20261211-100405.jsonl", and "-2" … before ".jsonl" for try 2 on.
std::string TraceFileName(const DateTime& when, int attempt);
// "2026-12-11T10:04:05.123Z"
std::string UtcText(const DateTime& when);
// "10.0.19045"
std::string VersionText(uint32_t major, uint32_t minor, uint32_t build);

}  // namespace trace

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

// `path` with the user's profile folder at its start shown as
// "%USERPROFILE%": the folder names the account, which is personal data.
// ASCII letters match in either case, as Windows names do; the folder must
// end at a separator or at the path's end.
std::string HideProfile(const std::string& path, const std::string& profile);

// A path that names its drive or share: "X:\…" or "\\…". Anything else
// would be looked up relative to some folder, which is not ours to choose.
bool IsAbsolutePath(const std::wstring& path);

// Finds the trace library's own mark in a file read in pieces of any size.
class MarkFinder {
public:
    void Feed(const unsigned char* bytes, size_t size);
    bool Found() const { return found_; }

private:
    size_t matched_ = 0;
    bool found_ = false;
};

}  // namespace trace

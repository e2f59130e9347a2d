#include "trace/start_facts.h"

#include <cstdio>
#include <string>

namespace trace {

int PeBits(const unsigned char* head, size_t size) {
    if (size < 0x40 || head[0] != 'M' || head[1] != 'Z') return 0;
    uint32_t at = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | uint32_t(head[0x3F]) << 24;
    if (at > size - 6 || size < 6) return 0;
    if (head[at] != 'P' || head[at + 1] != 'E' || head[at + 2] != 0 || head[at + 3] != 0) return 0;
    unsigned machine = head[at + 4] | head[at + 5] << 8;
    if (machine == 0x014C) return 32;  // i386
    if (machine == 0x8664) return 64;  // x86-64
    return 0;
}

std::string ArchitectureError(int fileBits, int ourBits) {
    if (fileBits == 0 || fileBits == ourBits) return "";
    return "wrong architecture: a " + std::to_string(fileBits) + "-bit library for a " + std::to_string(ourBits) +
           "-bit program";
}

std::string TraceFileName(const DateTime& w, int attempt) {
    char text[64];
    std::snprintf(text, sizeof text, "SiUSBXp-trace-%04d%02d%02d-%02d%02d%02d", w.year, w.month, w.day, w.hour,
                  w.minute, w.second);
    std::string name = text;
    if (attempt > 1) name += "-" + std::to_string(attempt);
    return name + ".jsonl";
}

std::string UtcText(const DateTime& w) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", w.year, w.month, w.day, w.hour, w.minute,
                  w.second, w.millisecond);
    return text;
}

std::string VersionText(uint32_t major, uint32_t minor, uint32_t build) {
    return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
}

namespace {
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
bool Separator(wchar_t c) { return c == L'\\' || c == L'/'; }
}  // namespace

std::string HideProfile(const std::string& path, const std::string& profile) {
    size_t length = profile.size();
    while (length > 0 && Separator(profile[length - 1])) --length;
    if (length == 0 || path.size() < length) return path;
    for (size_t i = 0; i < length; ++i)
        if (Lower(path[i]) != Lower(profile[i])) return path;
    if (path.size() > length && !Separator(path[length])) return path;
    return "%USERPROFILE%" + path.substr(length);
}

bool IsAbsolutePath(const std::wstring& path) {
    if (path.size() >= 2 && Separator(path[0]) && Separator(path[1])) return true;
    wchar_t drive = path.empty() ? 0 : path[0];
    bool letter = (drive >= L'A' && drive <= L'Z') || (drive >= L'a' && drive <= L'z');
    return path.size() >= 3 && letter && path[1] == L':' && Separator(path[2]);
}

// Kept in the trace library's bytes by the search itself, which reads it.
// Its first byte occurs once in it, so on a mismatch the search need only
// ask whether the byte starts the mark afresh.
extern const char TraceLibraryMark[] = "#trace-library-of-the-SORVIK-update:5b1e07c94d2a";

void MarkFinder::Feed(const unsigned char* bytes, size_t size) {
    const size_t length = sizeof TraceLibraryMark - 1;
    for (size_t i = 0; i < size && !found_; ++i) {
        unsigned char c = bytes[i];
        if (c == static_cast<unsigned char>(TraceLibraryMark[matched_]))
            ++matched_;
        else
            matched_ = c == static_cast<unsigned char>(TraceLibraryMark[0]) ? 1 : 0;
        found_ = matched_ == length;
    }
}

}  // namespace trace

// Whole-file reads and writes and the environment's variables for the
// simulated unit's DLL, by the Windows calls (the C runtime's files take
// narrow names only).
#pragma once
#include <windows.h>

#include <string>

namespace sim {

// Empty when unset or empty.
std::wstring EnvironmentVariable(const wchar_t* name);

bool ReadWholeFile(const std::wstring& path, std::string& text);

// CREATE_ALWAYS replaces the file; OPEN_ALWAYS appends to it.
bool WriteWholeFile(const std::wstring& path, const void* data, DWORD size, DWORD creation = CREATE_ALWAYS);

}  // namespace sim

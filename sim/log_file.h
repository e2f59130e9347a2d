// A text file written through a fixed buffer. No heap and no C runtime: its
// last lines must still go out at unload, when the process may be ending
// with its other threads stopped anywhere, locks held.
#pragma once
#include <windows.h>

#include <string>

namespace sim {

class LogFile {
public:
    void Open(const std::wstring& path);
    void Char(char c);
    void Text(const char* text);
    void Number(unsigned long value);
    void Hex(BYTE value);
    void Flush();

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    char buffer_[1 << 16];
    DWORD used_ = 0;
};

}  // namespace sim

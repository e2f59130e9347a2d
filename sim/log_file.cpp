#include "sim/log_file.h"

namespace sim {

void LogFile::Open(const std::wstring& path) {
    file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
}

void LogFile::Char(char c) {
    if (used_ == sizeof buffer_) Flush();
    buffer_[used_++] = c;
}

void LogFile::Text(const char* text) {
    while (*text) Char(*text++);
}

void LogFile::Number(unsigned long value) {
    char digits[12];
    int n = 0;
    do digits[n++] = static_cast<char>('0' + value % 10);
    while ((value /= 10) != 0);
    while (n > 0) Char(digits[--n]);
}

void LogFile::Hex(BYTE value) {
    static const char digits[] = "0123456789ABCDEF";
    Char(digits[value >> 4]);
    Char(digits[value & 0x0F]);
}

void LogFile::Flush() {
    DWORD written = 0;
    if (file_ != INVALID_HANDLE_VALUE && used_ > 0) WriteFile(file_, buffer_, used_, &written, nullptr);
    used_ = 0;
}

}  // namespace sim

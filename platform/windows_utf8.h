// UTF-8 and Windows' wide (UTF-16) strings, through the system's own
// conversions: for our Windows-only libraries (the simulated unit's DLL, the
// trace library), which keep paths and texts as UTF-8 inside.
#pragma once
#include <windows.h>

#include <string>

inline std::string Utf8FromWide(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string utf8(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], length, nullptr, nullptr);
    return utf8;
}

inline std::wstring WideFromUtf8(const std::string& text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

#include "sim/dll_files.h"

namespace sim {

std::wstring EnvironmentVariable(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return L"";
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, &value[0], size));
    return value;
}

bool ReadWholeFile(const std::wstring& path, std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) text.append(chunk, got);
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::wstring& path, const void* data, DWORD size, DWORD creation) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, creation,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (creation == OPEN_ALWAYS) SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    bool ok = WriteFile(file, data, size, &written, nullptr) != 0 && written == size;
    CloseHandle(file);
    return ok;
}

}  // namespace sim

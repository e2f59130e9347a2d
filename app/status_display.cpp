#include "app/status_display.h"

#include <cstdarg>
#include <cwchar>
#include <string>

#include "app/app_state.h"

void ShowStatus(const WCHAR* text, int y) {
    HDC dc = GetDC(AppState.MainWindow);
    TextOutW(dc, StatusX, y, text, static_cast<int>(wcslen(text)));
    ReleaseDC(AppState.MainWindow, dc);
}

// The C99 wide printf of both runtimes reads %s as a narrow string; the
// stored formats mean a wide one, which every runtime spells %ls.
static std::wstring WidenStringConversions(const WCHAR* format) {
    std::wstring out;
    for (const WCHAR* c = format; *c; ++c) {
        out += *c;
        if (*c != L'%') continue;
        if (c[1] == L'%') {
            out += *++c;
        } else if (c[1] == L's') {
            out += L'l';
        }
    }
    return out;
}

int FormatText(WCHAR* destination, const WCHAR* format, ...) {
    std::wstring wideFormat = WidenStringConversions(format);
    std::wstring result(256, L'\0');
    for (;;) {
        va_list arguments;
        va_start(arguments, format);
        int written = vswprintf(&result[0], result.size(), wideFormat.c_str(), arguments);
        va_end(arguments);
        if (written >= 0) {
            result.resize(static_cast<std::size_t>(written));
            break;
        }
        if (result.size() >= 65536) {  // not a length problem: nothing to show
            result.clear();
            break;
        }
        result.assign(result.size() * 4, L'\0');
    }
    std::size_t length = result.size() < FormatCapacity - 1 ? result.size() : FormatCapacity - 1;
    wmemcpy(destination, result.data(), length);
    destination[length] = L'\0';
    return static_cast<int>(length);
}

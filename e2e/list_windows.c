/* Lists the visible top-level windows of the Wine desktop that it runs in,
 * with their child controls, one line each, so the tests can read what a
 * dialog shows (xdotool sees only top-level X windows, not controls).
 *   W <hwnd> <pid> <left> <top> <right> <bottom> <client x> <client y> <class> | <title>
 *   C <hwnd> <id> <left> <top> <right> <bottom> <class> | <text>
 * Positions are in screen pixels; child rectangles are relative to the top-level window's own top-left
 * corner. Text is UTF-8 with backslash escapes for \ and control characters. */
#include <windows.h>
#include <stdio.h>

static void PutText(const WCHAR *text) {
    char utf8[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    for (int i = 0; i + 1 < n; ++i) {
        unsigned char c = (unsigned char)utf8[i];
        if (c == '\\') fputs("\\\\", stdout);
        else if (c < 0x20) printf("\\x%02x", c);
        else putchar(c);
    }
}

static RECT owner;

static BOOL CALLBACK Child(HWND child, LPARAM unused) {
    WCHAR name[256], text[1024];
    RECT r;
    (void)unused;
    GetClassNameW(child, name, 256);
    GetWindowTextW(child, text, 1024);
    GetWindowRect(child, &r);
    printf("C %p %d %ld %ld %ld %ld ", (void *)child, GetDlgCtrlID(child), r.left - owner.left,
           r.top - owner.top, r.right - owner.left, r.bottom - owner.top);
    PutText(name);
    fputs(" | ", stdout);
    PutText(text);
    putchar('\n');
    return TRUE;
}

static BOOL CALLBACK TopLevel(HWND window, LPARAM unused) {
    WCHAR name[256], title[1024];
    DWORD pid = 0;
    POINT client = {0, 0};
    (void)unused;
    if (!IsWindowVisible(window)) return TRUE;
    GetClassNameW(window, name, 256);
    GetWindowTextW(window, title, 1024);
    GetWindowRect(window, &owner);
    GetWindowThreadProcessId(window, &pid);
    ClientToScreen(window, &client);
    printf("W %p %lu %ld %ld %ld %ld %ld %ld ", (void *)window, pid, owner.left, owner.top, owner.right,
           owner.bottom, client.x, client.y);
    PutText(name);
    fputs(" | ", stdout);
    PutText(title);
    putchar('\n');
    EnumChildWindows(window, Child, 0);
    return TRUE;
}

int main(void) {
    EnumWindows(TopLevel, 0);
    fflush(stdout);
    return 0;
}

// Program start, the main window with its menu and About box, and the message loop.
#include <windows.h>

#include "app/app_state.h"
#include "app/resource.h"
#include "app/status_display.h"
#include "app/texts.h"
#include "device/device_link.h"
#include "update/update_worker.h"

const int MainWindowWidth = 300;   // outer size: frame, caption and menu bar included
const int MainWindowHeight = 200;

ATOM RegisterMainWindowClass(HINSTANCE instance);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

int AppMain(HINSTANCE instance, int showMode, LPWSTR) {
    LoadStringW(instance, IDS_APP_TITLE, AppState.WindowTitle, WindowTextCapacity);
    LoadStringW(instance, IDC_SORVIK_UPDATE, AppState.WindowClass, WindowTextCapacity);
    RegisterMainWindowClass(instance);  // a failure shows as a failed creation below

    AppState.Instance = instance;
    AppState.MainWindow = CreateWindowExW(0, AppState.WindowClass, AppState.WindowTitle,
                                          WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                                          MainWindowWidth, MainWindowHeight,
                                          nullptr, nullptr, instance, nullptr);
    if (!AppState.MainWindow) return 0;

    ShowWindow(AppState.MainWindow, showMode);
    UpdateWindow(AppState.MainWindow);  // the first paint runs here and clears the client area
    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDC_SORVIK_UPDATE));

    // Drawn after the first paint so that it cannot wipe them; never drawn again.
    ShowStatus(TextIntroHeading, LineStatus);
    ShowStatus(TextIntroVersion, LineVersion);
    ShowStatus(TextIntroConnect, LineClosing2);
    ShowStatus(TextIntroCloseOthers, LineClosing3);

    MSG message = {};
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return ProcessExitCode(static_cast<int>(message.wParam));
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int showMode) {
    return AppMain(instance, showMode, commandLine);
}

ATOM RegisterMainWindowClass(HINSTANCE instance) {
    WNDCLASSEXW windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SORVIK));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszMenuName = MAKEINTRESOURCEW(IDC_SORVIK_UPDATE);
    windowClass.lpszClassName = AppState.WindowClass;
    windowClass.hIconSm = LoadIconW(instance, MAKEINTRESOURCEW(IDI_SMALL));
    return RegisterClassExW(&windowClass);
}

// One update at a time: a second choice while a worker runs is ignored.
// The worker clears the mark itself when it ends without ending the process.
static void StartUpdate() {
    if (InterlockedCompareExchange(&AppState.UpdateRunning, 1, 0) != 0) return;
    HANDLE worker = CreateThread(nullptr, 0, UpdateWorker, nullptr, 0, nullptr);
    if (!worker) {
        InterlockedExchange(&AppState.UpdateRunning, 0);  // silent, and the command works again
        return;
    }
    CloseHandle(worker);  // never waited for: Exit ends the process, worker and all
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case CommandAbout:
            DialogBoxParamW(AppState.Instance, MAKEINTRESOURCEW(IDD_ABOUTBOX),
                            AppState.MainWindow, AboutBoxProc, 0);
            return 0;
        case CommandExit:
            DestroyWindow(AppState.MainWindow);
            return 0;
        case CommandUpdateFirmware:
            StartUpdate();
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
        }
    case WM_PAINT: {
        // Nothing is redrawn: the status texts live only in the window's pixels.
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_LBUTTONDOWN:
    case WM_RBUTTONDOWN:
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

INT_PTR CALLBACK AboutBoxProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;  // the dialog manager focuses the OK button
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "app/app_state.h"
#include "app/status_display.h"
#include "app/texts.h"
#include "device/bridge_call.h"
#include "device/device_link.h"

static const char WantedSerial[] = "2025";

// Shared by CloseDevice, FatalStop and the failure path of OpenDevice.
static void RunCloseSequence() {
    if (AppState.DeviceHandle != INVALID_HANDLE_VALUE) {
        BridgeStatus status = LockedBridgeCall([] { return BridgeClose(AppState.DeviceHandle); });
        if (status != 0) ShowBridgeError(BoxCloseFailed);
    }
    AppState.DeviceHandle = INVALID_HANDLE_VALUE;
    if (AppState.DeviceLockInitialised) {
        DeleteCriticalSection(&AppState.DeviceLock);
        AppState.DeviceLockInitialised = FALSE;
    }
}

// Returns the index of the first device with the wanted serial string, or
// deviceCount when there is none.
static DWORD FindDevice(DWORD deviceCount) {
    char serial[BridgeStringSize];
    for (DWORD index = 0; index < deviceCount; ++index) {
        BridgeStatus status =
            LockedBridgeCall([&] { return BridgeGetDeviceString(index, serial, BridgeSerialString); });
        if (status != 0) {
            ShowBridgeError(BoxSerialString);
            continue;
        }
        serial[BridgeStringSize - 1] = '\0';  // a string that fills the buffer ends here
        if (strcmp(serial, WantedSerial) == 0) return index;
    }
    return deviceCount;
}

// The three calls that open the matched device, each only after the one before succeeded.
static bool OpenAndFlush(DWORD index) {
    char kind2[BridgeStringSize];
    return LockedBridgeCall([&] { return BridgeGetDeviceString(index, kind2, BridgeKind2String); }) == 0 &&
           LockedBridgeCall([&] { return BridgeOpen(index, &AppState.DeviceHandle); }) == 0 &&
           LockedBridgeCall([] { return BridgeFlush(AppState.DeviceHandle, 1, 1); }) == 0;
}

void OpenDevice() {
    bool open = true;
    AppState.DeviceHandle = INVALID_HANDLE_VALUE;
    InitializeCriticalSection(&AppState.DeviceLock);
    AppState.DeviceLockInitialised = TRUE;

    DWORD deviceCount = 0;  // a failed count must find nothing
    if (LockedBridgeCall([&] { return BridgeCountDevices(&deviceCount); }) != 0) open = false;

    DWORD index = FindDevice(deviceCount);
    if (index == deviceCount) {
        ShowBridgeError(BoxNotConnected);
        open = false;
    }
    if (open && !OpenAndFlush(index)) {
        // Most often another program (the unit's own GUI) holds the bridge.
        ShowBridgeError(BoxOpenFailed);
        open = false;
    }
    if (!open) RunCloseSequence();
}

void CloseDevice() {
    RunCloseSequence();
}

void FatalStop(BYTE code) {
    if (code < 1 || code > 8) return;
    // Before anything else: the interface thread may end the process on the
    // window's destruction (or the user's close) before exit(1) takes hold.
    InterlockedExchange(&AppState.FatalStopBegun, 1);
    const WCHAR* text = FatalTexts[code];
    HDC dc = GetDC(AppState.MainWindow);
    TextOutW(dc, StatusX, LineStatus, text, static_cast<int>(wcslen(text)));
    MessageBoxW(nullptr, BoxFatal, CaptionCritical, MB_OK | MB_ICONWARNING);
    RunCloseSequence();
    ReleaseDC(AppState.MainWindow, dc);
    PostMessageW(AppState.MainWindow, WM_CLOSE, 0, 0);  // destroyed by its own thread
    exit(1);
}

int ProcessExitCode(int quitCode) {
    return InterlockedCompareExchange(&AppState.FatalStopBegun, 0, 0) == 1 ? 1 : quitCode;
}

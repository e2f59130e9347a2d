// The program's one global record.
#pragma once
#include <windows.h>

const int WindowTextCapacity = 100;

struct ProgramState {
    HINSTANCE Instance;
    HWND MainWindow;  // written once before the message loop, only read afterwards
    WCHAR WindowTitle[WindowTextCapacity];
    WCHAR WindowClass[WindowTextCapacity];
    HANDLE DeviceHandle;  // INVALID_HANDLE_VALUE: no device open
    CRITICAL_SECTION DeviceLock;
    BOOL DeviceLockInitialised;
    BYTE OsdPartsFlag;    // set to 1 by an image of kind "1A70", never cleared
    WORD ReadyCountdown;  // tries left in the ready poll
    LONG volatile UpdateRunning;  // 1 while an update worker runs
    LONG volatile FatalStopBegun;  // 1 from the start of a fatal stop: the process ends with 1
};

extern ProgramState AppState;

// The one connection to the USB bridge, the fatal stop, and the exchange of
// command frames with the unit's controller.
#pragma once
#include <windows.h>

// Finds the first bridge whose serial string is exactly "2025", opens and
// flushes it. DeviceHandle stays INVALID_HANDLE_VALUE when none was opened;
// a bridge found but not opened says so in a box of its own.
void OpenDevice();
void CloseDevice();

// Codes 1 to 8: draws the code's text, closes the bridge, asks for the main
// window's destruction and ends the process with exit code 1. Any other code
// returns at once.
void FatalStop(BYTE code);

// The exit code for an end of the process that the window's destruction
// brings: 1 once a fatal stop has begun, whichever thread ends the process.
int ProcessExitCode(int quitCode);

// Sends one frame and reads a reply of replyLength bytes; 1 for success.
BOOL ExchangeCommand(BYTE* reply, const BYTE* command, DWORD replyLength, DWORD commandLength);

// Asks the unit whether it is ready, at most 2000 times; 1 when it answered so.
BOOL WaitDeviceReady();

// The eight operations of the USB bridge library that the utility uses.
// The library is imported by ordinal only (bridge.def); the names here are ours.
// Every operation returns 0 for success; any other value is a failure.
// Handles are pointer-sized: the library writes a full HANDLE, and on 64-bit
// Windows a 32-bit slot would be overrun.
#pragma once
#include <windows.h>

extern "C" {
typedef DWORD BridgeStatus;

BridgeStatus WINAPI BridgeCountDevices(DWORD* deviceCount);                              // @1
BridgeStatus WINAPI BridgeGetDeviceString(DWORD deviceIndex, void* buffer, DWORD kind); // @2
BridgeStatus WINAPI BridgeOpen(DWORD deviceIndex, HANDLE* handle);                       // @3
BridgeStatus WINAPI BridgeClose(HANDLE handle);                                          // @4
BridgeStatus WINAPI BridgeRead(HANDLE handle, void* buffer, DWORD bytesToRead,
                               DWORD* bytesRead, void* overlapped);                      // @6
BridgeStatus WINAPI BridgeWrite(HANDLE handle, void* buffer, DWORD bytesToWrite,
                                DWORD* bytesWritten, void* overlapped);                  // @7
BridgeStatus WINAPI BridgeFlush(HANDLE handle, DWORD flushTransmit, DWORD flushReceive); // @9
BridgeStatus WINAPI BridgeCheckRxQueue(HANDLE handle, DWORD* bytesWaiting,
                                       DWORD* queueStatus);                              // @12
}

// Buffer size of BridgeGetDeviceString and the string kinds the utility reads.
const DWORD BridgeStringSize = 256;
const DWORD BridgeSerialString = 0;
const DWORD BridgeKind2String = 2;

// Between the exported operations and the simulated unit.
#pragma once
#include <windows.h>

#include <mutex>

#include "sim/sim.h"

namespace sim::bridge {

std::recursive_mutex& Mutex();
bool Enter(Call call);  // false: an injected failure hits this call
DWORD DeviceCount();
bool DeviceString(DWORD index, char* buffer, DWORD kind);
bool Open(DWORD index, HANDLE* handle);
bool Valid(HANDLE handle);
void Close();
void Flush();
void Receive(const BYTE* bytes, DWORD length);
DWORD Waiting();
DWORD Take(BYTE* buffer, DWORD wanted);

}  // namespace sim::bridge

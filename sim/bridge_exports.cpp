// The eight operations as the bridge library exports them.
#include "device/bridge.h"
#include "sim/unit.h"

namespace {
const BridgeStatus Ok = 0;
const BridgeStatus Failed = 0xFF;
const BridgeStatus InvalidHandle = 0x01;
}  // namespace

using sim::bridge::Enter;
using Guard = std::lock_guard<std::recursive_mutex>;

extern "C" {

BridgeStatus WINAPI BridgeCountDevices(DWORD* deviceCount) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(1)) return Failed;
    *deviceCount = sim::bridge::DeviceCount();
    return Ok;
}

BridgeStatus WINAPI BridgeGetDeviceString(DWORD deviceIndex, void* buffer, DWORD kind) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(2)) return Failed;
    return sim::bridge::DeviceString(deviceIndex, static_cast<char*>(buffer), kind) ? Ok : Failed;
}

BridgeStatus WINAPI BridgeOpen(DWORD deviceIndex, HANDLE* handle) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(3)) return Failed;
    return sim::bridge::Open(deviceIndex, handle) ? Ok : Failed;
}

BridgeStatus WINAPI BridgeClose(HANDLE handle) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(4)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    sim::bridge::Close();
    return Ok;
}

BridgeStatus WINAPI BridgeRead(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void*) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(6)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    *bytesRead = sim::bridge::Take(static_cast<BYTE*>(buffer), bytesToRead);
    return Ok;
}

BridgeStatus WINAPI BridgeWrite(HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void*) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(7)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    sim::bridge::Receive(static_cast<const BYTE*>(buffer), bytesToWrite);
    *bytesWritten = bytesToWrite;
    return Ok;
}

BridgeStatus WINAPI BridgeFlush(HANDLE handle, DWORD, DWORD) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(9)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    sim::bridge::Flush();
    return Ok;
}

BridgeStatus WINAPI BridgeCheckRxQueue(HANDLE handle, DWORD* bytesWaiting, DWORD* queueStatus) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(12)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    *bytesWaiting = sim::bridge::Waiting();
    *queueStatus = 0;
    return Ok;
}

}  // extern "C"

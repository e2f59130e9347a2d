// The eight operations as the bridge library exports them. Each records the
// arguments it was given, so tests can hold them against what the utility
// must pass.
#include "device/bridge.h"
#include "sim/unit.h"

namespace {
const BridgeStatus Ok = 0;
const BridgeStatus Failed = 0xFF;
const BridgeStatus InvalidHandle = 0x01;

sim::Call With(BridgeOp op, HANDLE handle = nullptr) {
    sim::Call call{};
    call.op = op;
    call.handle = handle;
    return call;
}
}  // namespace

using sim::bridge::Enter;
using Guard = std::lock_guard<std::recursive_mutex>;

extern "C" {

BridgeStatus WINAPI BridgeCountDevices(DWORD* deviceCount) {
    Guard guard(sim::bridge::Mutex());
    sim::Call call = With(BridgeOp::CountDevices);
    call.outGiven = deviceCount != nullptr;
    // A failing count may still leave a count behind: only the status tells.
    bool ok = Enter(call);
    if (deviceCount && (ok || sim::CurrentSettings().failedCountWrites))
        *deviceCount = sim::bridge::DeviceCount();
    return ok ? Ok : Failed;
}

BridgeStatus WINAPI BridgeGetDeviceString(DWORD deviceIndex, void* buffer, DWORD kind) {
    Guard guard(sim::bridge::Mutex());
    sim::Call call = With(BridgeOp::GetDeviceString);
    call.index = deviceIndex;
    call.kind = kind;
    call.outGiven = buffer != nullptr;
    if (buffer) call.lastByte = static_cast<const BYTE*>(buffer)[BridgeStringSize - 1];
    if (!Enter(call)) return Failed;
    return sim::bridge::DeviceString(deviceIndex, static_cast<char*>(buffer), kind) ? Ok : Failed;
}

BridgeStatus WINAPI BridgeOpen(DWORD deviceIndex, HANDLE* handle) {
    Guard guard(sim::bridge::Mutex());
    sim::Call call = With(BridgeOp::Open);
    call.index = deviceIndex;
    call.outGiven = handle != nullptr;
    if (!Enter(call)) return Failed;
    return sim::bridge::Open(deviceIndex, handle) ? Ok : Failed;
}

BridgeStatus WINAPI BridgeClose(HANDLE handle) {
    Guard guard(sim::bridge::Mutex());
    if (!Enter(With(BridgeOp::Close, handle))) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    sim::bridge::Close();
    return Ok;
}

BridgeStatus WINAPI BridgeRead(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* last) {
    Guard guard(sim::bridge::Mutex());
    sim::Call call = With(BridgeOp::Read, handle);
    call.length = bytesToRead;
    call.lastNull = last == nullptr;
    call.outGiven = buffer != nullptr && bytesRead != nullptr;
    if (!Enter(call)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    *bytesRead = sim::bridge::Take(static_cast<BYTE*>(buffer), bytesToRead);
    return Ok;
}

BridgeStatus WINAPI BridgeWrite(HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void* last) {
    Guard guard(sim::bridge::Mutex());
    sim::Call call = With(BridgeOp::Write, handle);
    call.length = bytesToWrite;
    call.lastNull = last == nullptr;
    call.outGiven = buffer != nullptr && bytesWritten != nullptr;
    if (!Enter(call)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    sim::bridge::Receive(static_cast<const BYTE*>(buffer), bytesToWrite);
    *bytesWritten = bytesToWrite;
    return Ok;
}

BridgeStatus WINAPI BridgeFlush(HANDLE handle, DWORD flushTransmit, DWORD flushReceive) {
    Guard guard(sim::bridge::Mutex());
    sim::Call call = With(BridgeOp::Flush, handle);
    call.flags[0] = flushTransmit;
    call.flags[1] = flushReceive;
    if (!Enter(call)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    sim::bridge::Flush();
    return Ok;
}

BridgeStatus WINAPI BridgeCheckRxQueue(HANDLE handle, DWORD* bytesWaiting, DWORD* queueStatus) {
    Guard guard(sim::bridge::Mutex());
    sim::Call call = With(BridgeOp::CheckRxQueue, handle);
    call.outGiven = bytesWaiting != nullptr && queueStatus != nullptr;
    if (!Enter(call)) return Failed;
    if (!sim::bridge::Valid(handle)) return InvalidHandle;
    *bytesWaiting = sim::bridge::Waiting();
    *queueStatus = 0;
    return Ok;
}

}  // extern "C"

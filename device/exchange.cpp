#include "app/app_state.h"
#include "app/status_display.h"
#include "app/texts.h"
#include "device/bridge_call.h"
#include "device/device_link.h"

static const DWORD ReplyWindowMs = 2000;
static const WORD ReadyTries = 2000;
static const DWORD ReadyPauseMs = 10;
// The controller's ready query is a controller frame (01 01 and its command);
// the unit answers with the command and 01 when it is ready.
static const BYTE ReadyCommand = 0xDA;
static const BYTE ReadyQuery[3] = {0x01, 0x01, ReadyCommand};
static const BYTE ReadyAnswer[2] = {ReadyCommand, 0x01};

// The steps below are shared by the command exchange and the ready poll; each
// shows its own box when the library call fails and then yields false.

// One receive-queue check; false (after its box) when the call fails.
static bool CheckQueue(DWORD* waiting) {
    DWORD queueStatus = 0;
    BridgeStatus status =
        LockedBridgeCall([&] { return BridgeCheckRxQueue(AppState.DeviceHandle, waiting, &queueStatus); });
    if (status != 0) ShowBridgeError(BoxQueueFailed);
    return status == 0;
}

// One read; false (after its box) when the call fails.
static bool ReadBytes(BYTE* buffer, DWORD length, DWORD* bytesRead) {
    *bytesRead = 0;
    BridgeStatus status =
        LockedBridgeCall([&] { return BridgeRead(AppState.DeviceHandle, buffer, length, bytesRead, nullptr); });
    if (status != 0) ShowBridgeError(BoxReadFailed);
    return status == 0;
}

// A reply that came after an earlier exchange gave up would otherwise be read
// as the answer to this command, and every reply after it one frame late.
static bool DiscardLateReplies() {
    DWORD waiting = 0;
    if (!CheckQueue(&waiting)) return false;
    if (waiting == 0) return true;
    BYTE dropped[256];
    DWORD bytesRead = 0;
    return ReadBytes(dropped, waiting < sizeof dropped ? waiting : sizeof dropped, &bytesRead);
}

static bool SendFrame(const BYTE* frame, DWORD length) {
    DWORD bytesWritten = 0;
    BridgeStatus status = LockedBridgeCall([&] {
        return BridgeWrite(AppState.DeviceHandle, const_cast<BYTE*>(frame), length, &bytesWritten, nullptr);
    });
    if (status != 0) {
        ShowBridgeError(BoxSendFailed);
        return false;
    }
    return true;
}

// Busy-polls the receive queue until a byte waits or the window has passed.
// A failed check is shown and remembered, but the waiting goes on.
static bool AwaitReply() {
    DWORD waiting = 0;
    bool checkFailed = false;
    DWORD start = GetTickCount();
    while (waiting == 0 && GetTickCount() - start < ReplyWindowMs) {
        if (!CheckQueue(&waiting)) checkFailed = true;
    }
    return !checkFailed && waiting != 0;
}

// Reads the full reply length, however many bytes the queue reported; a
// short read is shown but left to the caller to judge.
static bool ReadReply(BYTE* reply, DWORD length, DWORD* bytesRead) {
    if (!ReadBytes(reply, length, bytesRead)) return false;
    if (*bytesRead != length) ShowStatus(TextShortRead, LineStatus);
    return true;
}

// One request and its reply. The reply buffer is meaningful only after 1.
static bool RequestReply(BYTE* reply, const BYTE* command, DWORD replyLength,
                         DWORD commandLength, DWORD* bytesRead) {
    if (AppState.DeviceHandle == INVALID_HANDLE_VALUE) return false;
    return DiscardLateReplies() && SendFrame(command, commandLength) && AwaitReply() &&
           ReadReply(reply, replyLength, bytesRead);
}

BOOL ExchangeCommand(BYTE* reply, const BYTE* command, DWORD replyLength, DWORD commandLength) {
    DWORD bytesRead = 0;
    if (!RequestReply(reply, command, replyLength, commandLength, &bytesRead)) return FALSE;
    // No byte at all would leave the caller judging a byte of an earlier reply.
    return bytesRead != 0 || replyLength == 0;
}

// Unlike the exchange, a failed step spends one try, and the reply is tested here.
BOOL WaitDeviceReady() {
    BYTE reply[2] = {0, 0};  // tested whole even after a short read
    AppState.ReadyCountdown = ReadyTries;
    for (;;) {
        DWORD bytesRead = 0;
        if (RequestReply(reply, ReadyQuery, sizeof reply, sizeof ReadyQuery, &bytesRead) &&
            reply[0] == ReadyAnswer[0] && reply[1] == ReadyAnswer[1])
            return TRUE;
        Sleep(ReadyPauseMs);
        if (--AppState.ReadyCountdown == 0) return FALSE;
    }
}

// libFuzzer target: the exchange, the ready poll, the mode and speed commands
// and the sector erase against a bridge whose every answer the fuzzer picks.
// This file is the bridge library: it defines the eight operations itself and
// is linked with the product and the host layer only, not the simulated unit.
//
// Input:
//   byte 0: the operation (ExchangeCommand, WaitDeviceReady, SetFpgaMode,
//           SelectSpiSpeed, EraseSectors);  bytes 1, 2: its arguments;
//   byte 3: bits 0-1 the number of stale bytes waiting before the first frame,
//           which follow;
//   then one record per frame written, in order:
//     control: bit 0 the write fails; bit 1 the first queue check after it
//              fails; bit 2 the first read after it fails; bit 3 that read
//              delivers one byte fewer than asked; bit 4 queue checks report
//              one byte more than has come, until the next read;
//     delay (2 bytes, little-endian, ms; 0xFFFF: no reply at all);
//     length (low 4 bits; more than the product asks for is allowed) and the
//     reply's bytes.
//   Once the input runs out every frame goes unanswered.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "device/bridge.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "platform/host_platform.h"
#include "fuzz/require.h"
#include "tests/support/erase_walk.h"
#include "tests/support/expected.h"
#include "tests/support/program_state.h"
#include "tests/support/stream.h"

extern const char* const FuzzTarget = "fuzz_replies";

namespace {

namespace ex = expected;


HANDLE const FakeHandle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(0x2025));
const BridgeStatus Ok = 0;
const BridgeStatus Failed = 0x02;
const BridgeStatus InvalidHandle = 0x01;
const DWORD NoReply = 0xFFFF;
// How far one empty queue check inside a busy wait moves the clock: at most
// this, and never past the next reply's due time, so a reply is seen at its
// own millisecond while an unanswered wait costs few checks.
const DWORD IdleStepMs = 1000;

enum class Op { Write, Check, Read };

struct Call {
    Op op;
    BridgeStatus status;
    DWORD time;
    std::vector<BYTE> bytes;  // written frame, or bytes delivered by a read
    DWORD asked = 0;          // read: bytes asked for
    DWORD reported = 0;       // check: bytes said to be waiting
    const void* buffer = nullptr;
};

struct Pending {
    DWORD due;
    BYTE byte;
};

struct FakeBridge {
    const std::uint8_t* script = nullptr;
    std::size_t left = 0;
    std::deque<Pending> queue;
    bool failCheck = false;
    bool failRead = false;
    bool shortRead = false;
    bool overReport = false;
    std::vector<Call> log;
    // The caller's own reply buffer in the direct ExchangeCommand case.
    const void* callerBuffer = nullptr;
    DWORD callerLength = 0;

    std::uint8_t Next() {
        if (left == 0) return 0;
        --left;
        return *script++;
    }
};

FakeBridge bridge;

DWORD Arrived() {
    DWORD now = host::Now();
    DWORD count = 0;
    for (const Pending& p : bridge.queue)
        if (static_cast<std::int32_t>(now - p.due) >= 0) ++count;
    return count;
}

void Log(Call call) { bridge.log.push_back(std::move(call)); }

}  // namespace

extern "C" {

BridgeStatus WINAPI BridgeCountDevices(DWORD* deviceCount) {
    host::NoteBridgeCall(1);
    *deviceCount = 1;
    return Ok;
}

BridgeStatus WINAPI BridgeGetDeviceString(DWORD deviceIndex, void* buffer, DWORD) {
    host::NoteBridgeCall(2);
    if (deviceIndex != 0) return Failed;
    std::strcpy(static_cast<char*>(buffer), "2025");
    return Ok;
}

BridgeStatus WINAPI BridgeOpen(DWORD deviceIndex, HANDLE* handle) {
    host::NoteBridgeCall(3);
    if (deviceIndex != 0) return Failed;
    *handle = FakeHandle;
    return Ok;
}

BridgeStatus WINAPI BridgeClose(HANDLE handle) {
    host::NoteBridgeCall(4);
    return handle == FakeHandle ? Ok : InvalidHandle;
}

BridgeStatus WINAPI BridgeFlush(HANDLE handle, DWORD, DWORD) {
    host::NoteBridgeCall(9);
    if (handle != FakeHandle) return InvalidHandle;
    bridge.queue.clear();
    return Ok;
}

BridgeStatus WINAPI BridgeWrite(HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten, void*) {
    host::NoteBridgeCall(7);
    if (handle != FakeHandle) Violated("a write on a handle that was never opened");
    const BYTE* frame = static_cast<const BYTE*>(buffer);
    Call call{Op::Write, Ok, host::Now(), std::vector<BYTE>(frame, frame + bytesToWrite)};
    std::uint8_t control = bridge.Next();
    DWORD delay = bridge.Next();
    delay |= static_cast<DWORD>(bridge.Next()) << 8;
    std::uint8_t length = bridge.Next() & 0x0F;
    std::vector<BYTE> reply;
    for (int i = 0; i < length; ++i) reply.push_back(bridge.Next());
    if (bridge.left == 0 && length == 0) delay = NoReply;  // the script ran out
    if (control & 0x01) {
        call.status = Failed;
        Log(call);
        return Failed;
    }
    *bytesWritten = bytesToWrite;
    bridge.failCheck = control & 0x02;
    bridge.failRead = control & 0x04;
    bridge.shortRead = control & 0x08;
    bridge.overReport = control & 0x10;
    if (delay != NoReply)
        for (BYTE b : reply) bridge.queue.push_back({call.time + delay, b});
    // Replies reach the bridge in the order they are due.
    std::stable_sort(bridge.queue.begin(), bridge.queue.end(), [](const Pending& a, const Pending& b) {
        return static_cast<std::int32_t>(a.due - b.due) < 0;
    });
    Log(call);
    return Ok;
}

BridgeStatus WINAPI BridgeCheckRxQueue(HANDLE handle, DWORD* bytesWaiting, DWORD* queueStatus) {
    host::NoteBridgeCall(12);
    if (handle != FakeHandle) Violated("a queue check on a handle that was never opened");
    Call call{Op::Check, Ok, host::Now(), {}};
    bool busyWait = !bridge.log.empty() && bridge.log.back().op == Op::Check && bridge.log.back().reported == 0;
    if (bridge.failCheck) {
        bridge.failCheck = false;
        call.status = Failed;
    } else {
        call.reported = Arrived() + (bridge.overReport ? 1 : 0);
        *bytesWaiting = call.reported;
        *queueStatus = 0;
    }
    if (call.reported == 0 && busyWait) {
        DWORD step = IdleStepMs;
        for (const Pending& p : bridge.queue) {
            std::int32_t until = static_cast<std::int32_t>(p.due - call.time);
            if (until > 0) step = std::min<DWORD>(step, static_cast<DWORD>(until));
        }
        host::SetClock(call.time + step);
    }
    Log(call);
    return call.status;
}

BridgeStatus WINAPI BridgeRead(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void*) {
    host::NoteBridgeCall(6);
    if (handle != FakeHandle) Violated("a read on a handle that was never opened");
    if (buffer == bridge.callerBuffer && bytesToRead > bridge.callerLength)
        Violated("a read asked for more than the caller's buffer holds");
    Call call{Op::Read, Ok, host::Now(), {}};
    call.asked = bytesToRead;
    call.buffer = buffer;
    bridge.overReport = false;
    if (bridge.failRead) {
        bridge.failRead = false;
        call.status = Failed;
        Log(call);
        return Failed;
    }
    DWORD limit = bridge.shortRead && bytesToRead > 0 ? bytesToRead - 1 : bytesToRead;
    bridge.shortRead = false;
    BYTE* out = static_cast<BYTE*>(buffer);
    while (call.bytes.size() < limit && !bridge.queue.empty() &&
           static_cast<std::int32_t>(call.time - bridge.queue.front().due) >= 0) {
        out[call.bytes.size()] = bridge.queue.front().byte;  // fills all it may: an overrun shows
        call.bytes.push_back(bridge.queue.front().byte);
        bridge.queue.pop_front();
    }
    *bytesRead = static_cast<DWORD>(call.bytes.size());
    Log(call);
    return Ok;
}

}  // extern "C"

namespace {

// What the unit said to one frame, as far as the rules go: the frame was
// written, a queue check within the reply window saw bytes, no check failed,
// and the first read after the write succeeded. A product may take a reply
// as its answer only when all of that holds. A check made once the window
// has passed belongs to whatever the product does next.
struct Answer {
    bool readOk = false;  // the reply read came in time and succeeded
    bool taken = false;   // ... and delivered at least one byte (or none was asked)
    std::vector<BYTE> bytes;
    DWORD asked = 0;
    const void* buffer = nullptr;
};

std::vector<std::size_t> Writes() {
    std::vector<std::size_t> at;
    for (std::size_t i = 0; i < bridge.log.size(); ++i)
        if (bridge.log[i].op == Op::Write) at.push_back(i);
    return at;
}

Answer AnswerTo(std::size_t write) {
    const Call& w = bridge.log[write];
    Answer a;
    if (w.status != Ok) return a;
    bool seen = false;
    for (std::size_t i = write + 1; i < bridge.log.size(); ++i) {
        const Call& c = bridge.log[i];
        if (c.op == Op::Write) return a;
        if (c.op == Op::Check) {
            if (c.status != Ok || c.time - w.time >= ex::ReplyWindowMs) return a;
            if (c.reported > 0) seen = true;
            continue;
        }
        a.readOk = seen && c.status == Ok;
        a.taken = a.readOk && (!c.bytes.empty() || c.asked == 0);
        a.bytes = c.bytes;
        a.asked = c.asked;
        a.buffer = c.buffer;
        return a;
    }
    return a;
}

// Each failed library call shows its own box, once, in order.
void CheckBridgeBoxes() {
    std::vector<std::wstring> expected;
    for (const Call& c : bridge.log) {
        if (c.status == Ok) continue;
        expected.push_back(c.op == Op::Write   ? ex::SendFailedBox.text
                           : c.op == Op::Check ? ex::QueueFailedBox.text
                                               : ex::ReadFailedBox.text);
    }
    std::vector<std::wstring> shown;
    for (const host::Box& b : host::Boxes())
        if (b.text == ex::SendFailedBox.text || b.text == ex::QueueFailedBox.text || b.text == ex::ReadFailedBox.text)
            shown.push_back(b.text);
    REQUIRE(shown == expected, "the library failures' boxes do not match the failed calls");
}

std::optional<std::wstring> LastBox() {
    std::vector<host::Box> boxes = host::Boxes();
    if (boxes.empty()) return std::nullopt;
    return boxes.back().text;
}

int Sleeps(const char* event) {
    std::vector<std::string> events = host::Events();
    return static_cast<int>(std::count(events.begin(), events.end(), event));
}

void FrameIs(std::size_t write, const ex::Frame& bytes, const char* what) {
    REQUIRE(bridge.log[write].bytes == bytes, what);
}

int Sleeps(DWORD ms) {
    return Sleeps(ex::SleepEvent(ms).c_str());
}

const DWORD ExchangeBoundMs = ex::ReplyWindowMs + 2 * IdleStepMs;

void RunExchange(const std::uint8_t* args) {
    const DWORD replyLength = args[0] % 9;
    const DWORD commandLength = 1 + args[1] % 40;
    std::vector<BYTE> command(commandLength);
    for (DWORD i = 0; i < commandLength; ++i) command[i] = static_cast<BYTE>(args[1] * 31 + i);
    // Exactly as long as asked, so that any overrun hits the heap's red zone.
    std::vector<BYTE> reply(replyLength ? replyLength : 1, 0xA5);
    bridge.callerBuffer = reply.data();
    bridge.callerLength = replyLength;
    BOOL result = ExchangeCommand(reply.data(), command.data(), replyLength, commandLength);

    std::vector<std::size_t> writes = Writes();
    REQUIRE(writes.size() <= 1, "one exchange wrote more than one frame");
    Answer answer;
    if (!writes.empty()) {
        REQUIRE(bridge.log[writes[0]].bytes == command, "the frame was not sent unchanged");
        for (std::size_t i = writes[0]; i < bridge.log.size(); ++i)
            if (bridge.log[i].op == Op::Check)
                REQUIRE(bridge.log[i].time - bridge.log[writes[0]].time < ex::ReplyWindowMs, "a queue check after the reply window");
        answer = AnswerTo(writes[0]);
    }
    REQUIRE(result == (answer.taken ? TRUE : FALSE), "ExchangeCommand's result does not follow the rules");
    if (result) REQUIRE(answer.buffer == reply.data(), "the reply was not read into the caller's buffer");
    if (answer.buffer == reply.data())
        REQUIRE(answer.asked == replyLength, "the reply read did not ask for the reply length");
    // The buffer holds what the reply read delivered, and nothing else changed.
    std::vector<BYTE> expected(reply.size(), 0xA5);
    if (answer.buffer == reply.data()) std::copy(answer.bytes.begin(), answer.bytes.end(), expected.begin());
    REQUIRE(reply == expected, "the reply buffer holds bytes that were not delivered into it");
    bool shortText = false;
    for (const host::Draw& d : host::Draws()) shortText = shortText || d.text == ex::ShortRead;
    bool shortRead = answer.buffer == reply.data() && answer.bytes.size() != replyLength;
    REQUIRE(!shortText || shortRead, "the short-read text without a short read");
    if (result) REQUIRE(shortText == shortRead, "a short read that was taken was not shown");
}

void RunReady() {
    BOOL result = WaitDeviceReady();
    std::vector<std::size_t> writes = Writes();
    REQUIRE(writes.size() <= static_cast<std::size_t>(ex::ReadyTries), "more ready queries than its tries");
    // The poll's buffer keeps what earlier reads left in it; unknown until read.
    std::optional<BYTE> held[2];
    const void* pollBuffer = nullptr;
    bool readyAt = false;
    for (std::size_t k = 0; k < writes.size(); ++k) {
        FrameIs(writes[k], ex::ReadyQuery, "a ready query that is not 01 01 DA");
        Answer a = AnswerTo(writes[k]);
        if (a.buffer && a.asked == 2) {
            REQUIRE(!pollBuffer || pollBuffer == a.buffer, "the poll's reply buffer moved");
            pollBuffer = a.buffer;
            for (std::size_t i = 0; i < a.bytes.size(); ++i) held[i] = a.bytes[i];
        }
        readyAt = a.readOk && held[0] == ex::ReadyAnswer[0] && held[1] == ex::ReadyAnswer[1];
        if (readyAt) REQUIRE(k + 1 == writes.size(), "the poll went on after the ready answer");
    }
    REQUIRE(result == (readyAt ? TRUE : FALSE), "WaitDeviceReady's result does not follow the rules");
    if (!result) {
        REQUIRE(Sleeps(ex::ReadyPauseMs) == ex::ReadyTries, "a poll that ran out did not pause after every try");
        REQUIRE(AppState.ReadyCountdown == 0, "a poll that ran out left tries");
    } else {
        REQUIRE(Sleeps(ex::ReadyPauseMs) < ex::ReadyTries, "a poll that found the unit ready paused after every try");
    }
}

void RunControllerCommand(BYTE code, bool speed) {
    BOOL result = speed ? SelectSpiSpeed() : SetFpgaMode(code);
    std::vector<std::size_t> writes = Writes();
    REQUIRE(writes.size() <= 2, "more than one retransmission");
    bool echoed = false;
    for (std::size_t k = 0; k < writes.size(); ++k) {
        FrameIs(writes[k], ex::ControllerFrame(code), "a controller frame that is not 01 01 code");
        Answer a = AnswerTo(writes[k]);
        bool echo = a.taken && a.bytes.at(0) == code;
        REQUIRE(!echoed, "a frame was sent after the echo");
        echoed = echo;
    }
    REQUIRE(result == (echoed ? TRUE : FALSE), "the command's result does not follow its echo");
    const std::wstring& failureBox = speed ? ex::SpeedFailedBox.text : ex::ModeFailedBox.text;
    if (!result) REQUIRE(LastBox() == failureBox, "a failed command did not show its box");
    if (result) REQUIRE(LastBox() != failureBox, "a command that succeeded showed the failure box");
}

void RunErase(const std::uint8_t* args) {
    const BYTE count = static_cast<BYTE>(1 + args[1] % 3);
    const BYTE first = static_cast<BYTE>(args[0] % (256 - count));
    BOOL result = EraseSectors(first, count);
    REQUIRE(host::Events().empty() || host::Events().front() == ex::SleepEvent(ex::ErasePauseMs),
            "no 3 ms pause before the first frame");

    // The frames as the erase must send them, each reply as the product took it.
    ex::EraseWalk walk(first, count);
    for (std::size_t w : Writes()) {
        REQUIRE(!walk.Ended(), "a frame after the erase ended");
        switch (walk.Due()) {
        case ex::EraseWalk::Next::WriteEnable: FrameIs(w, walk.Expected(), "not the write enable"); break;
        case ex::EraseWalk::Next::Erase: FrameIs(w, walk.Expected(), "not the erase of the next sector"); break;
        default: FrameIs(w, walk.Expected(), "not a status read"); break;
        }
        Answer a = AnswerTo(w);
        walk.Answer(a.taken ? std::optional<BYTE>(a.bytes[0]) : std::nullopt);
    }
    REQUIRE(result == (walk.Due() == ex::EraseWalk::Next::Done ? TRUE : FALSE),
            "EraseSectors' result does not follow the replies");
    if (walk.FailureBox()) REQUIRE(LastBox() == walk.FailureBox()->text, "a refused reply did not show its box");
    if (!result) REQUIRE(LastBox() == ex::WriteEnableFailedBox.text || LastBox() == ex::SectorEraseFailedBox.text,
                         "a failed erase did not show its box");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return -1;
    host::Reset();
    ResetProgramState();
    InitializeCriticalSection(&AppState.DeviceLock);
    AppState.DeviceLockInitialised = TRUE;
    AppState.DeviceHandle = FakeHandle;
    bridge = FakeBridge{};
    bridge.script = data + 4;
    bridge.left = size - 4;
    for (int i = 0; i < (data[3] & 0x03); ++i) bridge.queue.push_back({0, bridge.Next()});

    const DWORD start = host::Now();
    DWORD bound = 0;
    switch (data[0] % 5) {
    case 0:
        RunExchange(data + 1);
        bound = ExchangeBoundMs;
        break;
    case 1:
        RunReady();
        bound = ex::ReadyTries * (ExchangeBoundMs + ex::ReadyPauseMs);
        break;
    case 2:
        RunControllerCommand(data[1], false);
        bound = 2 * ExchangeBoundMs;
        break;
    case 3:
        RunControllerCommand(ex::SpeedCode, true);
        bound = 2 * ExchangeBoundMs;
        break;
    case 4:
        RunErase(data + 1);
        // Per sector two exchanges and a status poll that gives up after
        // about ten seconds (and one more read).
        bound = ex::ErasePauseMs + (1 + data[2] % 3) * (3 * ExchangeBoundMs + ex::EraseGiveUpMs + ex::StatusPauseMs);
        break;
    }
    REQUIRE(host::Now() - start <= bound, "the operation outran its time bound");
    CheckBridgeBoxes();
    REQUIRE(host::LockViolations().empty(), "lock rules broken");

    DeleteCriticalSection(&AppState.DeviceLock);
    return 0;
}

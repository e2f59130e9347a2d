// The bridge and the unit's controller: classifies each frame, applies it to
// the flash, and queues the reply with its due time.
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#include "sim/flash_model.h"
#include "sim/sim.h"
#include "sim/unit.h"

namespace sim {
namespace {

struct Reply {
    DWORD due;
    std::vector<BYTE> bytes;
    bool shortRead;
};

struct Unit {
    std::recursive_mutex mutex;
    Settings settings;
    Environment* environment = nullptr;
    FlashModel flash;
    std::vector<Frame> frames;
    std::vector<std::vector<BYTE>> snapshots;
    std::deque<Reply> queue;
    std::vector<int> kindCounts = std::vector<int>(static_cast<int>(FrameKind::Any) + 1, 0);
    std::vector<int> callCounts = std::vector<int>(OrdinalOf(BridgeOp::CheckRxQueue) + 1, 0);  // by ordinal
    std::vector<Call> calls;
    int failedCalls = 0;
    int ignoredWhileBusy = 0;
    int notReadyLeft = 0;
    bool open = false;
    DWORD openIndex = 0;
    bool lastCheckEmpty = false;
    DWORD lastCheckTime = 0;
    std::string replayDeparture;
    int replayCheckFailures = 0;
};

Unit& U() {
    static Unit unit;
    return unit;
}

BYTE ChecksumReply(const BYTE* bytes, DWORD length) {
    BYTE sum = 0;
    for (DWORD i = 0; i < length; ++i) sum = static_cast<BYTE>(sum + bytes[i]);
    return static_cast<BYTE>(-sum);
}

FrameKind Classify(const BYTE* b, DWORD n) {
    if (n == 3 && b[0] == 0x01 && b[1] == 0x01) {
        if (b[2] == 0xDA) return FrameKind::Ready;
        if (b[2] == 0xD5) return FrameKind::Speed;
        return FrameKind::Mode;
    }
    if (n == 4 && b[0] == 0x00 && b[1] == 0x04 && b[2] == 0xD0 && b[3] == 0x06) return FrameKind::WriteEnable;
    if (n == 4 && b[0] == 0x01 && b[1] == 0x01 && b[2] == 0xD0 && b[3] == 0x05) return FrameKind::Status;
    if (n == 7 && b[0] == 0x00 && b[1] == 0x07 && b[2] == 0xD0 && b[3] == 0xD8) return FrameKind::Erase;
    if (n >= 9 && b[0] == 0x00 && b[2] == 0xD7 && b[3] == 0x02 && b[1] >= 1 && b[1] <= 32 && n == b[1] + 8u)
        return FrameKind::Program;
    return FrameKind::Unknown;
}

Fault FaultFor(Unit& u, FrameKind kind) {
    int ofKind = ++u.kindCounts[static_cast<int>(kind)];
    int ofAll = ++u.kindCounts[static_cast<int>(FrameKind::Any)];
    for (const FrameFault& f : u.settings.frameFaults) {
        if (f.kind == kind && f.occurrence == ofKind) return f.fault;
        if (f.kind == FrameKind::Any && f.occurrence == ofAll) return f.fault;
    }
    return Fault::None;
}

DWORD Address(const BYTE* b) {
    return (static_cast<DWORD>(b[4]) << 16) | (static_cast<DWORD>(b[5]) << 8) | b[6];
}

// A replay answers frame n with what the recording's frame n got; the flash
// still carries every frame out, as a live unit does whether or not its reply
// reaches the program. False once the program's frames depart from the
// recording (noted once): the unit answers as a live one from there on.
bool Replayed(Unit& u, Frame& frame, std::vector<BYTE>& reply, DWORD& due, bool& answered) {
    const auto& recorded = u.settings.replay;
    std::size_t n = u.frames.size();
    if (recorded.empty() || !u.replayDeparture.empty()) return false;
    if (n >= recorded.size() || recorded[n].bytes != frame.Bytes()) {
        u.replayDeparture = "frame " + std::to_string(n + 1) + " is not the recorded one";
        return false;
    }
    // The record names what the recorded unit did unlike a healthy one.
    const ReplayedFrame& r = recorded[n];
    if (!r.answered)
        frame.fault = Fault::NoReply;
    else if (r.delayMs >= 2000)
        frame.fault = Fault::LateReply;
    else if (r.reply.size() < reply.size())
        frame.fault = Fault::ShortRead;
    else if (r.reply != reply)
        frame.fault = Fault::WrongReply;
    reply = r.reply;
    answered = r.answered;
    due = frame.time + r.delayMs;
    u.replayCheckFailures = r.failedChecks;
    return true;
}

// What the controller answers, and what the flash does, for one frame.
// Returns the extra time the controller takes before answering.
DWORD Apply(Unit& u, Frame& frame, std::vector<BYTE>& reply) {
    const BYTE* b = frame.bytes;
    DWORD now = frame.time;
    bool busy = u.flash.Busy(now);
    frame.applied = false;
    switch (frame.kind) {
    case FrameKind::Mode:
        reply = {b[2]};
        if (b[2] == 0xD9) {
            u.snapshots.push_back(u.flash.Contents());
            u.notReadyLeft = u.settings.notReadyAnswers;
            if (u.environment) u.environment->OnWriteMode(u.flash.Contents());
        }
        return 0;
    case FrameKind::Speed:
        reply = {b[2]};
        return 0;
    case FrameKind::Ready: {
        bool ready = u.notReadyLeft == 0;
        if (u.notReadyLeft > 0) --u.notReadyLeft;
        reply = {0xDA, static_cast<BYTE>(ready ? 0x01 : 0x00)};
        return 0;
    }
    case FrameKind::WriteEnable:
        if (!busy) u.flash.WriteEnable();
        frame.applied = !busy;
        reply = {ChecksumReply(b, 4)};
        return 0;
    case FrameKind::Erase:
        frame.applied = u.flash.EraseSector(Address(b), now, u.settings.eraseMs);
        reply = {ChecksumReply(b, 7)};
        return 0;
    case FrameKind::Status:
        frame.applied = true;
        reply = {u.flash.Status(now)};
        if (frame.fault == Fault::WrongStatus) reply[0] &= static_cast<BYTE>(~0x01);
        return 0;
    case FrameKind::Program: {
        DWORD n = b[1];
        const BYTE* data = b + 7;
        if (ChecksumReply(data, n) != b[7 + n]) {
            reply = {0x00};  // a damaged piece is refused
            return 0;
        }
        if (frame.fault != Fault::DropProgram)
            frame.applied = u.flash.Program(Address(b), data, n, now, u.settings.programMs);
        reply = {0xD7};
        return u.settings.programMs;
    }
    default:
        return 0;  // not a command the controller knows: no answer
    }
}

}  // namespace

void Configure(const Settings& settings, Environment* environment) {
    Unit& u = U();
    std::lock_guard<std::recursive_mutex> guard(u.mutex);
    u.settings = settings;
    u.environment = environment;
    u.flash.Reset(FlashSize, settings.flashFill);
    u.frames.clear();
    u.frames.reserve(40000);
    u.snapshots.clear();
    u.queue.clear();
    std::fill(u.kindCounts.begin(), u.kindCounts.end(), 0);
    std::fill(u.callCounts.begin(), u.callCounts.end(), 0);
    u.calls.clear();
    u.failedCalls = 0;
    u.ignoredWhileBusy = 0;
    u.notReadyLeft = settings.notReadyAnswers;
    u.open = false;
    u.lastCheckEmpty = false;
    u.replayDeparture.clear();
    u.replayCheckFailures = 0;
}

const std::string& ReplayDeparture() { return U().replayDeparture; }

const Settings& CurrentSettings() { return U().settings; }
const std::vector<Frame>& Frames() { return U().frames; }
const std::vector<BYTE>& Flash() { return U().flash.Contents(); }
const std::vector<std::vector<BYTE>>& WriteModeSnapshots() { return U().snapshots; }
int CallCount(BridgeOp op) { return U().callCounts.at(OrdinalOf(op)); }
const std::vector<Call>& Calls() { return U().calls; }
int FailedCalls() { return U().failedCalls; }
bool DeviceOpen() { return U().open; }
int IgnoredWhileBusy() { return U().ignoredWhileBusy; }

std::vector<Frame> FramesOf(FrameKind kind) {
    std::vector<Frame> out;
    for (const Frame& f : U().frames)
        if (f.kind == kind) out.push_back(f);
    return out;
}

HANDLE HandleOf(DWORD deviceIndex) {
    // Uses the upper half of a 64-bit handle, so a 32-bit slot would lose it.
    std::uintptr_t value = 0x5A5A0100u + deviceIndex;
    if (sizeof(std::uintptr_t) > 4) value |= static_cast<std::uintptr_t>(0x00C0FFEEull << 32);
    return reinterpret_cast<HANDLE>(value);
}

const char* KindName(FrameKind kind) {
    static const char* const names[] = {"mode", "speed", "ready", "write_enable", "erase",
                                        "status", "program", "unknown", "frame"};
    return names[static_cast<int>(kind)];
}

const char* FaultName(Fault fault) {
    static const char* const names[] = {"none", "no_reply", "late_reply", "wrong_reply", "short_read",
                                        "stuck_busy", "wrong_status", "drop_program"};
    return names[static_cast<int>(fault)];
}

// --- the bridge's side of the eight operations -------------------------------

namespace bridge {

static bool FaultHits(const Settings& settings, const Call& call) {
    for (const CallFault& f : settings.callFaults)
        if (f.op == call.op && (f.call == 0 || f.call == call.number)) return true;
    return false;
}

// Counts the call, decides whether an injected failure hits it, records and
// reports it with that decision, and tells the decision.
bool Enter(Call call) {
    Unit& u = U();
    call.number = ++u.callCounts.at(OrdinalOf(call.op));
    call.failed = FaultHits(u.settings, call);
    // A replayed frame whose wait saw failing checks fails as many checks.
    if (call.op == BridgeOp::CheckRxQueue && u.replayCheckFailures > 0) {
        --u.replayCheckFailures;
        call.failed = true;
    }
    u.failedCalls += call.failed ? 1 : 0;
    u.calls.push_back(call);
    if (u.environment) u.environment->OnCall(call);
    return !call.failed;
}

std::recursive_mutex& Mutex() { return U().mutex; }

DWORD DeviceCount() { return static_cast<DWORD>(U().settings.devices.size()); }

bool DeviceString(DWORD index, char* buffer, DWORD kind) {
    const auto& devices = U().settings.devices;
    if (index >= devices.size()) return false;
    const std::string& text = kind == 0 ? devices[index].serial : devices[index].product;
    // A string of 256 bytes or more fills the buffer with no zero after it,
    // as a bridge with a long serial may.
    std::size_t length = std::min<std::size_t>(text.size(), 256);
    std::memcpy(buffer, text.data(), length);
    if (length < 256) buffer[length] = '\0';
    return true;
}

bool Open(DWORD index, HANDLE* handle) {
    Unit& u = U();
    if (index >= u.settings.devices.size() || u.open) return false;
    u.open = true;
    u.openIndex = index;
    *handle = HandleOf(index);
    return true;
}

bool Valid(HANDLE handle) {
    return U().open && handle == HandleOf(U().openIndex);
}

void Close() {
    Unit& u = U();
    u.open = false;
    u.queue.clear();
    if (u.environment) u.environment->OnClose(u.flash.Contents());
}

void Flush() {
    U().queue.clear();
}

void Receive(const BYTE* bytes, DWORD length) {
    Unit& u = U();
    u.lastCheckEmpty = false;
    Frame frame{};
    frame.time = u.environment ? u.environment->Now() : 0;
    frame.kind = Classify(bytes, length);
    frame.writesBefore = CallCount(BridgeOp::Write) - 1;
    frame.readsBefore = CallCount(BridgeOp::Read);
    frame.checksBefore = CallCount(BridgeOp::CheckRxQueue);
    frame.length = static_cast<std::uint8_t>(std::min<DWORD>(length, MaxRecordedFrame));
    std::memcpy(frame.bytes, bytes, frame.length);
    frame.fault = FaultFor(u, frame.kind);
    if (frame.fault == Fault::StuckBusy) u.flash.SetStuckBusy();
    bool wasBusy = u.flash.Busy(frame.time);

    std::vector<BYTE> reply;
    DWORD extra = Apply(u, frame, reply);
    bool flashCommand = frame.kind == FrameKind::WriteEnable || frame.kind == FrameKind::Erase ||
                        frame.kind == FrameKind::Program;
    if (wasBusy && flashCommand) ++u.ignoredWhileBusy;
    if (frame.fault == Fault::WrongReply && !reply.empty()) reply[0] ^= 0x01;

    DWORD due = frame.time + u.settings.roundTripMs + extra;
    if (frame.fault == Fault::LateReply) due = frame.time + u.settings.lateByMs;
    bool answered = frame.fault != Fault::NoReply;
    // A replayed reply holds just the bytes that were read: short already.
    bool shortRead = !Replayed(u, frame, reply, due, answered) && frame.fault == Fault::ShortRead;
    frame.replyLength = static_cast<std::uint8_t>(std::min<std::size_t>(reply.size(), 2));
    std::memcpy(frame.reply, reply.data(), frame.replyLength);
    if (!reply.empty() && answered) {
        // Replies reach the bridge in the order they are due, not sent.
        auto later = std::find_if(u.queue.begin(), u.queue.end(), [due](const Reply& r) {
            return static_cast<std::int32_t>(r.due - due) > 0;
        });
        u.queue.insert(later, {due, reply, shortRead});
    }
    u.frames.push_back(frame);
    if (u.environment) u.environment->OnFrame(frame);
}

static bool Arrived(const Reply& reply, DWORD now) {
    return static_cast<std::int32_t>(now - reply.due) >= 0;
}

DWORD Waiting() {
    Unit& u = U();
    DWORD now = u.environment ? u.environment->Now() : 0;
    DWORD waiting = 0;
    for (const Reply& reply : u.queue)
        if (Arrived(reply, now)) waiting += static_cast<DWORD>(reply.bytes.size());
    // Only a check that follows an empty check, with no time passed between,
    // is inside a busy wait; the first one after a write, or the look for
    // stale replies after a pause, costs no time.
    bool busyWait = u.lastCheckEmpty && u.lastCheckTime == now;
    if (waiting == 0 && busyWait && u.environment) u.environment->Idle();
    u.lastCheckEmpty = waiting == 0;
    u.lastCheckTime = u.environment ? u.environment->Now() : 0;
    return waiting;
}

DWORD Take(BYTE* buffer, DWORD wanted) {
    Unit& u = U();
    u.lastCheckEmpty = false;
    DWORD now = u.environment ? u.environment->Now() : 0;
    DWORD taken = 0;
    while (taken < wanted && !u.queue.empty() && Arrived(u.queue.front(), now)) {
        Reply& reply = u.queue.front();
        // A short read delivers one byte fewer than this read asks for.
        DWORD limit = reply.shortRead && wanted > 0 ? wanted - 1 : wanted;
        while (taken < limit && !reply.bytes.empty()) {
            buffer[taken++] = reply.bytes.front();
            reply.bytes.erase(reply.bytes.begin());
        }
        if (reply.shortRead) {
            u.queue.pop_front();
            break;
        }
        if (reply.bytes.empty()) u.queue.pop_front();
    }
    return taken;
}

}  // namespace bridge
}  // namespace sim

// A simulated SORVIK unit behind the bridge library's eight operations: the
// bridge (attached devices, handles, receive queue with latency), the unit's
// controller (modes, speed, ready query, SPI pass-through, page program) and
// an SPI NOR flash. Faults can be injected per frame or per library call.
// The only code that knows the unit's side of the frames.
#pragma once
#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "device/bridge_ops.h"

namespace sim {

enum class FrameKind : std::uint8_t {
    Mode, Speed, Ready, WriteEnable, Erase, Status, Program, Unknown,
    Any,  // in a fault: counts every frame
};

enum class Fault : std::uint8_t {
    None,
    NoReply,      // the frame is taken but never answered
    LateReply,    // answered lateByMs after the frame, past the reply window
    WrongReply,   // the reply's first byte has its low bit flipped
    ShortRead,    // the read of this reply delivers one byte fewer than asked
    StuckBusy,    // from this frame on the flash reports busy and ignores commands
    WrongStatus,  // a status read answers not busy (bit 0 clear) while busy
    DropProgram,  // a page program is acknowledged but not applied
};

struct FrameFault {
    FrameKind kind;
    int occurrence;  // 1 = the first frame of that kind (of any kind with Any)
    Fault fault;
};

struct CallFault {
    BridgeOp op;
    int call;  // 1 = the first call of that operation; 0 = every call
};

struct Device {
    std::string serial;
    std::string product = "SORVIK";
};

// A frame of a recorded run (a field trace) and what reached the program
// for it: the unit answers a replay with these, in the order written.
struct ReplayedFrame {
    std::vector<BYTE> bytes;  // as the program wrote it in the recording
    bool answered = false;    // a reply byte came (within the program's window or after it)
    DWORD delayMs = 0;        // from the write to the first check that saw the reply
    std::vector<BYTE> reply;  // the bytes the program read for it (fewer than asked: a short read)
    int failedChecks = 0;     // receive-queue checks that failed while it waited
};

struct Settings {
    std::vector<Device> devices{Device{"2025"}};
    DWORD roundTripMs = 1;    // from a frame to its reply
    DWORD eraseMs = 150;      // a 64 KiB sector erase keeps the flash busy this long
    DWORD programMs = 0;      // a page program, added before its acknowledgement
    DWORD lateByMs = 2500;    // how long after its frame a late reply comes
    int notReadyAnswers = 0;  // "not ready" answers after each write mode; -1: never ready
    BYTE flashFill = 0xFF;    // flash content at the start
    bool failedCountWrites = true;  // a failing count still leaves the count behind
    std::vector<FrameFault> frameFaults;
    std::vector<CallFault> callFaults;
    std::vector<ReplayedFrame> replay;  // not empty: answer as this recorded run did
};

const int MaxRecordedFrame = 40;

// One frame received and what the unit did with it.
struct Frame {
    DWORD time;
    FrameKind kind;
    Fault fault;
    bool applied;  // the flash carried the command out
    std::uint8_t length;
    std::uint8_t replyLength;
    int writesBefore;  // library calls made before this frame's write,
    int readsBefore;   // so a test can aim a call failure at one frame
    int checksBefore;
    BYTE bytes[MaxRecordedFrame];
    BYTE reply[2];
    std::vector<BYTE> Bytes() const { return std::vector<BYTE>(bytes, bytes + length); }
    std::vector<BYTE> Reply() const { return std::vector<BYTE>(reply, reply + replyLength); }
};

// One call of the bridge library's operations with the arguments it was given.
struct Call {
    BridgeOp op;
    int number;       // 1 = the first call of this operation
    bool failed;      // an injected failure hit it
    HANDLE handle;    // the operations on a handle: the handle passed
    DWORD index;      // GetDeviceString, Open: the device index
    DWORD kind;       // GetDeviceString: the string kind
    DWORD length;     // Read: bytes asked for; Write: bytes sent
    DWORD flags[2];   // Flush: the two flush flags
    bool lastNull;    // Read, Write: the last argument was null
    bool outGiven;    // the out-arguments were real places to write to
    BYTE lastByte;    // 2: the buffer's last byte as the program handed it over
};

const DWORD FlashSize = 0x200000;  // 2 MiB; addresses wrap beyond it
const DWORD SectorSize = 0x10000;

// Where the simulated unit gets its time and reports its calls.
class Environment {
public:
    virtual ~Environment() = default;
    virtual DWORD Now() = 0;
    // A receive-queue check inside a busy wait found nothing.
    virtual void Idle() = 0;
    // Every library call, once it is known whether an injected failure hits it.
    virtual void OnCall(const Call& call) = 0;
    virtual void OnWriteMode(const std::vector<BYTE>& flash) { (void)flash; }
    virtual void OnFrame(const Frame& frame) { (void)frame; }
    virtual void OnClose(const std::vector<BYTE>& flash) { (void)flash; }
};

// A fresh bridge and unit with the given settings; environment is kept, not owned.
void Configure(const Settings& settings, Environment* environment);

const Settings& CurrentSettings();
const std::vector<Frame>& Frames();
std::vector<Frame> FramesOf(FrameKind kind);
const std::vector<BYTE>& Flash();
// The flash as it stood at every write mode (0xD9), in order.
const std::vector<std::vector<BYTE>>& WriteModeSnapshots();
int CallCount(BridgeOp op);
// Every library call in order.
const std::vector<Call>& Calls();
int FailedCalls();
bool DeviceOpen();
HANDLE HandleOf(DWORD deviceIndex);
// Frames received while the flash was busy and therefore ignored.
int IgnoredWhileBusy();

// Where the program's frames departed from a replayed recording: empty while
// they follow it. From there on the unit answers as a live one.
const std::string& ReplayDeparture();

const char* KindName(FrameKind kind);
const char* FaultName(Fault fault);

}  // namespace sim

// What the user and the unit must see, written down once for every test: the
// texts with their trailing blanks, the message boxes, the frames and their
// replies, the image regions, the fatal codes and the pauses. Nothing here is
// taken from the product: a wrong entry in its tables must fail a test.
#pragma once
#include <windows.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace expected {

// --- status lines: every text starts at x 10 ----------------------------------
const int X = 10;
const int LineStatus = 10;
const int LineVersion = 30;
const int LinePart = 40;
const int LineClosing1 = 60;
const int LineClosing2 = 80;
const int LineClosing3 = 100;

// The words of a text and its trailing blanks, as stored and drawn.
inline std::wstring Padded(const wchar_t* words, std::size_t blanks) {
    return words + std::wstring(blanks, L' ');
}

// The words alone, without the trailing blanks, as the screen shows them.
inline std::wstring Words(const std::wstring& text) {
    return text.substr(0, text.find_last_not_of(L' ') + 1);
}

// --- the window and the About box (resources of the Windows program) ----------
inline const std::wstring WindowTitle = L"Sorvik Fpga Update";  // string 103
inline const std::wstring WindowClass = L"SORVIK UPDATE";       // string 109
const int WindowWidth = 300;  // outer size, frame, caption and menu included
const int WindowHeight = 200;
inline const std::wstring AboutTexts[2] = {L"Sorvik Fpga Update", L"Loader Version 1.0_120_xp"};

// --- texts drawn -------------------------------------------------------------
// Introduction (drawn by the Windows shell only).
inline const std::wstring IntroHeading = L"SORVIK FPGA UPDATE";
inline const std::wstring IntroVersion = L"Version: 1.45-1013";
inline const std::wstring IntroConnect = L"Connect USB cable to Sorvik";
inline const std::wstring IntroCloseOthers = L"Close other software (e.g. GUI)";
struct Line {
    int y;
    std::wstring text;
};
inline const Line Intro[4] = {
    {LineStatus, IntroHeading}, {LineVersion, IntroVersion}, {LineClosing2, IntroConnect}, {LineClosing3, IntroCloseOthers}};

// Device link.
inline const std::wstring ShortRead = Padded(L"BytesRead not same as datalength", 16);
// Indexed by fatal code 1 to 8; codes 6 and 8 differ only in one blank.
inline const std::wstring FatalTexts[9] = {
    L"",
    Padded(L"SPI Speed error", 21),
    Padded(L"Select Flash error", 18),
    Padded(L"Boot error", 26),
    Padded(L"Flash Read error", 20),
    Padded(L"Write error", 25),
    Padded(L"Chip Erase error", 20),
    Padded(L"Chip Write error", 20),
    Padded(L"Chip Erase error", 21),
};

// Device command set.
const BYTE Normal = 0xD6;
const BYTE Reset = 0xD8;
const BYTE Write = 0xD9;
const BYTE Update = 0xDB;
const BYTE UpdateOk = 0xDC;
const BYTE SpeedCode = 0xD5;
struct Mode {
    BYTE code;
    std::wstring text;
};
inline const Mode Modes[5] = {
    {Normal, Padded(L"FPGA normal", 29)},
    {Reset, Padded(L"FPGA reset active", 16)},
    {Write, Padded(L"Write active, please wait...", 6)},
    {Update, Padded(L"Update process, please wait", 7)},
    {UpdateOk, Padded(L"Update ok...", 22)},
};
// The text drawn before a mode frame; empty for a code without one.
std::wstring ModeText(BYTE code);
inline const std::wstring SpiSpeed = Padded(L"Spi speed = 12 MHz", 16);
inline const std::wstring SpeedRetransmit = Padded(L"Select Speed error:  retransmit...", 4);
inline const std::wstring ModeRetransmit = Padded(L"Reset FPGA error:  retransmit...", 15);

// Image writer.
inline const std::wstring WriteStarted = Padded(L"Flash write started...", 23);
inline const std::wstring WriteRetransmit = Padded(L"Flash Write ERROR: retransmit...", 10);
// The progress text for a value as shown ("0.3", "100.0").
inline const std::wstring ProgressLead = L"Flash write:  ";
inline std::wstring ProgressText(const std::wstring& shown) {
    return ProgressLead + shown + L" %" + std::wstring(33, L' ');
}
// The value shown with remaining of total payload bytes not yet acknowledged:
// 100 - (remaining / total) * 100, each step in single precision.
std::wstring ProgressShown(std::uint32_t remaining, std::uint32_t total);
const int ProgressCycle = 65;  // drawn before the 65th attempt, then every 65th

// Update worker.
inline const std::wstring Updating = Padded(L"Updating Firmware", 22);
inline const std::wstring PowerWarning = Padded(L"Do NOT turn power OFF", 18);
inline const std::wstring WritingPart[4] = {  // parts 2 to 5
    Padded(L"Writing part 2 ...", 14),
    Padded(L"Writing part 3 ...", 14),
    Padded(L"Writing part 4 ...", 14),
    Padded(L"Writing part 5 ...", 13),
};
inline const std::wstring UpdateOkText = Padded(L"FLASH update ok", 27);
inline const std::wstring BlankLine(42, L' ');
inline const std::wstring PowerCycle = Padded(L"Power cycle SORVIK", 12);
inline const std::wstring WaitAfterPowerUp = Padded(L"After power up, wait around 15 seconds", 4);
inline const std::wstring Reconfigure = Padded(L"SORVIK will reconfigure and start", 3);

// Standard output's one line.
inline const std::string WrongId = "Wrong ID\n";

// --- message boxes -------------------------------------------------------------
const UINT Ok = 0x00;
const UINT Warning = 0x30;
const UINT Information = 0x40;
inline const std::wstring CaptionCritical = L"Critical Error!!! ";
inline const std::wstring CaptionBlank = L" ";
inline const std::wstring CaptionFileMissing = L"File missing";

struct Box {
    std::wstring text;
    std::wstring caption;
    UINT type;
};
bool operator==(const Box& a, const Box& b);
std::ostream& operator<<(std::ostream& out, const Box& box);

inline const Box SerialStringBox{L"Error retrieving serial string!", CaptionBlank, Ok | Warning};
inline const Box NotConnectedBox{L"Usb device not connected!", CaptionBlank, Ok | Warning};
// The bridge "2025" was found, but its kind 2 string, open or flush failed.
inline const Box OpenFailedBox{L"Usb device could not be opened!", CaptionBlank, Ok | Warning};
inline const Box CloseFailedBox{L"Unable to close device handle!", CaptionBlank, Ok | Warning};
inline const Box SendFailedBox{L"Error Sending Code", CaptionBlank, Ok | Warning};
inline const Box QueueFailedBox{L"Error Checking Queue", CaptionBlank, Ok | Warning};
inline const Box ReadFailedBox{L"Error Reading Data", CaptionBlank, Ok | Warning};
inline const Box ModeFailedBox{L"ERROR Resetting FPGA!", CaptionCritical, Ok | Warning};
inline const Box SpeedFailedBox{L"ERROR Selecting Speed!", CaptionCritical, Ok | Warning};
inline const Box WriteEnableFailedBox{L"ERROR Write Enable!", CaptionCritical, Ok | Warning};
inline const Box SectorEraseFailedBox{L"Sector erase error!", CaptionCritical, Ok | Warning};
inline const Box FlashWriteFailedBox{L"Flash Write ERROR!", CaptionCritical, Ok | Warning};
inline const Box FatalBox{L" ", CaptionCritical, Ok | Warning};
inline const Box UpdateOkBox{L"FLASH update ok ", CaptionBlank, Ok | Information};
inline Box FileMissingBox(const std::wstring& name) {
    return {L"Input file " + name + L" not found", CaptionFileMissing, Ok | Warning};
}
// Our own refusals, where the image file's size is not to be trusted.
inline Box FileTooLargeBox(const std::wstring& name) {
    return {L"Input file " + name + L" is too large for its flash region", CaptionCritical, Ok | Warning};
}
inline Box FileUnreadableBox(const std::wstring& name) {
    return {L"Input file " + name + L" could not be read", CaptionCritical, Ok | Warning};
}
// After the "Wrong ID" line, which a windowed program's user never sees.
inline Box WrongIdBox(const std::wstring& name) {
    return {L"Wrong ID in input file " + name, CaptionCritical, Ok | Warning};
}

// --- fatal codes ----------------------------------------------------------------
const int FatalSpeed = 1;
const int FatalMode = 5;
const int FatalErase = 6;
const int FatalImage = 7;

// --- frames, byte for byte, and the replies that accept them ----------------------
using Frame = std::vector<BYTE>;
inline Frame ControllerFrame(BYTE code) { return {0x01, 0x01, code}; }  // echoed
inline const Frame ReadyQuery = {0x01, 0x01, 0xDA};
inline const Frame ReadyAnswer = {0xDA, 0x01};
inline const Frame WriteEnable = {0x00, 0x04, 0xD0, 0x06};
const BYTE WriteEnableReply = 0x26;
inline Frame EraseFrame(BYTE sector) { return {0x00, 0x07, 0xD0, 0xD8, sector, 0x00, 0x00}; }
inline BYTE EraseReply(BYTE sector) { return static_cast<BYTE>(0x51 - sector); }
inline const Frame StatusRead = {0x01, 0x01, 0xD0, 0x05};
const BYTE StatusBusy = 0x01;
// 00 n D7 02 a2 a1 a0, the n data bytes, and c with the data bytes plus c
// summing to 0 modulo 256.
Frame ProgramFrame(std::uint32_t address, const BYTE* data, std::size_t n);
const BYTE ProgramAck = 0xD7;
const std::size_t PieceBytes = 32;

// --- image regions ---------------------------------------------------------------------
const std::uint32_t SectorBytes = 0x10000;
struct Region {
    std::string id;
    std::uint32_t base;
    BYTE firstSector;
    BYTE sectorCount;
    std::uint32_t Size() const { return sectorCount * SectorBytes; }
};
inline const Region Regions[3] = {
    {"1A60", 0x000000, 0, 10},
    {"1A65", 0x0A0000, 10, 6},
    {"1A70", 0x100000, 16, 14},
};
const Region& RegionOf(const std::string& id);
const Region* FindRegion(const std::string& id);  // nullptr for an unknown kind
const std::uint32_t FlashBytes = 0x200000;
inline const std::string OsdId = "1A70";  // sets the OSD parts flag

// --- file names ----------------------------------------------------------------------------
inline const std::wstring MainImage = L"SORVIK-FPGA-1.45-1013.bin";
inline const std::wstring OsdParts[4] = {L"SORVIK.0.1.OSD.01.bin", L"SORVIK.0.1.OSD.02.bin",
                                         L"SORVIK.0.1.OSD.03.bin", L"SORVIK.0.1.OSD.04.bin"};
std::string Narrow(const std::wstring& text);

// --- the bridge library's arguments ------------------------------------------------------
inline const std::string Serial = "2025";
const int OpenOrdinal = 3;  // the open operation, as the simulated unit's settings name it
const DWORD SerialKind = 0;
const DWORD Kind2 = 2;
const DWORD FlushFlags[2] = {1, 1};

// --- pauses and bounds, in ms ---------------------------------------------------------------
const DWORD PauseMs = 1000;        // the worker's pauses and the pause before a resent piece
const DWORD ReadyPauseMs = 10;     // after a failed ready try
const DWORD ErasePauseMs = 3;      // once, before an erase run
const DWORD StatusPauseMs = 1;     // after every status read
const DWORD ReplyWindowMs = 2000;  // for the first reply byte
const int ReadyTries = 2000;
const DWORD EraseGiveUpMs = 10000;  // our bound on a flash that stays busy

// --- the field trace ------------------------------------------------------------------------
// The start record's maker error when the trace library finds itself there.
inline const std::string TraceItselfError = "is the trace library itself, not the maker's";
const DWORD TraceNoLibraryStatus = 255;  // every call's status when no maker's library is used

}  // namespace expected

#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"

// A FlashFrame without data: byte 0 is 01 only when the reply is a byte read
// from the flash, byte 1 is fixed per frame, byte 2 the pass-through, byte 3
// the flash's opcode, then the address where the command takes one.
static const BYTE WriteEnableFrame[4] = {0x00, 0x04, SpiPassThrough, FlashWriteEnable};
static const BYTE StatusReadFrame[4] = {0x01, 0x01, SpiPassThrough, FlashReadStatus};
static const BYTE StatusBusy = 0x01;
// A 64 KiB sector erases within a few seconds at worst; past this the flash is
// taken as stuck, or gone.
static const DWORD ErasePollLimitMs = 10000;

BYTE FlashChecksum(const BYTE* bytes, DWORD length) {
    BYTE sum = 0;
    for (DWORD i = 0; i < length; ++i) sum = static_cast<BYTE>(sum + bytes[i]);
    return static_cast<BYTE>(-sum);
}

// The controller answers a flash command with the frame's checksum.
static bool SendChecked(const BYTE* frame, DWORD length) {
    BYTE reply = 0;
    return ExchangeCommand(&reply, frame, 1, length) == 1 && reply == FlashChecksum(frame, length);
}

static bool WriteEnable() {
    return SendChecked(WriteEnableFrame, sizeof WriteEnableFrame);
}

// The sector's first address, most significant byte first.
static bool EraseSector(BYTE sector) {
    const BYTE frame[7] = {0x00, 0x07, SpiPassThrough, FlashSectorErase, sector, 0x00, 0x00};
    return SendChecked(frame, sizeof frame);
}

// The flash's status register; false when no reply came.
static bool ReadStatus(BYTE* status) {
    return ExchangeCommand(status, StatusReadFrame, 1, sizeof StatusReadFrame) == 1;
}

static BOOL EraseFailed(const WCHAR* text) {
    MessageBoxW(nullptr, text, CaptionCritical, MB_OK | MB_ICONWARNING);
    return FALSE;
}

// A status read without a reply never counts as not busy. The bound is
// measured from the start of each read, so time spent in front of a bridge
// failure box does not count against the flash: it is given up only when a
// read begun after the bound still finds it busy, or gets no reply.
static bool WaitWhileBusy() {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD began = GetTickCount();
        BYTE status = StatusBusy;
        bool answered = ReadStatus(&status);
        Sleep(1);
        if (answered && (status & StatusBusy) == 0) return true;
        if (began - start >= ErasePollLimitMs) return false;
    }
}

BOOL EraseSectors(BYTE firstSector, BYTE sectorCount) {
    Sleep(3);
    for (BYTE sector = firstSector; sector != static_cast<BYTE>(firstSector + sectorCount); ++sector) {
        if (!WriteEnable()) return EraseFailed(BoxWriteEnableFailed);
        if (!EraseSector(sector) || !WaitWhileBusy()) return EraseFailed(BoxSectorEraseFailed);
    }
    return TRUE;
}

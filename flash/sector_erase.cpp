#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"

static const BYTE WriteEnableFrame[4] = {0x00, 0x04, 0xD0, 0x06};
static const BYTE StatusReadFrame[4] = {0x01, 0x01, 0xD0, 0x05};
static const BYTE StatusBusy = 0x01;
// A 64 KiB sector erases within a few seconds at worst; past this the flash is
// taken as stuck, or gone.
static const DWORD ErasePollLimitMs = 10000;

BYTE FlashChecksum(const BYTE* bytes, DWORD length) {
    BYTE sum = 0;
    for (DWORD i = 0; i < length; ++i) sum = static_cast<BYTE>(sum + bytes[i]);
    return static_cast<BYTE>(-sum);
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
        bool answered = ExchangeCommand(&status, StatusReadFrame, 1, sizeof StatusReadFrame) == 1;
        Sleep(1);
        if (answered && (status & StatusBusy) == 0) return true;
        if (began - start >= ErasePollLimitMs) return false;
    }
}

BOOL EraseSectors(BYTE firstSector, BYTE sectorCount) {
    BYTE eraseFrame[7] = {0x00, 0x07, 0xD0, 0xD8, 0x00, 0x00, 0x00};
    BYTE reply = 0;
    Sleep(3);
    for (BYTE sector = firstSector; sector != static_cast<BYTE>(firstSector + sectorCount); ++sector) {
        if (ExchangeCommand(&reply, WriteEnableFrame, 1, sizeof WriteEnableFrame) != 1 ||
            reply != FlashChecksum(WriteEnableFrame, sizeof WriteEnableFrame))
            return EraseFailed(BoxWriteEnableFailed);
        eraseFrame[4] = sector;
        if (ExchangeCommand(&reply, eraseFrame, 1, sizeof eraseFrame) != 1 ||
            reply != FlashChecksum(eraseFrame, sizeof eraseFrame))
            return EraseFailed(BoxSectorEraseFailed);
        if (!WaitWhileBusy()) return EraseFailed(BoxSectorEraseFailed);
    }
    return TRUE;
}

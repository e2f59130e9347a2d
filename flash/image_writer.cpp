#include <cstdio>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "app/status_display.h"
#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "flash/image_file.h"

static const DWORD MaxPiece = 32;
static const DWORD FrameOverhead = 8;  // header, address and checksum
static const int ProgressCycle = 64;   // progress drawn before every 65th attempt
static const DWORD ResendPauseMs = 1000;

static void ShowProgress(DWORD remaining, DWORD total) {
    // Single precision at every step, as the unit's users have always seen it.
    float share = static_cast<float>(remaining) / static_cast<float>(static_cast<double>(total));
    float scaled = share * 100.0f;
    float percent = 100.0f - scaled;
    WCHAR text[FormatCapacity];
    FormatText(text, FormatProgress, static_cast<double>(percent), '%');
    ShowStatus(text, LineStatus);
}

// 00 n D7 02 a2 a1 a0, the n data bytes, and the checksum of the data alone.
static DWORD BuildProgramFrame(BYTE* frame, DWORD address, const BYTE* data, DWORD n) {
    frame[0] = 0x00;
    frame[1] = static_cast<BYTE>(n);
    frame[2] = SpiPageProgram;
    frame[3] = FlashPageProgram;
    frame[4] = static_cast<BYTE>(address >> 16);
    frame[5] = static_cast<BYTE>(address >> 8);
    frame[6] = static_cast<BYTE>(address);
    memcpy(frame + 7, data, n);
    frame[7 + n] = FlashChecksum(data, n);
    return n + FrameOverhead;
}

static BOOL ProgramPayload(const std::string& payload, DWORD baseAddress) {
    const BYTE* data = reinterpret_cast<const BYTE*>(payload.data());
    const DWORD total = static_cast<DWORD>(payload.size());
    DWORD offset = 0;
    int failures = 0;
    int attempts = 0;
    BYTE frame[MaxPiece + FrameOverhead];
    ShowStatus(TextWriteStarted, LineStatus);
    while (offset != total) {
        DWORD remaining = total - offset;
        DWORD n = remaining > MaxPiece ? MaxPiece : remaining;
        if (attempts == ProgressCycle) {
            attempts = 0;
            ShowProgress(remaining, total);
        } else {
            ++attempts;
        }
        DWORD length = BuildProgramFrame(frame, baseAddress + offset, data + offset, n);
        BYTE reply = 0;
        if (ExchangeCommand(&reply, frame, 1, length) == 1 && reply == SpiPageProgram) {
            offset += n;
            failures = 0;
            continue;
        }
        ShowStatus(TextWriteRetransmit, LineStatus);
        if (++failures == 2) {
            MessageBoxW(nullptr, BoxFlashWriteFailed, CaptionCritical, MB_OK | MB_ICONWARNING);
            return FALSE;
        }
        Sleep(ResendPauseMs);
    }
    return TRUE;
}

BOOL WriteImageFile(const WCHAR* fileName) {
    // Checked again here: the file may have changed since the update checked it.
    ImageFile image;
    const BOOL read = ReadImageFile(fileName, image);
    if (image.region && IsOsdImage(*image.region)) AppState.OsdPartsFlag = 1;
    if (read != 1) return FALSE;
    if (EraseSectors(image.region->firstSector, image.region->sectorCount) != 1) FatalStop(FatalChipErase);
    return ProgramPayload(image.payload, image.region->baseAddress);
}

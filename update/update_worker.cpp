#include "update/update_worker.h"

#include "app/app_state.h"
#include "app/status_display.h"
#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "flash/image_file.h"

const WCHAR MainImageName[] = L"SORVIK-FPGA-1.45-1013.bin";
static const WCHAR* const OsdPartNames[4] = {
    L"SORVIK.0.1.OSD.01.bin",
    L"SORVIK.0.1.OSD.02.bin",
    L"SORVIK.0.1.OSD.03.bin",
    L"SORVIK.0.1.OSD.04.bin",
};

static const DWORD PauseMs = 1000;

static void Mode(BYTE code) {
    if (SetFpgaMode(code) != 1) FatalStop(FatalWrite);
}

static void WriteImage(const WCHAR* fileName) {
    if (WriteImageFile(fileName) != 1) FatalStop(FatalChipWrite);
}

static void WriteOsdParts() {
    for (int part = 0; part < 4; ++part) {
        Mode(Normal);
        Mode(Write);
        WaitDeviceReady();  // not ready is no failure: the next mode command decides
        ShowStatus(TextWritingPart[part], LinePart);
        Mode(Reset);
        if (part == 0) Sleep(PauseMs);
        WriteImage(OsdPartNames[part]);
    }
    Mode(Normal);
    Mode(Normal);
    Mode(Write);
    WaitDeviceReady();
}

static void ShowClosingTexts() {
    ShowStatus(TextUpdateOk, LineStatus);
    ShowStatus(TextBlankLine, LineVersion);
    ShowStatus(TextPowerCycle, LineClosing1);
    ShowStatus(TextWaitAfterPowerUp, LineClosing2);
    ShowStatus(TextReconfigure, LineClosing3);
}

// Every file the update will write, in the order it writes them, checked
// as the writer checks it before the unit is touched: a bad part found only
// when its turn comes would leave the images before it erased and rewritten.
// The first file refused has shown its box.
static BOOL CheckImageFiles() {
    ImageFile image;
    if (ReadImageFile(MainImageName, image) != 1) return FALSE;
    // The flag is the writer's alone: set here, it would outlive a refused attempt.
    if (!IsOsdImage(*image.region)) return TRUE;
    for (const WCHAR* part : OsdPartNames)
        if (ReadImageFile(part, image) != 1) return FALSE;
    return TRUE;
}

// The ends that leave the program running let the command start again.
static DWORD EndWithoutUpdate() {
    InterlockedExchange(&AppState.UpdateRunning, 0);
    return 0;
}

DWORD WINAPI UpdateWorker(LPVOID) {
    {
        std::ifstream presence;
        if (!OpenImageFile(presence, MainImageName)) {
            WCHAR text[FormatCapacity];
            FormatText(text, FormatFileNotFound, MainImageName);
            MessageBoxW(nullptr, text, CaptionFileMissing, MB_OK | MB_ICONWARNING);
            return EndWithoutUpdate();
        }
    }
    if (CheckImageFiles() != 1) return EndWithoutUpdate();
    OpenDevice();
    if (AppState.DeviceHandle == INVALID_HANDLE_VALUE) return EndWithoutUpdate();

    ShowStatus(TextUpdating, LineStatus);
    ShowStatus(TextPowerWarning, LineVersion);
    Mode(Update);
    Mode(Normal);
    Sleep(PauseMs);
    if (SelectSpiSpeed() != 1) FatalStop(FatalSpiSpeed);
    Mode(Reset);
    Sleep(PauseMs);
    WriteImage(MainImageName);
    if (AppState.OsdPartsFlag == 1) WriteOsdParts();
    Sleep(PauseMs);
    Mode(Normal);
    Mode(UpdateOk);

    ShowClosingTexts();
    MessageBoxW(nullptr, BoxUpdateOk, CaptionBlank, MB_OK | MB_ICONINFORMATION);
    CloseDevice();
    PostMessageW(AppState.MainWindow, WM_CLOSE, 0, 0);  // destroyed by its own thread
    return 0;
}

#include "app/status_display.h"
#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"

// The frame is 01 01 code; the unit echoes the code. One retransmission,
// with no pause, then the retransmit text whatever its outcome.
static BOOL SendControllerCommand(BYTE code, const WCHAR* text, const WCHAR* retransmitText,
                                  const WCHAR* failureBox) {
    const BYTE frame[3] = {0x01, 0x01, code};
    BYTE echo = 0;
    if (text) ShowStatus(text, LineStatus);
    if (ExchangeCommand(&echo, frame, 1, sizeof frame) == 1 && echo == code) return TRUE;
    bool echoed = ExchangeCommand(&echo, frame, 1, sizeof frame) == 1 && echo == code;
    ShowStatus(retransmitText, LineStatus);
    if (echoed) return TRUE;
    MessageBoxW(nullptr, failureBox, CaptionCritical, MB_OK | MB_ICONWARNING);
    return FALSE;
}

static const WCHAR* ModeTextFor(BYTE code) {
    switch (code) {
    case Normal: return TextModeNormal;
    case Reset: return TextModeReset;
    case Write: return TextModeWrite;
    case Update: return TextModeUpdate;
    case UpdateOk: return TextModeUpdateOk;
    default: return nullptr;  // any other code is sent without a text
    }
}

BOOL SetFpgaMode(BYTE code) {
    return SendControllerCommand(code, ModeTextFor(code), TextModeRetransmit, BoxModeFailed);
}

BOOL SelectSpiSpeed() {
    return SendControllerCommand(SelectSpeed12MHz, TextSpiSpeed, TextSpeedRetransmit, BoxSpeedFailed);
}

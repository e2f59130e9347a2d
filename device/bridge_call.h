// How the device link calls the bridge library: each call alone under
// DeviceLock, and a failed call's box.
#pragma once
#include <windows.h>

#include "app/app_state.h"
#include "app/texts.h"
#include "device/bridge.h"

// Takes DeviceLock for the one call and releases it right after, so that no
// two library calls overlap and the lock is never held across a box, a wait
// or a drawing.
template <typename Call>
BridgeStatus LockedBridgeCall(Call call) {
    EnterCriticalSection(&AppState.DeviceLock);
    BridgeStatus status = call();
    LeaveCriticalSection(&AppState.DeviceLock);
    return status;
}

// Every failure of the bridge library is shown alike: caption " ", warning icon.
inline void ShowBridgeError(const WCHAR* text) {
    MessageBoxW(nullptr, text, CaptionBlank, MB_OK | MB_ICONWARNING);
}

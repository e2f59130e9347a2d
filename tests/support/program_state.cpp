#include "tests/support/program_state.h"

#include <cstdint>
#include <cstring>

#include "app/app_state.h"

void ResetProgramState() {
    std::memset(static_cast<void*>(&AppState), 0, sizeof AppState);
    AppState.DeviceHandle = INVALID_HANDLE_VALUE;
    AppState.MainWindow = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(0x1234));
}

#include "app/app_state.h"

// No device is open at the start.
ProgramState AppState = {nullptr, nullptr, {}, {}, INVALID_HANDLE_VALUE, {}, FALSE, 0, 0, 0, 0};

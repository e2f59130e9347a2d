#include "app/app_state.h"

ProgramState AppState;

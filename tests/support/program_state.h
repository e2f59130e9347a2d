// The program's state as a fresh start leaves it, before any window exists:
// no bridge open, no update running, and a stand-in main window handle.
#pragma once

void ResetProgramState();

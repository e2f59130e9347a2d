// The simulated unit as a drop-in SiUSBXp.dll on the real clock, so that the
// Windows program can run against it (under Wine). Settings come from the
// file named by SORVIK_SIM_SETTINGS (unset: one healthy unit "2025"). Into the
// settings' output folder, else SORVIK_SIM_OUTPUT, else the current directory:
//   trace.txt        a line per frame: "<ms> <kind> <fault> > <frame bytes> <"
//                    then " XX" per reply byte the unit made (made but never
//                    sent under no_reply); ms since the library was loaded
//   calls.txt        a line per injected call failure: "<ms> <ordinal> <call>"
//   flash-N.bin      the whole flash at the N-th write mode (0xD9)
//   flash-final.bin  the whole flash at close; at unload unless closed since the last frame
//   error.txt        a settings or output problem per line; absent when none
#include <windows.h>

#include "sim/dll_settings.h"
#include "sim/real_time_environment.h"

namespace {

// Static, so that its log buffers need no heap at unload.
sim::RealTimeEnvironment environment;

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) sim::LoadSettings(environment);
    if (reason == DLL_PROCESS_DETACH) environment.Unload();
    return TRUE;
}

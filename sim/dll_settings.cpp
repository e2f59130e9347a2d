#include "sim/dll_settings.h"

#include "platform/windows_utf8.h"
#include "sim/dll_files.h"
#include "sim/replay.h"
#include "sim/settings_file.h"

namespace sim {
namespace {

// The settings file's folder, else SORVIK_SIM_OUTPUT, else the current
// directory; made absolute now, with a trailing separator.
std::wstring OutputFolder(const std::string& fromSettings) {
    std::wstring folder = fromSettings.empty() ? EnvironmentVariable(L"SORVIK_SIM_OUTPUT") : WideFromUtf8(fromSettings);
    if (folder.empty()) folder = L".";
    wchar_t full[MAX_PATH * 4];
    DWORD length = GetFullPathNameW(folder.c_str(), MAX_PATH * 4, full, nullptr);
    if (length > 0 && length < MAX_PATH * 4) folder.assign(full, length);
    if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
    return folder;
}

// A relative trace is beside the settings file.
std::wstring ReplayPath(const std::wstring& settingsPath, const std::wstring& trace) {
    bool absolute = trace.size() > 1 && (trace[1] == L':' || trace[0] == L'\\' || trace[0] == L'/');
    std::size_t slash = settingsPath.find_last_of(L"\\/");
    if (absolute || slash == std::wstring::npos) return trace;
    return settingsPath.substr(0, slash + 1) + trace;
}

void LoadReplay(const std::wstring& path, Settings& settings, RealTimeEnvironment& environment) {
    std::string trace;
    std::string error = ReadWholeFile(path, trace) ? ApplyReplay(trace, settings)
                                                   : "replay: cannot read " + Utf8FromWide(path);
    if (!error.empty()) environment.Report(error);
}

}  // namespace

void LoadSettings(RealTimeEnvironment& environment) {
    SettingsFile file;  // one healthy unit "2025", erased flash
    std::wstring path = EnvironmentVariable(L"SORVIK_SIM_SETTINGS");
    std::string text;
    if (!path.empty()) {
        if (ReadWholeFile(path, text))
            file = ParseSettings(text);
        else
            file.error = "cannot read settings file " + Utf8FromWide(path);
    }
    environment.Start(OutputFolder(file.output));
    // A bad line is reported, and the unit runs with the lines understood.
    if (!file.error.empty()) environment.Report(file.error);
    if (!file.replay.empty()) LoadReplay(ReplayPath(path, WideFromUtf8(file.replay)), file.settings, environment);
    Configure(file.settings, &environment);
}

}  // namespace sim

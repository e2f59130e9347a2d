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

#include <string>
#include <vector>

#include "sim/replay.h"
#include "sim/settings_file.h"
#include "sim/sim.h"

namespace {

std::wstring Widen(const std::string& text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                     nullptr, nullptr);
    std::string narrow(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr,
                        nullptr);
    return narrow;
}

// Empty when unset or empty.
std::wstring EnvironmentVariable(const wchar_t* name) {
    DWORD size = GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0) return L"";
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(name, &value[0], size));
    return value;
}

bool ReadWholeFile(const std::wstring& path, std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char chunk[4096];
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) text.append(chunk, got);
    CloseHandle(file);
    return ok;
}

bool WriteWholeFile(const std::wstring& path, const void* data, DWORD size, DWORD creation = CREATE_ALWAYS) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, creation,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    if (creation == OPEN_ALWAYS) SetFilePointer(file, 0, nullptr, FILE_END);
    DWORD written = 0;
    bool ok = WriteFile(file, data, size, &written, nullptr) != 0 && written == size;
    CloseHandle(file);
    return ok;
}

// A text file written through a fixed buffer. No heap and no C runtime: its
// last lines must still go out at unload, when the process may be ending
// with its other threads stopped anywhere, locks held.
class LogFile {
public:
    void Open(const std::wstring& path) {
        file_ = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    void Char(char c) {
        if (used_ == sizeof buffer_) Flush();
        buffer_[used_++] = c;
    }
    void Text(const char* text) {
        while (*text) Char(*text++);
    }
    void Number(unsigned long value) {
        char digits[12];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0);
        while (n > 0) Char(digits[--n]);
    }
    void Hex(BYTE value) {
        static const char digits[] = "0123456789ABCDEF";
        Char(digits[value >> 4]);
        Char(digits[value & 0x0F]);
    }
    void Flush() {
        DWORD written = 0;
        if (file_ != INVALID_HANDLE_VALUE && used_ > 0) WriteFile(file_, buffer_, used_, &written, nullptr);
        used_ = 0;
    }

private:
    HANDLE file_ = INVALID_HANDLE_VALUE;
    char buffer_[1 << 16];
    DWORD used_ = 0;
};

class RealTime : public sim::Environment {
public:
    void Start(const std::wstring& folder) {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
        folder_ = folder;
        finalPath_ = Path(L"flash-final.bin");
        // Outputs of an earlier run would pass for this one's.
        DeleteFileW(Path(L"error.txt").c_str());
        DeleteFileW(finalPath_.c_str());
        for (int n = 1; DeleteFileW(Path(DumpName(n)).c_str()); ++n) {
        }
        trace_.Open(Path(L"trace.txt"));
        calls_.Open(Path(L"calls.txt"));
    }

    void Report(const std::string& error) {
        std::string line = error + "\n";
        WriteWholeFile(Path(L"error.txt"), line.data(), static_cast<DWORD>(line.size()), OPEN_ALWAYS);
    }

    DWORD Now() override {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<DWORD>((now.QuadPart - start_.QuadPart) * 1000 / frequency_.QuadPart);
    }

    // The program busy-polls the receive queue: let its other thread run.
    void Idle() override { SwitchToThread(); }

    void OnCall(const sim::Call& call) override {
        if (!call.failed) return;
        calls_.Number(Now());
        calls_.Char(' ');
        calls_.Number(static_cast<unsigned long>(OrdinalOf(call.op)));
        calls_.Char(' ');
        calls_.Number(static_cast<unsigned long>(call.number));
        calls_.Text("\n");
    }

    void OnWriteMode(const std::vector<BYTE>& flash) override { Dump(Path(DumpName(++dumps_)), flash); }

    void OnFrame(const sim::Frame& frame) override {
        closed_ = false;
        if (!departureReported_ && !sim::ReplayDeparture().empty()) {
            departureReported_ = true;
            Report("replay: " + sim::ReplayDeparture() + "; answered as a live unit from there on");
        }
        trace_.Number(frame.time);
        trace_.Char(' ');
        trace_.Text(sim::KindName(frame.kind));
        trace_.Char(' ');
        trace_.Text(sim::FaultName(frame.fault));
        trace_.Text(" >");
        for (int i = 0; i < frame.length; ++i) {
            trace_.Char(' ');
            trace_.Hex(frame.bytes[i]);
        }
        trace_.Text(" <");
        for (int i = 0; i < frame.replyLength; ++i) {
            trace_.Char(' ');
            trace_.Hex(frame.reply[i]);
        }
        trace_.Text("\n");
    }

    void OnClose(const std::vector<BYTE>& flash) override {
        Dump(finalPath_, flash);
        Flush();
        closed_ = true;
    }

    // At unload: neither the unit's lock nor the heap, which a thread
    // stopped by the process's end may hold.
    void Unload() {
        if (!closed_) Dump(finalPath_, sim::Flash());
        Flush();
    }

private:
    static std::wstring DumpName(int n) { return L"flash-" + std::to_wstring(n) + L".bin"; }
    std::wstring Path(const std::wstring& name) const { return folder_ + name; }

    void Dump(const std::wstring& path, const std::vector<BYTE>& flash) {
        if (!WriteWholeFile(path, flash.data(), static_cast<DWORD>(flash.size())))
            Report("cannot write " + Narrow(path));
    }

    void Flush() {
        trace_.Flush();
        calls_.Flush();
    }

    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
    std::wstring folder_;
    std::wstring finalPath_;
    LogFile trace_;
    LogFile calls_;
    int dumps_ = 0;
    bool closed_ = false;
    bool departureReported_ = false;
};

RealTime environment;

// The settings file's folder, else SORVIK_SIM_OUTPUT, else the current
// directory; made absolute now, with a trailing separator.
std::wstring OutputFolder(const std::string& fromSettings) {
    std::wstring folder = fromSettings.empty() ? EnvironmentVariable(L"SORVIK_SIM_OUTPUT") : Widen(fromSettings);
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

void Replay(const std::wstring& path, sim::Settings& settings) {
    std::string trace;
    std::string error = ReadWholeFile(path, trace) ? sim::ApplyReplay(trace, settings)
                                                   : "replay: cannot read " + Narrow(path);
    if (!error.empty()) environment.Report(error);
}

void Start() {
    sim::SettingsFile file;  // one healthy unit "2025", erased flash
    std::wstring path = EnvironmentVariable(L"SORVIK_SIM_SETTINGS");
    std::string text;
    if (!path.empty()) {
        if (ReadWholeFile(path, text))
            file = sim::ParseSettings(text);
        else
            file.error = "cannot read settings file " + Narrow(path);
    }
    environment.Start(OutputFolder(file.output));
    // A bad line is reported, and the unit runs with the lines understood.
    if (!file.error.empty()) environment.Report(file.error);
    if (!file.replay.empty()) Replay(ReplayPath(path, Widen(file.replay)), file.settings);
    sim::Configure(file.settings, &environment);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) Start();
    if (reason == DLL_PROCESS_DETACH) environment.Unload();
    return TRUE;
}

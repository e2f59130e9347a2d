#include "sim/real_time_environment.h"

#include "platform/windows_utf8.h"
#include "sim/dll_files.h"
#include "sim/replay.h"

namespace sim {
namespace {

std::wstring DumpName(int n) { return L"flash-" + std::to_wstring(n) + L".bin"; }

}  // namespace

void RealTimeEnvironment::Start(const std::wstring& folder) {
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

void RealTimeEnvironment::Report(const std::string& error) {
    std::string line = error + "\n";
    WriteWholeFile(Path(L"error.txt"), line.data(), static_cast<DWORD>(line.size()), OPEN_ALWAYS);
}

DWORD RealTimeEnvironment::Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<DWORD>((now.QuadPart - start_.QuadPart) * 1000 / frequency_.QuadPart);
}

// The program busy-polls the receive queue: let its other thread run.
void RealTimeEnvironment::Idle() { SwitchToThread(); }

void RealTimeEnvironment::OnCall(const Call& call) {
    if (!call.failed) return;
    calls_.Number(Now());
    calls_.Char(' ');
    calls_.Number(static_cast<unsigned long>(OrdinalOf(call.op)));
    calls_.Char(' ');
    calls_.Number(static_cast<unsigned long>(call.number));
    calls_.Text("\n");
}

void RealTimeEnvironment::OnWriteMode(const std::vector<BYTE>& flash) { Dump(Path(DumpName(++dumps_)), flash); }

void RealTimeEnvironment::OnFrame(const Frame& frame) {
    closed_ = false;
    if (!departureReported_ && !ReplayDeparture().empty()) {
        departureReported_ = true;
        Report("replay: " + ReplayDeparture() + "; answered as a live unit from there on");
    }
    trace_.Number(frame.time);
    trace_.Char(' ');
    trace_.Text(KindName(frame.kind));
    trace_.Char(' ');
    trace_.Text(FaultName(frame.fault));
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

void RealTimeEnvironment::OnClose(const std::vector<BYTE>& flash) {
    Dump(finalPath_, flash);
    Flush();
    closed_ = true;
}

void RealTimeEnvironment::Unload() {
    if (!closed_) Dump(finalPath_, Flash());
    Flush();
}

void RealTimeEnvironment::Dump(const std::wstring& path, const std::vector<BYTE>& flash) {
    if (!WriteWholeFile(path, flash.data(), static_cast<DWORD>(flash.size())))
        Report("cannot write " + Utf8FromWide(path));
}

void RealTimeEnvironment::Flush() {
    trace_.Flush();
    calls_.Flush();
}

}  // namespace sim

// The simulated unit on the real clock, as the DLL runs it: it writes what
// the unit saw into an output folder (the files are listed in dll_main.cpp).
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "sim/log_file.h"
#include "sim/sim.h"

namespace sim {

class RealTimeEnvironment : public Environment {
public:
    // folder ends in a separator; outputs of an earlier run there are removed.
    void Start(const std::wstring& folder);
    // A line in error.txt.
    void Report(const std::string& error);

    DWORD Now() override;
    void Idle() override;
    void OnCall(const Call& call) override;
    void OnWriteMode(const std::vector<BYTE>& flash) override;
    void OnFrame(const Frame& frame) override;
    void OnClose(const std::vector<BYTE>& flash) override;

    // At unload: neither the unit's lock nor the heap, which a thread
    // stopped by the process's end may hold.
    void Unload();

private:
    std::wstring Path(const std::wstring& name) const { return folder_ + name; }
    void Dump(const std::wstring& path, const std::vector<BYTE>& flash);
    void Flush();

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

}  // namespace sim

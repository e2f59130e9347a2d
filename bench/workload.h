// The images and the fresh start that the benchmark and the callgrind
// workload share.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "device/device_link.h"
#include "platform/host_platform.h"
#include "sim/host_environment.h"
#include "sim/sample_images.h"
#include "sim/sim.h"

namespace workload {

const std::size_t KiB = 1024;

struct Image {
    const char* name;
    const wchar_t* wideName;
    const char* id;
    std::size_t size;
    std::uint32_t seed;
    DWORD base;
    int sectors;
};

// Where each kind of image goes, kept here rather than taken from the
// product, so that a wrong table there shows as a wrong flash.
inline Image Kind(const char* name, const wchar_t* wideName, const char* id, std::size_t size, std::uint32_t seed) {
    if (std::strcmp(id, "1A60") == 0) return {name, wideName, id, size, seed, 0x000000, 10};
    if (std::strcmp(id, "1A65") == 0) return {name, wideName, id, size, seed, 0x0A0000, 6};
    return {name, wideName, id, size, seed, 0x100000, 14};
}

// Makes a folder of its own, works in it, and leaves it again at exit.
inline void EnterFolder() {
    static std::string folder;
    char pattern[] = "/tmp/sorvik-bench-XXXXXX";
    if (!mkdtemp(pattern) || chdir(pattern) != 0) std::abort();
    folder = pattern;
    std::atexit([] {
        std::string remove = "rm -rf '" + folder + "'";
        if (std::system(remove.c_str()) != 0) std::abort();
    });
}

inline std::vector<unsigned char> Write(const Image& image) {
    std::vector<unsigned char> payload = sim::SamplePayload(image.seed, image.size);
    if (!sim::WriteFileBytes(image.name, sim::ImageBytes(image.id, payload))) std::abort();
    return payload;
}

inline bool RegionHolds(const std::vector<BYTE>& flash, const Image& image, const std::vector<unsigned char>& payload) {
    const BYTE* base = flash.data() + image.base;
    if (std::memcmp(base, payload.data(), payload.size()) != 0) return false;
    for (std::size_t i = payload.size(); i < static_cast<std::size_t>(image.sectors) * sim::SectorSize; ++i)
        if (base[i] != 0xFF) return false;
    return true;
}

// A fresh host layer, program state and unit; the bridge opened if asked.
inline void Fresh(const sim::Settings& settings, bool open) {
    host::Reset();
    std::memset(static_cast<void*>(&AppState), 0, sizeof AppState);
    AppState.DeviceHandle = INVALID_HANDLE_VALUE;
    AppState.MainWindow = reinterpret_cast<HWND>(0x1234);
    sim::Configure(settings, &sim::HostEnvironment());
    if (open) {
        OpenDevice();
        if (AppState.DeviceHandle == INVALID_HANDLE_VALUE) std::abort();
    }
}

}  // namespace workload

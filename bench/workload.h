// The images and the fresh start that the benchmark and the callgrind
// workload share.
#pragma once
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "device/device_link.h"
#include "platform/host_platform.h"
#include "sim/host_environment.h"
#include "sim/sample_images.h"
#include "sim/sim.h"
#include "tests/support/program_state.h"
#include "tests/support/region_check.h"
#include "tests/support/samples.h"

namespace workload {

using Image = samples::Image;
using samples::KiB;

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
    if (!sim::WriteFileBytes(expected::Narrow(image.name), sim::ImageBytes(image.id, payload))) std::abort();
    return payload;
}

// The region where the image's kind goes holds it, as the tests check it.
inline bool RegionHolds(const std::vector<BYTE>& flash, const Image& image, const std::vector<unsigned char>& payload) {
    return ::RegionHolds(flash, image.id, payload);
}

// A fresh host layer, program state and unit; the bridge opened if asked.
inline void Fresh(const sim::Settings& settings, bool open) {
    host::Reset();
    ResetProgramState();
    sim::Configure(settings, &sim::HostEnvironment());
    if (open) {
        OpenDevice();
        if (AppState.DeviceHandle == INVALID_HANDLE_VALUE) std::abort();
    }
}

}  // namespace workload

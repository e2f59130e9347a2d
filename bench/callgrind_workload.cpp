// A small fixed workload for bench/callgrind.sh: a 64 KiB "1A70" image
// written with the bridge already open. callgrind.sh collects inside
// WriteImageFile only and takes off what the wrapped calls into the unit and
// the host layer cost (bench/probes.cpp), which leaves our own code.
#include <cstdio>

#include "bench/workload.h"
#include "flash/flash_programming.h"

int main() {
    workload::EnterFolder();
    const workload::Image image = {L"workload.bin", expected::OsdId, 64 * workload::KiB, 9};
    const std::vector<unsigned char> payload = workload::Write(image);
    workload::Fresh(sim::Settings{}, true);
    BOOL result = WriteImageFile(image.name.c_str());
    if (result != TRUE || !workload::RegionHolds(sim::Flash(), image, payload)) {
        std::fprintf(stderr, "the workload did not write its image\n");
        return 1;
    }
    std::size_t program = sim::FramesOf(sim::FrameKind::Program).size();
    std::printf("page-program frames: %zu\n", program);
    std::printf("all frames: %zu\n", sim::Frames().size());
    return 0;
}

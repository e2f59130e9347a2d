// The program's record as the program starts. Every other test begins from a
// record it sets itself, so this one runs in a program of its own, before
// anything else has touched the record.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "app/app_state.h"
#include "device/device_link.h"
#include "platform/host_platform.h"
#include "sim/host_environment.h"
#include "sim/sample_images.h"
#include "tests/support/expected.h"
#include "update/update_worker.h"

namespace {

namespace ex = expected;

// A "1A60" main image with all four OSD part files beside it: right after the
// start, the update writes the main image only, and its end carries code 0.
TEST(ProgramStart, TheFirstUpdateStartsFromNothing) {
    EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(AppState.OsdPartsFlag, 0);
    EXPECT_EQ(AppState.UpdateRunning, 0);  // the first choice of the command starts a worker
    EXPECT_EQ(ProcessExitCode(0), 0);

    char folder[] = "/tmp/sorvik-start-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    ASSERT_EQ(chdir(folder), 0);
    const auto main = sim::SamplePayload(1, 3000);
    ASSERT_TRUE(sim::WriteFileBytes(ex::Narrow(ex::MainImage), sim::ImageBytes("1A60", main)));
    for (const std::wstring& part : ex::OsdParts)
        ASSERT_TRUE(sim::WriteFileBytes(ex::Narrow(part), sim::ImageBytes("1A65", sim::SamplePayload(2, 100))));
    sim::Configure(sim::Settings{}, &sim::HostEnvironment());

    EXPECT_EQ(host::RunTrappingExit([] { EXPECT_EQ(UpdateWorker(nullptr), 0u); }), std::nullopt);

    EXPECT_EQ(host::DestroyRequests(), 1);
    EXPECT_EQ(ProcessExitCode(0), 0);
    for (const host::Draw& draw : host::Draws()) EXPECT_NE(draw.y, ex::LinePart) << "an OSD part was written";
    EXPECT_EQ(sim::WriteModeSnapshots().size(), 0u);  // no write mode: no part
    const auto& flash = sim::Flash();
    EXPECT_TRUE(std::equal(main.begin(), main.end(), flash.begin() + ex::RegionOf("1A60").base));
    EXPECT_EQ(host::LockViolations(), std::vector<std::string>{});
    EXPECT_EQ(host::OpenDrawingContexts(), 0);
    std::system(("rm -rf '" + std::string(folder) + "'").c_str());
}

}  // namespace

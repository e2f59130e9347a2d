// The program's record as the program starts. Every other test begins from a
// record it sets itself, so this one runs in a program of its own, before
// anything else has touched the record.
#include <gtest/gtest.h>

#include <algorithm>

#include "device/device_link.h"
#include "tests/support/fixture.h"
#include "update/update_worker.h"

namespace {

namespace ex = expected;

// The usual working folder, unit and checks, with the record as it started.
class ProgramStart : public UnitTest {
protected:
    void SetUp() override {
        const ProgramState atStart = AppState;
        UnitTest::SetUp();
        AppState = atStart;
    }
};

// A "1A60" main image with all four OSD part files beside it: right after the
// start, the update writes the main image only, and its end carries code 0.
TEST_F(ProgramStart, TheFirstUpdateStartsFromNothing) {
    EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(AppState.OsdPartsFlag, 0);
    EXPECT_EQ(AppState.UpdateRunning, 0);  // the first choice of the command starts a worker
    EXPECT_EQ(ProcessExitCode(0), 0);

    const auto main = MakeImage(ex::Narrow(ex::MainImage), "1A60", 3000, 1);
    for (const std::wstring& part : ex::OsdParts) MakeImage(ex::Narrow(part), "1A65", 100, 2);

    EXPECT_EQ(host::RunTrappingExit([] { EXPECT_EQ(UpdateWorker(nullptr), 0u); }), std::nullopt);

    EXPECT_EQ(host::DestroyRequests(), 1);
    EXPECT_EQ(ProcessExitCode(0), 0);
    for (const host::Draw& draw : host::Draws()) EXPECT_NE(draw.y, ex::LinePart) << "an OSD part was written";
    EXPECT_EQ(sim::WriteModeSnapshots().size(), 0u);  // no write mode: no part
    EXPECT_TRUE(std::equal(main.begin(), main.end(), sim::Flash().begin() + ex::RegionOf("1A60").base));
}

}  // namespace

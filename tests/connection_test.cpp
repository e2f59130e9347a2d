#include <gtest/gtest.h>

#include "app/texts.h"
#include "device/device_link.h"
#include "tests/support/fixture.h"

namespace {

class Connection : public UnitTest {};

sim::Settings WithDevices(std::vector<std::string> serials) {
    sim::Settings s;
    s.devices.clear();
    for (auto& serial : serials) s.devices.push_back(sim::Device{serial});
    return s;
}

TEST_F(Connection, OpensTheFirstBridgeWhoseSerialIsExactly2025) {
    struct Case {
        std::vector<std::string> serials;
        int opened;  // index, or -1
    } cases[] = {
        {{"2025"}, 0},
        {{"1999", "2025"}, 1},
        {{"20250", "202", "2026", "2025", "2025"}, 3},
        {{"2025", "2025"}, 0},
        {{"20255"}, -1},
        {{}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.serials.size());
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        Attach(WithDevices(c.serials));
        OpenDevice();
        std::size_t searched = c.opened < 0 ? c.serials.size() : static_cast<std::size_t>(c.opened) + 1;
        // Serial strings of every index tried, then the kind-2 string of the match.
        EXPECT_EQ(sim::CallCount(2), static_cast<int>(searched) + (c.opened < 0 ? 0 : 1));
        if (c.opened < 0) {
            EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxNotConnected});
            EXPECT_EQ(host::LocksAlive(), 0);
            EXPECT_EQ(sim::CallCount(3), 0);
        } else {
            EXPECT_EQ(AppState.DeviceHandle, sim::HandleOf(static_cast<DWORD>(c.opened)));
            EXPECT_TRUE(BoxTexts().empty());
            EXPECT_EQ(sim::CallCount(9), 1);
            EXPECT_EQ(host::LocksAlive(), 1);
            CloseDevice();
            EXPECT_FALSE(sim::DeviceOpen());
        }
        EXPECT_EQ(host::LockViolations(), std::vector<std::string>{});
    }
}

TEST_F(Connection, KeepsTheWholePointerSizedHandle) {
    OpenDevice();
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(AppState.DeviceHandle),
              reinterpret_cast<std::uintptr_t>(sim::HandleOf(0)));
    if (sizeof(HANDLE) > 4) {
        EXPECT_NE(reinterpret_cast<std::uintptr_t>(AppState.DeviceHandle) >> 32, 0u);
    }
    CloseDevice();
}

TEST_F(Connection, FailingLibraryCalls) {
    struct Case {
        int ordinal;
        int call;
        std::vector<std::wstring> boxes;
        bool opened;
        int closes;
    } cases[] = {
        {1, 1, {BoxNotConnected}, false, 0},                   // count: nothing found
        {2, 1, {BoxSerialString, BoxNotConnected}, false, 0},  // the one serial unreadable
        {2, 2, {}, false, 0},                                  // kind-2 string
        {3, 1, {}, false, 0},                                  // open
        {9, 1, {}, false, 1},                                  // flush: the handle is closed again
        {4, 1, {BoxCloseFailed}, false, 1},                    // flush and then close fail
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ordinal " << c.ordinal << " call " << c.call);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        sim::Settings s;
        s.callFaults = {{c.ordinal, c.call}};
        if (c.ordinal == 4) s.callFaults.push_back({9, 1});
        Attach(s);
        OpenDevice();
        EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(BoxTexts(), c.boxes);
        EXPECT_EQ(sim::CallCount(4), c.closes);
        EXPECT_EQ(host::LocksAlive(), 0);
        EXPECT_EQ(host::LockViolations(), std::vector<std::string>{});
    }
}

TEST_F(Connection, SecondSerialReadAfterAFailedOne) {
    Attach(WithDevices({"2025", "2025"}));
    sim::Settings s = sim::CurrentSettings();
    s.callFaults = {{2, 1}};
    Attach(s);
    OpenDevice();
    EXPECT_EQ(AppState.DeviceHandle, sim::HandleOf(1));
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxSerialString});
    CloseDevice();
}

TEST_F(Connection, CloseTwiceMakesOneLibraryCall) {
    OpenDevice();
    CloseDevice();
    CloseDevice();
    EXPECT_EQ(sim::CallCount(4), 1);
    EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(BoxTexts().empty());
    EXPECT_EQ(host::LocksAlive(), 0);
}

TEST_F(Connection, FatalStopDrawsShowsClosesAndEndsWithCode1) {
    for (BYTE code = 1; code <= 8; ++code) {
        SCOPED_TRACE(static_cast<int>(code));
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        Attach();
        OpenDevice();
        std::optional<int> exit = host::RunTrappingExit([&] { FatalStop(code); });
        ASSERT_EQ(exit, 1);
        EXPECT_EQ(host::Draws().back().text, FatalTexts[code]);
        EXPECT_EQ(host::Draws().back().y, LineStatus);
        ASSERT_EQ(host::Boxes().size(), 1u);
        EXPECT_EQ(host::Boxes()[0].text, L" ");
        EXPECT_EQ(host::Boxes()[0].caption, L"Critical Error!!! ");
        EXPECT_EQ(host::Boxes()[0].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
        EXPECT_FALSE(sim::DeviceOpen());
        EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(host::DestroyRequests(), 1);
        EXPECT_EQ(host::Events().back(), "exit:1");
        EXPECT_EQ(host::LocksAlive(), 0);
    }
    EXPECT_EQ(wcslen(FatalTexts[8]), wcslen(FatalTexts[6]) + 1);
}

TEST_F(Connection, FatalStopOutsideTheTableDoesNothing) {
    OpenDevice();
    for (BYTE code : {0, 9, 255}) {
        EXPECT_EQ(host::RunTrappingExit([&] { FatalStop(code); }), std::nullopt);
    }
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(host::Boxes().empty());
    EXPECT_TRUE(sim::DeviceOpen());
    CloseDevice();
}

TEST_F(Connection, FatalStopWithNoDeviceStillEnds) {
    EXPECT_EQ(host::RunTrappingExit([] { FatalStop(7); }), 1);
    EXPECT_EQ(sim::CallCount(4), 0);
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{L" "});
}

}  // namespace

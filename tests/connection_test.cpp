#include <gtest/gtest.h>

#include "device/device_link.h"
#include "tests/support/fixture.h"

namespace {

namespace ex = expected;

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
        // The serial string (kind 0) of every index tried, in order, then the
        // kind-2 string of the match; every one into a buffer of its own.
        std::size_t searched = c.opened < 0 ? c.serials.size() : static_cast<std::size_t>(c.opened) + 1;
        std::vector<sim::Call> strings = CallsOf(BridgeOp::GetDeviceString);
        ASSERT_EQ(strings.size(), searched + (c.opened < 0 ? 0 : 1));
        for (std::size_t i = 0; i < strings.size(); ++i) {
            EXPECT_EQ(strings[i].index, i < searched ? i : searched - 1);
            EXPECT_EQ(strings[i].kind, i < searched ? ex::SerialKind : ex::Kind2);
            EXPECT_TRUE(strings[i].outGiven);
        }
        if (c.opened < 0) {
            EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
            EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::NotConnectedBox});
            EXPECT_EQ(host::LocksAlive(), 0);
            EXPECT_EQ(sim::CallCount(BridgeOp::Open), 0);
        } else {
            EXPECT_EQ(AppState.DeviceHandle, sim::HandleOf(static_cast<DWORD>(c.opened)));
            EXPECT_TRUE(BoxesShown().empty());
            ASSERT_EQ(CallsOf(BridgeOp::Open).size(), 1u);
            EXPECT_EQ(CallsOf(BridgeOp::Open)[0].index, static_cast<DWORD>(c.opened));
            // The flush, with both flags 1, on the handle just opened.
            ASSERT_EQ(CallsOf(BridgeOp::Flush).size(), 1u);
            const sim::Call flush = CallsOf(BridgeOp::Flush)[0];
            EXPECT_EQ(flush.flags[0], ex::FlushFlags[0]);
            EXPECT_EQ(flush.flags[1], ex::FlushFlags[1]);
            EXPECT_EQ(flush.handle, sim::HandleOf(static_cast<DWORD>(c.opened)));
            EXPECT_EQ(host::LocksAlive(), 1);
            CloseDevice();
            ASSERT_EQ(CallsOf(BridgeOp::Close).size(), 1u);
            EXPECT_EQ(CallsOf(BridgeOp::Close)[0].handle, sim::HandleOf(static_cast<DWORD>(c.opened)));
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
        BridgeOp op;
        int call;
        std::vector<ex::Box> boxes;
        int strings;  // string reads made
        int closes;
        bool countWritten = true;  // by the failing count
    } cases[] = {
        // The count fails yet leaves a count: the search still runs and finds
        // "2025", but the device is not opened.
        {BridgeOp::CountDevices, 1, {}, 1, 0},
        // The count fails and writes nothing: the search has nothing to look at.
        {BridgeOp::CountDevices, 1, {ex::NotConnectedBox}, 0, 0, false},
        {BridgeOp::GetDeviceString, 1, {ex::SerialStringBox, ex::NotConnectedBox}, 1, 0},  // the one serial unreadable
        // "2025" found but not opened: one box that says so, then the close sequence.
        {BridgeOp::GetDeviceString, 2, {ex::OpenFailedBox}, 2, 0},  // kind-2 string
        {BridgeOp::Open, 1, {ex::OpenFailedBox}, 2, 0},
        {BridgeOp::Flush, 1, {ex::OpenFailedBox}, 2, 1},  // the handle is closed again
        {BridgeOp::Close, 1, {ex::OpenFailedBox, ex::CloseFailedBox}, 2, 1},  // flush and then close fail
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "ordinal " << OrdinalOf(c.op) << " call " << c.call);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        sim::Settings s;
        s.callFaults = {{c.op, c.call}};
        s.failedCountWrites = c.countWritten;
        if (c.op == BridgeOp::Close) s.callFaults.push_back({BridgeOp::Flush, 1});
        Attach(s);
        OpenDevice();
        EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(sim::DeviceOpen(), c.op == BridgeOp::Close);  // only a failed close leaves it open
        EXPECT_EQ(BoxesShown(), c.boxes);
        EXPECT_EQ(sim::CallCount(BridgeOp::GetDeviceString), c.strings);
        EXPECT_EQ(sim::CallCount(BridgeOp::Open), c.op == BridgeOp::CountDevices || c.op == BridgeOp::GetDeviceString ? 0 : 1);
        EXPECT_EQ(sim::CallCount(BridgeOp::Close), c.closes);
        EXPECT_EQ(host::LocksAlive(), 0);
        EXPECT_EQ(host::LockViolations(), std::vector<std::string>{});
    }
}

TEST_F(Connection, SecondSerialReadAfterAFailedOne) {
    Attach(WithDevices({"2025", "2025"}));
    sim::Settings s = sim::CurrentSettings();
    s.callFaults = {{BridgeOp::GetDeviceString, 1}};
    Attach(s);
    OpenDevice();
    EXPECT_EQ(AppState.DeviceHandle, sim::HandleOf(1));
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::SerialStringBox});
    CloseDevice();
}

// A serial that fills all 256 bytes of the buffer with no zero after it: the
// program ends it at the buffer's last byte before comparing, so the search
// never reads past the buffer. It shows in the same buffer handed over for
// the next serial.
TEST_F(Connection, ASerialThatFillsTheBufferEndsAtItsLastByte) {
    const std::string full = "2025" + std::string(252, '0');
    Attach(WithDevices({full, "2025"}));
    OpenDevice();
    EXPECT_EQ(AppState.DeviceHandle, sim::HandleOf(1));
    EXPECT_TRUE(BoxesShown().empty());
    const std::vector<sim::Call> strings = CallsOf(BridgeOp::GetDeviceString);
    ASSERT_EQ(strings.size(), 3u);  // serials of 0 and 1, then kind 2 of 1
    EXPECT_EQ(strings[1].kind, ex::SerialKind);
    EXPECT_EQ(strings[1].lastByte, 0) << "the full serial was not ended inside the buffer";
    CloseDevice();
}

TEST_F(Connection, CloseTwiceMakesOneLibraryCall) {
    OpenDevice();
    CloseDevice();
    CloseDevice();
    EXPECT_EQ(sim::CallCount(BridgeOp::Close), 1);
    EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(BoxesShown().empty());
    EXPECT_EQ(host::LocksAlive(), 0);
}

// Each code draws its own text: a swap of two codes' texts fails here.
TEST_F(Connection, FatalStopDrawsShowsClosesAndEndsWithCode1) {
    for (BYTE code = 1; code <= 8; ++code) {
        SCOPED_TRACE(static_cast<int>(code));
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        Attach();
        OpenDevice();
        std::optional<int> exit = host::RunTrappingExit([&] { FatalStop(code); });
        ASSERT_EQ(exit, 1);
        ASSERT_EQ(host::Draws().size(), 1u);
        EXPECT_EQ(host::Draws()[0].text, ex::FatalTexts[code]);
        EXPECT_EQ(host::Draws()[0].y, ex::LineStatus);
        EXPECT_EQ(host::Draws()[0].x, ex::X);
        EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FatalBox});
        EXPECT_FALSE(sim::DeviceOpen());
        EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(host::DestroyRequests(), 1);
        // The text, its box, the close, the destruction request, the end.
        EXPECT_TRUE(SameEvents({ex::DrawEvent(ex::LineStatus, ex::FatalTexts[code]), ex::BoxEvent(ex::FatalBox.text),
                                ex::CloseEvent, ex::DestroyEvent, "exit:1"}));
        EXPECT_EQ(host::LocksAlive(), 0);
    }
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
    EXPECT_EQ(sim::CallCount(BridgeOp::Close), 0);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FatalBox});
}

}  // namespace

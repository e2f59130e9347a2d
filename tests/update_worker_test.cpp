#include <gtest/gtest.h>

#include <algorithm>

#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "tests/support/fixture.h"
#include "update/update_worker.h"

namespace {

const char* const OsdFiles[4] = {"SORVIK.0.1.OSD.01.bin", "SORVIK.0.1.OSD.02.bin", "SORVIK.0.1.OSD.03.bin",
                                 "SORVIK.0.1.OSD.04.bin"};

class Worker : public UnitTest {
protected:
    void SetUp() override {
        UnitTest::SetUp();
        settings_.flashFill = 0x5A;
        settings_.eraseMs = 5;
    }
    // The main image and, for "1A70", the four parts ("1A60", "1A65", "1A60", "1A65").
    void MakeImages(const std::string& mainId, std::size_t mainSize = 3000, std::size_t partSize = 2100) {
        main_ = MakeImage("SORVIK-FPGA-1.45-1013.bin", mainId, mainSize, 1);
        const char* ids[4] = {"1A60", "1A65", "1A60", "1A65"};
        for (int i = 0; i < 4; ++i) parts_[i] = MakeImage(OsdFiles[i], ids[i], partSize + 40 * i, 2 + i);
    }
    // Runs the worker as its thread would; the exit code if it ended the process.
    std::optional<int> Run() {
        Attach(settings_);
        AppState.UpdateRunning = 1;
        DWORD result = 0xFFFF;
        std::optional<int> exit = host::RunTrappingExit([&] { result = UpdateWorker(nullptr); });
        if (!exit) {
            EXPECT_EQ(result, 0u);
        }
        return exit;
    }
    // The frames as a sequence of commands; runs of erase, program and ready
    // frames fold into one, and a gap of a second or more shows as "pause".
    static std::vector<std::string> Commands() {
        std::vector<std::string> out;
        DWORD last = 0;
        for (const sim::Frame& f : sim::Frames()) {
            std::string name;
            switch (f.kind) {
            case sim::FrameKind::Mode: {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02X", f.bytes[2]);
                name = hex;
                break;
            }
            case sim::FrameKind::WriteEnable:
            case sim::FrameKind::Erase:
            case sim::FrameKind::Status:
                name = "erase";
                break;
            default:
                name = sim::KindName(f.kind);
            }
            if (!out.empty() && f.time - last >= 1000) out.push_back("pause");
            last = f.time;
            bool folds = name == "erase" || name == "program" || name == "ready";
            if (!(folds && !out.empty() && out.back() == name)) out.push_back(name);
        }
        return out;
    }
    static bool RegionHolds(const std::vector<BYTE>& flash, const char* id, const std::vector<unsigned char>& data) {
        for (const ImageRegion& r : ImageRegions)
            if (std::equal(r.id, r.id + 4, id)) return std::equal(data.begin(), data.end(), flash.begin() + r.baseAddress);
        return false;
    }
    static int Pauses() {
        auto events = host::Events();
        return static_cast<int>(std::count(events.begin(), events.end(), "sleep:1000"));
    }
    void ExpectSuccessEnd() {
        EXPECT_EQ(host::ScreenText(LineStatus), L"FLASH update ok");
        EXPECT_EQ(host::ScreenText(LineVersion), L"");
        EXPECT_EQ(host::ScreenText(LineClosing1), L"Power cycle SORVIK");
        EXPECT_EQ(host::ScreenText(LineClosing2), L"After power up, wait around 15 seconds");
        EXPECT_EQ(host::ScreenText(LineClosing3), L"SORVIK will reconfigure and start");
        ASSERT_FALSE(host::Boxes().empty());
        const host::Box last = host::Boxes().back();
        EXPECT_EQ(last.text, L"FLASH update ok ");
        EXPECT_EQ(last.caption, L" ");
        EXPECT_EQ(last.type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));
        EXPECT_FALSE(sim::DeviceOpen());
        EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(host::LocksAlive(), 0);
        EXPECT_EQ(host::Events().back(), "destroy");  // after the box and the close
    }

    sim::Settings settings_;
    std::vector<unsigned char> main_;
    std::vector<unsigned char> parts_[4];
};

TEST_F(Worker, UpdatesAnImageWithoutParts) {
    for (std::string id : {"1A60", "1A65"}) {
        SCOPED_TRACE(id);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        AppState.OsdPartsFlag = 0;
        MakeImages(id);
        EXPECT_EQ(Run(), std::nullopt);
        EXPECT_EQ(Commands(), (std::vector<std::string>{"DB", "D6", "pause", "speed", "D8", "pause", "erase",
                                                        "program", "pause", "D6", "DC"}));
        EXPECT_EQ(Pauses(), 3);
        EXPECT_EQ(host::Boxes().size(), 1u);
        EXPECT_TRUE(DrawnAt(LinePart).empty());
        EXPECT_TRUE(sim::WriteModeSnapshots().empty());
        EXPECT_TRUE(RegionHolds(sim::Flash(), id.c_str(), main_));
        ExpectSuccessEnd();
        EXPECT_EQ(host::DestroyRequests(), 1);
    }
}

TEST_F(Worker, UpdatesA1A70ImageAndItsFourParts) {
    MakeImages("1A70");
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(Commands(), (std::vector<std::string>{
                              "DB", "D6", "pause", "speed", "D8", "pause", "erase", "program",
                              "D6", "D9", "ready", "D8", "pause", "erase", "program",
                              "D6", "D9", "ready", "D8", "erase", "program",
                              "D6", "D9", "ready", "D8", "erase", "program",
                              "D6", "D9", "ready", "D8", "erase", "program",
                              "D6", "D6", "D9", "ready", "pause", "D6", "DC"}));
    EXPECT_EQ(Pauses(), 4);
    // Parts share regions, so each is checked as it stood at the next write mode.
    const auto& snapshots = sim::WriteModeSnapshots();
    ASSERT_EQ(snapshots.size(), 5u);
    EXPECT_TRUE(RegionHolds(snapshots[0], "1A70", main_));
    const char* ids[4] = {"1A60", "1A65", "1A60", "1A65"};
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(RegionHolds(snapshots[i + 1], ids[i], parts_[i])) << i;
    EXPECT_TRUE(RegionHolds(sim::Flash(), "1A70", main_));
    EXPECT_EQ(DrawnAt(LinePart), (std::vector<std::wstring>{TextWritingPart[0], TextWritingPart[1],
                                                           TextWritingPart[2], TextWritingPart[3]}));
    EXPECT_EQ(host::ScreenText(LinePart), L"Writing part 5 ...");
    ExpectSuccessEnd();
    EXPECT_EQ(host::Boxes().size(), 1u);
}

TEST_F(Worker, AUnitThatNeverReportsReadyStillGetsItsParts) {
    settings_.notReadyAnswers = -1;
    MakeImages("1A70", 100, 100);
    DWORD start = host::Now();
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Ready).size(), 5u * 2000u);
    EXPECT_GE(host::Now() - start, 5u * 2000u * (settings_.roundTripMs + 10));
    ExpectSuccessEnd();
}

TEST_F(Worker, EndsThatLeaveTheProgramRunning) {
    // Main image missing.
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{L"Input file SORVIK-FPGA-1.45-1013.bin not found"});
    EXPECT_EQ(host::Boxes()[0].caption, L"File missing");
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_EQ(sim::CallCount(1), 0);
    EXPECT_EQ(AppState.UpdateRunning, 0);
    EXPECT_EQ(host::DestroyRequests(), 0);

    // No bridge with the serial "2025".
    host::ClearRecords();
    MakeImages("1A70");
    settings_.devices = {sim::Device{"1999"}};
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxNotConnected});
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(sim::Frames().empty());
    EXPECT_EQ(AppState.UpdateRunning, 0);
    EXPECT_EQ(host::LocksAlive(), 0);
}

TEST_F(Worker, FatalStops) {
    using sim::Fault;
    using sim::FrameKind;
    struct Case {
        const char* what;
        std::vector<sim::FrameFault> faults;
        const char* missing;  // a part file taken away
        int code;
        std::vector<std::wstring> boxes;
    } cases[] = {
        {"first mode", {{FrameKind::Mode, 1, Fault::WrongReply}, {FrameKind::Mode, 2, Fault::NoReply}}, nullptr, 5,
         {BoxModeFailed, L" "}},
        {"a mode after part 3", {{FrameKind::Mode, 12, Fault::NoReply}, {FrameKind::Mode, 13, Fault::NoReply}},
         nullptr, 5, {BoxModeFailed, L" "}},
        {"speed", {{FrameKind::Speed, 1, Fault::NoReply}, {FrameKind::Speed, 2, Fault::WrongReply}}, nullptr, 1,
         {BoxSpeedFailed, L" "}},
        {"erase", {{FrameKind::Erase, 3, Fault::WrongReply}}, nullptr, 6, {BoxSectorEraseFailed, L" "}},
        {"write", {{FrameKind::Program, 5, Fault::NoReply}, {FrameKind::Program, 6, Fault::NoReply}}, nullptr, 7,
         {BoxFlashWriteFailed, L" "}},
        {"part missing", {}, "SORVIK.0.1.OSD.03.bin", 7,
         {L"Input file SORVIK.0.1.OSD.03.bin not found", L" "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        MakeImages("1A70");
        if (c.missing) std::remove(c.missing);
        settings_.frameFaults = c.faults;
        EXPECT_EQ(Run(), 1);
        std::vector<std::wstring> boxes = BoxTexts();
        EXPECT_EQ(boxes, c.boxes);
        EXPECT_EQ(host::Boxes().back().caption, L"Critical Error!!! ");
        EXPECT_EQ(host::Draws().back().text, FatalTexts[c.code]);
        EXPECT_FALSE(sim::DeviceOpen());
        EXPECT_EQ(host::DestroyRequests(), 1);
        EXPECT_EQ(host::LocksAlive(), 0);
        if (c.missing) {
            EXPECT_EQ(host::ScreenText(LinePart), L"Writing part 4 ...");
            EXPECT_EQ(sim::WriteModeSnapshots().size(), 3u);
        }
    }
}

TEST_F(Worker, AMainImageWithAnUnknownIdentifierStopsAfterTheModes) {
    MakeImages("1A80");
    testing::internal::CaptureStdout();
    std::optional<int> exit = Run();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Wrong ID\n");
    EXPECT_EQ(exit, 1);
    EXPECT_EQ(host::Draws().back().text, FatalTexts[7]);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"DB", "D6", "pause", "speed", "D8"}));
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{L" "});
}

}  // namespace

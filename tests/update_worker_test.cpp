#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "device/device_link.h"
#include "tests/support/fixture.h"
#include "sim/settings_file.h"
#include "tests/support/samples.h"
#include "update/update_worker.h"

namespace {

namespace ex = expected;

class Worker : public UnitTest {
protected:
    void SetUp() override {
        UnitTest::SetUp();
        settings_.flashFill = 0x5A;
        settings_.eraseMs = 5;
    }
    // The main image and, for "1A70", the four sample parts.
    void MakeImages(const std::string& mainId, std::size_t mainSize = 3000, std::size_t partSize = 2100) {
        main_ = MakeImage(ex::Narrow(ex::MainImage), mainId, mainSize, 1);
        for (int i = 0; i < 4; ++i) parts_[i] = MakeImage(ex::Narrow(ex::OsdParts[i]), partIds_[i], partSize + 40 * i, 2 + i);
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
            if (!out.empty() && f.time - last >= ex::PauseMs) out.push_back("pause");
            last = f.time;
            bool folds = name == "erase" || name == "program" || name == "ready";
            if (!(folds && !out.empty() && out.back() == name)) out.push_back(name);
        }
        return out;
    }
    void ExpectSuccessEnd() {
        EXPECT_EQ(host::ScreenText(ex::LineStatus), L"FLASH update ok");
        EXPECT_EQ(host::ScreenText(ex::LineVersion), L"");
        EXPECT_EQ(host::ScreenText(ex::LineClosing1), L"Power cycle SORVIK");
        EXPECT_EQ(host::ScreenText(ex::LineClosing2), L"After power up, wait around 15 seconds");
        EXPECT_EQ(host::ScreenText(ex::LineClosing3), L"SORVIK will reconfigure and start");
        ASSERT_FALSE(host::Boxes().empty());
        EXPECT_EQ(BoxesShown().back(), ex::UpdateOkBox);
        EXPECT_FALSE(sim::DeviceOpen());
        EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(host::LocksAlive(), 0);
        EXPECT_EQ(host::Events().back(), ex::DestroyEvent);  // after the box and the close
    }
    // Every library call of a whole update with the arguments it must have:
    // the serial string (kind 0) and then the kind-2 string of device 0, the
    // flush flags 1 and 1, the open handle everywhere, and null last
    // arguments for reads and writes.
    static void ExpectCallArguments() {
        const HANDLE opened = sim::HandleOf(0);
        std::vector<DWORD> kinds;
        for (const sim::Call& call : sim::Calls()) {
            SCOPED_TRACE(OrdinalOf(call.op));
            EXPECT_FALSE(call.failed);
            EXPECT_EQ(call.outGiven, call.op != BridgeOp::Close && call.op != BridgeOp::Flush);
            switch (call.op) {
            case BridgeOp::GetDeviceString:
                EXPECT_EQ(call.index, 0u);
                kinds.push_back(call.kind);
                break;
            case BridgeOp::Open:
                EXPECT_EQ(call.index, 0u);
                break;
            case BridgeOp::Flush:
                EXPECT_EQ(call.flags[0], ex::FlushFlags[0]);
                EXPECT_EQ(call.flags[1], ex::FlushFlags[1]);
                EXPECT_EQ(call.handle, opened);
                break;
            case BridgeOp::Read:
            case BridgeOp::Write:
                EXPECT_TRUE(call.lastNull);
                [[fallthrough]];
            default:
                if (call.op != BridgeOp::CountDevices) {
                    EXPECT_EQ(call.handle, opened);
                }
            }
        }
        EXPECT_EQ(kinds, (std::vector<DWORD>{ex::SerialKind, ex::Kind2}));
        for (BridgeOp op : {BridgeOp::CountDevices, BridgeOp::Open, BridgeOp::Close, BridgeOp::Flush})
            EXPECT_EQ(sim::CallCount(op), 1) << OrdinalOf(op);
    }

    sim::Settings settings_;
    const std::string* const partIds_ = samples::PartIds;
    std::vector<unsigned char> main_;
    std::vector<unsigned char> parts_[4];
};

// The whole ordered record of an update (draws with their lines, frames with
// their replies, pauses, the box, the close, the destruction) against the one
// its steps give. Every sector is idle at its first status read, so the
// record is exact; a progress text is drawn in the main image.
TEST_F(Worker, TheWholeRecordOfAnUpdate) {
    settings_.eraseMs = 0;
    for (std::string id : {"1A60", "1A65", "1A70"}) {
        SCOPED_TRACE(id);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        AppState.OsdPartsFlag = 0;
        MakeImages(id, 2100, 100);
        EXPECT_EQ(Run(), std::nullopt);
        ex::Stream stream;
        if (id == ex::OsdId) {
            stream.Update(id, main_, partIds_, parts_);
        } else {
            stream.Update(id, main_);
        }
        EXPECT_TRUE(SameEvents(stream.events));
        const std::vector<ex::Box> boxes = {ex::UpdateOkBox};
        EXPECT_EQ(BoxesShown(), boxes);
        for (const host::Draw& draw : host::Draws()) EXPECT_EQ(draw.x, ex::X);
        ExpectCallArguments();
        ExpectSuccessEnd();
    }
}

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
        EXPECT_TRUE(DrawnAt(ex::LinePart).empty());
        EXPECT_TRUE(sim::WriteModeSnapshots().empty());
        EXPECT_TRUE(RegionHolds(sim::Flash(), id, main_));
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
    // Parts share regions, so each is checked as it stood at the next write mode.
    const auto& snapshots = sim::WriteModeSnapshots();
    ASSERT_EQ(snapshots.size(), 5u);
    EXPECT_TRUE(RegionHolds(snapshots[0], "1A70", main_));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(RegionHolds(snapshots[i + 1], partIds_[i], parts_[i])) << i;
    EXPECT_TRUE(RegionHolds(sim::Flash(), "1A70", main_));
    EXPECT_EQ(DrawnAt(ex::LinePart), std::vector<std::wstring>(std::begin(ex::WritingPart), std::end(ex::WritingPart)));
    EXPECT_EQ(host::ScreenText(ex::LinePart), L"Writing part 5 ...");
    ExpectSuccessEnd();
    EXPECT_EQ(host::Boxes().size(), 1u);
}

TEST_F(Worker, AUnitThatNeverReportsReadyStillGetsItsParts) {
    settings_.notReadyAnswers = -1;
    MakeImages("1A70", 100, 100);
    DWORD start = host::Now();
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Ready).size(), 5u * ex::ReadyTries);
    EXPECT_GE(host::Now() - start, 5u * ex::ReadyTries * (settings_.roundTripMs + ex::ReadyPauseMs));
    ExpectSuccessEnd();
}

TEST_F(Worker, EndsThatLeaveTheProgramRunning) {
    // Main image missing.
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FileMissingBox(ex::MainImage)});
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_EQ(sim::CallCount(BridgeOp::CountDevices), 0);
    EXPECT_EQ(AppState.UpdateRunning, 0);
    EXPECT_EQ(host::DestroyRequests(), 0);

    // No bridge with the serial "2025".
    host::ClearRecords();
    MakeImages("1A70");
    settings_.devices = {sim::Device{"1999"}};
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::NotConnectedBox});
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(sim::Frames().empty());
    EXPECT_EQ(AppState.UpdateRunning, 0);
    EXPECT_EQ(host::LocksAlive(), 0);

    // The bridge "2025" found but not opened (another program holds it).
    host::ClearRecords();
    settings_.devices = {sim::Device{"2025"}};
    settings_.callFaults = {{BridgeOp::Open, 1}};
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::OpenFailedBox});
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(sim::Frames().empty());
    EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(AppState.UpdateRunning, 0);
    EXPECT_EQ(host::LocksAlive(), 0);
    EXPECT_EQ(host::DestroyRequests(), 0);
}

TEST_F(Worker, FatalStops) {
    using sim::Fault;
    using sim::FrameKind;
    struct Case {
        const char* what;
        std::vector<sim::FrameFault> faults;
        int code;
        std::vector<ex::Box> boxes;
    } cases[] = {
        {"first mode", {{FrameKind::Mode, 1, Fault::WrongReply}, {FrameKind::Mode, 2, Fault::NoReply}},
         ex::FatalMode, {ex::ModeFailedBox, ex::FatalBox}},
        {"a mode after part 3", {{FrameKind::Mode, 12, Fault::NoReply}, {FrameKind::Mode, 13, Fault::NoReply}},
         ex::FatalMode, {ex::ModeFailedBox, ex::FatalBox}},
        {"speed", {{FrameKind::Speed, 1, Fault::NoReply}, {FrameKind::Speed, 2, Fault::WrongReply}},
         ex::FatalSpeed, {ex::SpeedFailedBox, ex::FatalBox}},
        {"erase", {{FrameKind::Erase, 3, Fault::WrongReply}}, ex::FatalErase,
         {ex::SectorEraseFailedBox, ex::FatalBox}},
        {"write enable", {{FrameKind::WriteEnable, 20, Fault::WrongReply}}, ex::FatalErase,
         {ex::WriteEnableFailedBox, ex::FatalBox}},
        {"write", {{FrameKind::Program, 5, Fault::NoReply}, {FrameKind::Program, 6, Fault::NoReply}},
         ex::FatalImage, {ex::FlashWriteFailedBox, ex::FatalBox}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        MakeImages("1A70");
        settings_.frameFaults = c.faults;
        EXPECT_EQ(Run(), 1);
        EXPECT_EQ(BoxesShown(), c.boxes);
        // The code's text, its box, the close, the destruction request, the end.
        std::vector<std::string> events = host::Events();
        ASSERT_GE(events.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(events.end() - 5, events.end()),
                  (std::vector<std::string>{ex::DrawEvent(ex::LineStatus, ex::FatalTexts[c.code]),
                                            ex::BoxEvent(ex::FatalBox.text), ex::CloseEvent, ex::DestroyEvent,
                                            "exit:1"}));
        EXPECT_FALSE(sim::DeviceOpen());
        EXPECT_EQ(host::DestroyRequests(), 1);
        EXPECT_EQ(host::LocksAlive(), 0);
    }
}

// The whole record of an update on a unit that garbles or drops chosen
// frames, against the one the same faults give in the tests' walk of the
// update (which the end-to-end model reads too).
TEST_F(Worker, TheWholeRecordUnderFaults) {
    settings_.eraseMs = 0;
    const std::vector<std::vector<std::string>> cases = {
        {"mode:1:wrong_reply"},
        {"mode:3:wrong_reply", "mode:4:wrong_reply"},
        {"mode:5:wrong_reply"},  // a write mode sent again
        {"speed:1:no_reply", "speed:2:wrong_reply"},
        {"erase:3:wrong_reply"},
        {"write_enable:12:wrong_reply"},
        {"program:5:wrong_reply"},
        {"program:5:wrong_reply", "program:6:wrong_reply"},
        {"program:70:wrong_reply", "program:200:wrong_reply"},
    };
    for (const std::vector<std::string>& faults : cases) {
        SCOPED_TRACE(faults.front());
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        AppState.OsdPartsFlag = 0;
        MakeImages("1A70", 2100, 100);
        std::string settings;
        ex::Stream stream;
        for (const std::string& fault : faults) {
            settings += "fault = " + fault + "\n";
            ex::FrameFault parsed;
            ASSERT_TRUE(ex::ParseFault(fault, parsed));
            stream.faults.push_back(parsed);
        }
        sim::SettingsFile file = sim::ParseSettings(settings);
        ASSERT_EQ(file.error, "");
        settings_.frameFaults = file.settings.frameFaults;
        std::optional<int> exit = Run();
        stream.Update(ex::OsdId, main_, partIds_, parts_);
        EXPECT_TRUE(SameEvents(stream.events));
        ASSERT_TRUE(stream.exitCode.has_value());
        EXPECT_EQ(exit, *stream.exitCode == 1 ? std::optional<int>(1) : std::nullopt);
    }
}

// Every file the update will write is checked before the bridge is opened:
// a bad file at any place ends the attempt with its one box, no library call
// and nothing drawn, the flag and the running mark as a new attempt needs
// them. The record is the tests' walk of the update too.
TEST_F(Worker, ABadFileAnywhereEndsTheAttemptBeforeTheBridgeIsOpened) {
    enum class Bad { Missing, WrongId, TooLarge, Unreadable };
    const std::wstring* const names[5] = {&ex::MainImage, &ex::OsdParts[0], &ex::OsdParts[1], &ex::OsdParts[2],
                                          &ex::OsdParts[3]};
    for (int place = 0; place < 5; ++place) {
        for (Bad bad : {Bad::Missing, Bad::WrongId, Bad::TooLarge, Bad::Unreadable}) {
            const std::wstring& name = *names[place];
            const std::string file = ex::Narrow(name);
            SCOPED_TRACE(testing::Message() << file << " " << static_cast<int>(bad));
            host::Reset();
            AppState.DeviceHandle = INVALID_HANDLE_VALUE;
            AppState.OsdPartsFlag = 0;
            MakeImages("1A70", 100, 100);
            const std::string id = place == 0 ? "1A70" : partIds_[place - 1];
            ex::Box box = ex::FileMissingBox(name);
            int opens = 0;
            switch (bad) {
            case Bad::Missing:
                std::remove(file.c_str());
                break;
            case Bad::WrongId:
                MakeImage(file, "1A80", 100);
                box = ex::WrongIdBox(name);
                break;
            case Bad::TooLarge:
                MakeImage(file, id, ex::RegionOf(id).Size() + 1);
                box = ex::FileTooLargeBox(name);
                break;
            case Bad::Unreadable:  // shorter once opened for its check than its size said
                // The main image is opened once before, for its presence test.
                host::SetFileOpenHook([file, &opens, check = place == 0 ? 2 : 1](const std::string& path) {
                    if (path == file && ++opens == check) {
                        ASSERT_EQ(truncate(path.c_str(), 4 + 50), 0);
                    }
                });
                box = ex::FileUnreadableBox(name);
                break;
            }
            testing::internal::CaptureStdout();
            EXPECT_EQ(Run(), std::nullopt);
            const std::string output = testing::internal::GetCapturedStdout();
            EXPECT_EQ(output, bad == Bad::WrongId ? ex::WrongId : "");
            host::SetFileOpenHook(nullptr);
            EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{box});
            EXPECT_TRUE(host::Draws().empty());
            EXPECT_TRUE(sim::Calls().empty());
            EXPECT_TRUE(std::all_of(sim::Flash().begin(), sim::Flash().end(),
                                    [&](BYTE b) { return b == settings_.flashFill; }));
            EXPECT_EQ(AppState.OsdPartsFlag, 0);
            EXPECT_EQ(AppState.UpdateRunning, 0);
            EXPECT_EQ(host::DestroyRequests(), 0);
            EXPECT_EQ(host::LocksAlive(), 0);
            if (bad == Bad::Unreadable) continue;  // the walk knows files by their bytes alone
            ex::Files files;
            for (const std::wstring* n : names)
                if (access(ex::Narrow(*n).c_str(), F_OK) == 0) files[*n] = sim::ReadFileBytes(ex::Narrow(*n));
            ex::Stream stream;
            stream.Update(files);
            EXPECT_TRUE(SameEvents(stream.events));
            EXPECT_EQ(stream.exitCode, std::nullopt);
            std::string said;  // the walk's standard output
            for (const ex::Step& step : stream.steps)
                if (step.type == ex::Step::Type::Output) said += ex::Narrow(step.text);
            EXPECT_EQ(said, output);
        }
    }
}

// A refused "1A70" set leaves no trace for the next attempt: a "1A60" main
// image then writes no part, although the part files lie beside it.
TEST_F(Worker, ARefusedSetLeavesNothingForTheNextAttempt) {
    MakeImages("1A70");
    std::remove(ex::Narrow(ex::OsdParts[3]).c_str());
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FileMissingBox(ex::OsdParts[3])});

    host::ClearRecords();
    MakeImages("1A60");
    EXPECT_EQ(Run(), std::nullopt);
    EXPECT_EQ(Commands(), (std::vector<std::string>{"DB", "D6", "pause", "speed", "D8", "pause", "erase", "program",
                                                    "pause", "D6", "DC"}));
    EXPECT_TRUE(DrawnAt(ex::LinePart).empty());
    EXPECT_TRUE(sim::WriteModeSnapshots().empty());
    EXPECT_TRUE(RegionHolds(sim::Flash(), "1A60", main_));
    ExpectSuccessEnd();
}

}  // namespace

// The simulated unit answering as a recorded run did: traces recorded under
// Wine (the trace library in front of the simulated library) of a 2100-byte
// "1A60" main image, replayed on the host with no fault configured, give the
// boxes and end of the run they recorded.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/app_state.h"
#include "sim/replay.h"
#include "tests/support/fixture.h"
#include "update/update_worker.h"

namespace {

namespace ex = expected;

std::string Recorded(const std::string& name) {
    std::ifstream file(std::string(SORVIK_TRACE_TESTDATA) + "/" + name, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class Replay : public UnitTest {
protected:
    // Replays the trace over an update of the image the recording wrote; the
    // exit code when the run ended the process.
    std::optional<int> Run(const std::string& trace) {
        main_ = MakeImage(ex::Narrow(ex::MainImage), "1A60", 2100, 1);
        sim::Settings s;
        s.flashFill = 0;
        EXPECT_EQ(sim::ApplyReplay(Recorded(trace), s), "");
        Attach(s);
        AppState.UpdateRunning = 1;
        return host::RunTrappingExit([] { UpdateWorker(nullptr); });
    }
    std::vector<unsigned char> main_;
};

TEST_F(Replay, EachRecordedRunEndsAsItDid) {
    struct Case {
        const char* trace;
        std::vector<ex::Box> boxes;
        std::optional<int> exit;
    };
    const std::vector<Case> cases = {
        {"update-1a60-ok.jsonl", {ex::UpdateOkBox}, std::nullopt},
        {"erase-write-enable-wrong-reply.jsonl", {ex::WriteEnableFailedBox, ex::FatalBox}, 1},
        {"speed-no-reply-twice-fatal.jsonl", {ex::SpeedFailedBox, ex::FatalBox}, 1},
        {"no-bridge-2025.jsonl", {ex::NotConnectedBox}, std::nullopt},
        {"maker-library-missing.jsonl", {ex::NotConnectedBox}, std::nullopt},
        {"open-fails.jsonl", {ex::OpenFailedBox}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.trace);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        EXPECT_EQ(Run(c.trace), c.exit);
        EXPECT_EQ(BoxesShown(), c.boxes);
        EXPECT_EQ(sim::ReplayDeparture(), "");
        EXPECT_EQ(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
    }
}

TEST_F(Replay, TheFlashIsWhatTheRecordedRunLeft) {
    EXPECT_EQ(Run("update-1a60-ok.jsonl"), std::nullopt);
    EXPECT_TRUE(RegionHolds(sim::Flash(), "1A60", main_));

    // Write enable refused at the third sector: two sectors erased, nothing written.
    host::Reset();
    AppState.DeviceHandle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(Run("erase-write-enable-wrong-reply.jsonl"), 1);
    const auto& flash = sim::Flash();
    EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + 2 * ex::SectorBytes, [](BYTE b) { return b == 0xFF; }));
    EXPECT_TRUE(std::all_of(flash.begin() + 2 * ex::SectorBytes, flash.end(), [](BYTE b) { return b == 0x00; }));
}

TEST_F(Replay, AProgramThatDepartsFromTheRecordingIsTold) {
    main_ = MakeImage(ex::Narrow(ex::MainImage), "1A60", 2100, 9);  // other bytes than recorded
    sim::Settings s;
    ASSERT_EQ(sim::ApplyReplay(Recorded("update-1a60-ok.jsonl"), s), "");
    Attach(s);
    AppState.UpdateRunning = 1;
    EXPECT_EQ(host::RunTrappingExit([] { UpdateWorker(nullptr); }), std::nullopt);
    EXPECT_NE(sim::ReplayDeparture().find("is not the recorded one"), std::string::npos);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::UpdateOkBox});  // answered as a live unit from there
}

TEST_F(Replay, ATraceThatCannotBeReadIsToldByItsLine) {
    sim::Settings s;
    EXPECT_EQ(sim::ApplyReplay("", s), "replay: the trace is empty");
    EXPECT_EQ(sim::ApplyReplay("{\"op\":\"count\"}\n", s), "replay: line 1 is not a trace's start record");
    std::string torn = Recorded("update-1a60-ok.jsonl").substr(0, 600) + "\nnot json\n";
    EXPECT_NE(sim::ApplyReplay(torn, s).find("is no trace record"), std::string::npos);
}

// A trace with a gap marked ("dropped": records the library could not write
// in time) and a failed string call, which records no string, replays.
TEST_F(Replay, GapsAndFailedStringCallsAreAccepted) {
    std::string gapped = Recorded("update-1a60-ok.jsonl");
    for (const char* op : {"{\"op\":\"check\"", "{\"op\":\"end\""}) {
        size_t close = gapped.find('}', gapped.find(op));
        gapped.insert(close, ",\"dropped\":3");
    }
    std::string start = Recorded("no-bridge-2025.jsonl");
    start = start.substr(0, start.find('\n') + 1);
    const std::string failedString = start +
                                     "{\"op\":\"count\",\"t\":10,\"dur\":3,\"th\":7,\"st\":0,\"count\":1}\n"
                                     "{\"op\":\"string\",\"t\":20,\"dur\":1,\"th\":7,\"st\":7,\"index\":0,\"kind\":0}\n"
                                     "{\"op\":\"end\",\"t\":30,\"calls\":2}\n";
    struct Case {
        const char* name;
        std::string trace;
        std::vector<ex::Box> boxes;
    };
    const Case cases[] = {
        {"gap", gapped, {ex::UpdateOkBox}},
        {"failed string", failedString, {ex::SerialStringBox, ex::NotConnectedBox}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host::Reset();
        AppState.DeviceHandle = INVALID_HANDLE_VALUE;
        main_ = MakeImage(ex::Narrow(ex::MainImage), "1A60", 2100, 1);
        sim::Settings s;
        s.flashFill = 0;
        ASSERT_EQ(sim::ApplyReplay(c.trace, s), "");
        Attach(s);
        AppState.UpdateRunning = 1;
        EXPECT_EQ(host::RunTrappingExit([] { UpdateWorker(nullptr); }), std::nullopt);
        EXPECT_EQ(BoxesShown(), c.boxes);
        EXPECT_EQ(sim::ReplayDeparture(), "");
    }
}

}  // namespace

// A whole "1A70" update run by UpdateWorker on a std::thread of its own, while
// the test's main thread plays the user-interface thread: it keeps reading
// the screen, the message boxes and the unit's records as the worker goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "device/device_link.h"
#include "sim/unit.h"
#include "tests/support/expected.h"
#include "tests/support/fixture.h"
#include "tests/support/samples.h"
#include "update/update_worker.h"

namespace {

const std::string* const PartIds = samples::PartIds;
const int WriteModes = 5;  // one before each part and one after the last

// The host clock and lock checks, as the host environment has them, plus a
// meeting point: at every write mode the worker waits until the interface
// thread has looked at the records, so some looks happen mid-run for sure.
// The worker is then inside a bridge call holding the unit's mutex, so what
// it recorded so far stands still and the atomics order it for the reader.
class MeetAtWriteModes : public sim::Environment {
public:
    DWORD Now() override { return host::Now(); }
    void Idle() override { host::Idle(); }
    void OnCall(const sim::Call& call) override { sim::HostEnvironment().OnCall(call); }
    void OnWriteMode(const std::vector<BYTE>&) override {
        int mode = reached.fetch_add(1) + 1;
        auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (looked.load() < mode) {
            if (std::chrono::steady_clock::now() > giveUp) {
                strandedAt.store(mode);  // a reader that stopped looking must not hang the run
                return;
            }
            std::this_thread::yield();
        }
    }

    std::atomic<int> reached{0};
    std::atomic<int> looked{0};
    std::atomic<int> strandedAt{0};
};

template <typename T>
bool IsPrefix(const std::vector<T>& earlier, const std::vector<T>& later, bool (*same)(const T&, const T&)) {
    return earlier.size() <= later.size() && std::equal(earlier.begin(), earlier.end(), later.begin(), same);
}
bool SameDraw(const host::Draw& a, const host::Draw& b) { return a.x == b.x && a.y == b.y && a.text == b.text; }
bool SameBox(const host::Box& a, const host::Box& b) { return a.text == b.text && a.caption == b.caption; }
bool SameFrame(const sim::Frame& a, const sim::Frame& b) { return a.time == b.time && a.Bytes() == b.Bytes(); }

int PartTextsIn(const std::vector<host::Draw>& draws) {
    return static_cast<int>(std::count_if(draws.begin(), draws.end(), [](const host::Draw& d) { return d.y == expected::LinePart; }));
}

class WorkerThread : public UnitTest {};

TEST_F(WorkerThread, RunsAWholeUpdateBesideTheInterfaceThread) {
    std::vector<unsigned char> main = MakeImage(expected::Narrow(expected::MainImage), expected::OsdId, 4096 + 17, 1);
    std::vector<unsigned char> parts[4];
    for (int i = 0; i < 4; ++i) parts[i] = MakeImage(expected::Narrow(expected::OsdParts[i]), PartIds[i], 2048 + 300 * i, 2 + i);
    sim::Settings settings;
    settings.flashFill = 0x5A;
    settings.eraseMs = 5;
    MeetAtWriteModes meeting;
    sim::Configure(settings, &meeting);
    AppState.UpdateRunning = 1;

    std::atomic<bool> done{false};
    std::optional<int> exit;
    DWORD result = 0xFFFF;
    std::thread worker([&] {
        exit = host::RunTrappingExit([&] { result = UpdateWorker(nullptr); });
        done.store(true);
    });

    // The interface thread: every look must extend the one before it.
    std::vector<host::Draw> seenDraws;
    std::vector<host::Box> seenBoxes;
    std::vector<sim::Frame> seenFrames;
    int looks = 0;
    bool grew = true;
    while (!done.load()) {
        int mode = meeting.reached.load();
        std::vector<host::Draw> draws = host::Draws();
        std::vector<host::Box> boxes = host::Boxes();
        grew = grew && IsPrefix(seenDraws, draws, SameDraw) && IsPrefix(seenBoxes, boxes, SameBox);
        seenDraws = draws;
        seenBoxes = boxes;
        if (mode > meeting.looked.load()) {
            // Parked at write mode number `mode`: parts 2 .. mode have been
            // announced, no box yet, and the unit has seen mode - 1 write modes.
            SCOPED_TRACE(mode);
            EXPECT_EQ(PartTextsIn(draws), mode - 1);
            EXPECT_EQ(host::ScreenText(expected::LinePart), mode == 1 ? L"" : expected::WritingPart[mode - 2].substr(0, 18));
            EXPECT_TRUE(boxes.empty());
            const std::vector<sim::Frame>& frames = sim::Frames();
            EXPECT_EQ(static_cast<int>(sim::WriteModeSnapshots().size()), mode);
            EXPECT_EQ(std::count_if(frames.begin(), frames.end(),
                                    [](const sim::Frame& f) { return f.kind == sim::FrameKind::Mode && f.bytes[2] == 0xD9; }),
                      mode - 1);
            // A write mode follows a normal mode. (No ASSERT here: the worker must be joined.)
            EXPECT_TRUE(!frames.empty() && frames.back().Bytes() == Bytes({0x01, 0x01, 0xD6}));
            grew = grew && IsPrefix(seenFrames, frames, SameFrame);
            seenFrames = frames;
            meeting.looked.store(mode);
        } else {
            std::unique_lock<std::recursive_mutex> unit(sim::bridge::Mutex(), std::try_to_lock);
            if (unit.owns_lock()) {
                std::vector<sim::Frame> frames = sim::Frames();
                grew = grew && IsPrefix(seenFrames, frames, SameFrame);
                seenFrames = frames;
            }
        }
        ++looks;
    }
    worker.join();

    EXPECT_EQ(meeting.strandedAt.load(), 0);
    EXPECT_EQ(meeting.looked.load(), WriteModes);
    EXPECT_GT(looks, WriteModes);
    EXPECT_TRUE(grew);
    EXPECT_TRUE(IsPrefix(seenDraws, host::Draws(), SameDraw));
    EXPECT_TRUE(IsPrefix(seenFrames, sim::Frames(), SameFrame));

    EXPECT_EQ(exit, std::nullopt);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(host::DestroyRequests(), 1);
    ASSERT_EQ(host::Boxes().size(), 1u);
    EXPECT_EQ(host::Boxes()[0].text, expected::UpdateOkBox.text);
    EXPECT_EQ(host::Boxes()[0].type, expected::UpdateOkBox.type);
    EXPECT_EQ(host::ScreenText(expected::LineStatus), expected::Words(expected::UpdateOkText));
    EXPECT_FALSE(sim::DeviceOpen());

    const auto& snapshots = sim::WriteModeSnapshots();
    ASSERT_EQ(snapshots.size(), static_cast<std::size_t>(WriteModes));
    EXPECT_TRUE(RegionHolds(snapshots[0], expected::OsdId, main));
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(RegionHolds(snapshots[i + 1], PartIds[i], parts[i])) << "part " << i + 2;
    EXPECT_TRUE(RegionHolds(sim::Flash(), expected::OsdId, main));
    EXPECT_EQ(ProcessExitCode(0), 0);  // the window's destruction ends a good update with 0
}

// The interface thread, told of each box and of the destruction request as it
// happens on the worker, works out the exit code it would end the process
// with at that moment: the user closing the window during a box, or the
// window's destruction carried out before the worker's exit(1) takes hold.
TEST_F(WorkerThread, EveryEndAfterAFatalStopHasBegunCarriesOne) {
    MakeImage(expected::Narrow(expected::MainImage), "1A60", 100);
    sim::Settings settings;
    settings.frameFaults = {{sim::FrameKind::Speed, 1, sim::Fault::NoReply},
                            {sim::FrameKind::Speed, 2, sim::Fault::WrongReply}};
    Attach(settings);

    std::atomic<const std::string*> asked{nullptr};
    std::atomic<bool> answered{false};
    host::SetInterfaceHook([&](const std::string& event) {
        answered.store(false);
        asked.store(&event);
        auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!answered.load() && std::chrono::steady_clock::now() < giveUp) std::this_thread::yield();
    });

    std::atomic<bool> done{false};
    std::optional<int> exit;
    std::thread worker([&] {
        exit = host::RunTrappingExit([] { UpdateWorker(nullptr); });
        done.store(true);
    });
    struct Moment {
        std::string event;
        int exitCode;
        bool deviceOpen;
    };
    std::vector<Moment> moments;
    while (!done.load()) {
        const std::string* event = asked.exchange(nullptr);
        if (!event) {
            std::this_thread::yield();
            continue;
        }
        moments.push_back({*event, ProcessExitCode(0), sim::DeviceOpen()});
        answered.store(true);
    }
    worker.join();

    EXPECT_EQ(exit, std::optional<int>(1));
    ASSERT_EQ(moments.size(), 3u);
    // Before the fatal stop, closing the window ends the program as Exit does.
    EXPECT_EQ(moments[0].event, "box:" + expected::Narrow(expected::SpeedFailedBox.text));
    EXPECT_EQ(moments[0].exitCode, 0);
    // The fatal stop's box: the bridge is still open, and any end is now 1.
    EXPECT_EQ(moments[1].event, "box:" + expected::Narrow(expected::FatalBox.text));
    EXPECT_EQ(moments[1].exitCode, 1);
    EXPECT_TRUE(moments[1].deviceOpen);
    // Destruction is asked for after the bridge is closed, still with 1.
    EXPECT_EQ(moments[2].event, "destroy");
    EXPECT_EQ(moments[2].exitCode, 1);
    EXPECT_FALSE(moments[2].deviceOpen);

    // The code's text, then its box, then the destruction request, then exit(1).
    std::vector<std::string> events = host::Events();
    auto at = [&](const std::string& event) { return std::find(events.begin(), events.end(), event) - events.begin(); };
    const std::string fatalText = "draw:10:" + expected::Narrow(expected::FatalTexts[expected::FatalSpeed]);
    EXPECT_LT(at(fatalText), at("box: "));
    EXPECT_LT(at("box: "), at("destroy"));
    EXPECT_LT(at("destroy"), at("exit:1"));
    EXPECT_EQ(at("exit:1"), static_cast<long>(events.size()) - 1);
}

}  // namespace

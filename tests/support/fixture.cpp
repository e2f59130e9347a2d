#include "tests/support/fixture.h"

#include <unistd.h>

#include <cstdlib>

#include "device/device_link.h"
#include "tests/support/program_state.h"
#include "tests/support/stream.h"

void UnitTest::SetUp() {
    char pattern[] = "/tmp/sorvik-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(chdir(folder_.c_str()), 0);

    host::Reset();
    ResetProgramState();
    Attach();
}

void UnitTest::TearDown() {
    EXPECT_EQ(host::LockViolations(), std::vector<std::string>{});
    EXPECT_EQ(host::OpenDrawingContexts(), 0) << "drawing contexts never given back";
    if (chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << previous_;
    std::string remove = "rm -rf '" + folder_ + "'";
    if (std::system(remove.c_str()) != 0) ADD_FAILURE() << "cannot remove " << folder_;
}

void UnitTest::Attach(const sim::Settings& settings) {
    sim::Configure(settings, &RecordingEnvironment());
}

void UnitTest::OpenUnit(const sim::Settings& settings) {
    Attach(settings);
    OpenDevice();
    ASSERT_NE(AppState.DeviceHandle, INVALID_HANDLE_VALUE);
    host::ClearRecords();  // opening sends no frames; drop its draws and boxes
}

std::vector<unsigned char> UnitTest::MakeImage(const std::string& name, const std::string& id,
                                               std::size_t size, std::uint32_t seed) {
    std::vector<unsigned char> payload = sim::SamplePayload(seed, size);
    EXPECT_TRUE(sim::WriteFileBytes(name, sim::ImageBytes(id, payload)));
    return payload;
}

std::vector<expected::Box> UnitTest::BoxesShown() const {
    std::vector<expected::Box> boxes;
    for (const host::Box& box : host::Boxes()) boxes.push_back(Shown(box));
    return boxes;
}

expected::Box Shown(const host::Box& box) {
    return {box.text, box.caption, box.type};
}

std::vector<std::wstring> UnitTest::DrawnAt(int y) const {
    std::vector<std::wstring> texts;
    for (const host::Draw& draw : host::Draws())
        if (draw.y == y) texts.push_back(draw.text);
    return texts;
}

std::vector<std::vector<BYTE>> FrameBytes() {
    std::vector<std::vector<BYTE>> frames;
    for (const sim::Frame& frame : sim::Frames()) frames.push_back(frame.Bytes());
    return frames;
}

std::vector<BYTE> Bytes(std::initializer_list<int> values) {
    std::vector<BYTE> bytes;
    for (int v : values) bytes.push_back(static_cast<BYTE>(v));
    return bytes;
}

testing::AssertionResult SameEvents(const std::vector<std::string>& expectedEvents) {
    const std::vector<std::string> events = host::Events();
    std::size_t at = 0;
    while (at < events.size() && at < expectedEvents.size() && events[at] == expectedEvents[at]) ++at;
    if (at == events.size() && at == expectedEvents.size()) return testing::AssertionSuccess();
    testing::AssertionResult failure = testing::AssertionFailure();
    failure << events.size() << " events, " << expectedEvents.size() << " expected; first difference at " << at;
    std::size_t from = at < 3 ? 0 : at - 3;
    for (std::size_t i = from; i < at + 3; ++i) {
        failure << "\n  #" << i << " got \"" << (i < events.size() ? events[i] : "(none)") << "\"";
        failure << "  want \"" << (i < expectedEvents.size() ? expectedEvents[i] : "(none)") << "\"";
    }
    return failure;
}

namespace {

class Recording : public sim::Environment {
public:
    DWORD Now() override { return sim::HostEnvironment().Now(); }
    void Idle() override { sim::HostEnvironment().Idle(); }
    void OnCall(const sim::Call& call) override { sim::HostEnvironment().OnCall(call); }
    void OnFrame(const sim::Frame& frame) override {
        host::NoteEvent(expected::FrameEvent(frame.Bytes(), frame.Reply()));
    }
    void OnClose(const std::vector<BYTE>&) override { host::NoteEvent(expected::CloseEvent); }
};

}  // namespace

sim::Environment& RecordingEnvironment() {
    static Recording environment;
    return environment;
}

std::vector<sim::Call> CallsOf(BridgeOp op) {
    std::vector<sim::Call> calls;
    for (const sim::Call& call : sim::Calls())
        if (call.op == op) calls.push_back(call);
    return calls;
}

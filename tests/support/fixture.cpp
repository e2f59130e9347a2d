#include "tests/support/fixture.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "device/device_link.h"

void UnitTest::SetUp() {
    char pattern[] = "/tmp/sorvik-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    previous_ = here;
    ASSERT_EQ(chdir(folder_.c_str()), 0);

    host::Reset();
    std::memset(static_cast<void*>(&AppState), 0, sizeof AppState);
    AppState.DeviceHandle = INVALID_HANDLE_VALUE;
    AppState.MainWindow = reinterpret_cast<HWND>(0x1234);
    Attach();
}

void UnitTest::TearDown() {
    EXPECT_EQ(host::LockViolations(), std::vector<std::string>{});
    if (chdir(previous_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << previous_;
    std::string remove = "rm -rf '" + folder_ + "'";
    if (std::system(remove.c_str()) != 0) ADD_FAILURE() << "cannot remove " << folder_;
}

void UnitTest::Attach(const sim::Settings& settings) {
    sim::Configure(settings, &sim::HostEnvironment());
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

std::vector<std::wstring> UnitTest::BoxTexts() const {
    std::vector<std::wstring> texts;
    for (const host::Box& box : host::Boxes()) texts.push_back(box.text);
    return texts;
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

#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "sim/host_environment.h"
#include "tests/support/fixture.h"

namespace {

namespace ex = expected;

const BYTE OldContent = 0x5A;

class ImageWriter : public UnitTest {
protected:
    void Open(sim::Settings s = sim::Settings{}) {
        s.flashFill = OldContent;  // an older image: unerased cells show up as wrong data
        s.eraseMs = 4;
        OpenUnit(s);
    }
    // The region holds the payload, then erased cells; nothing outside changed.
    // unsure: bytes after the programmed ones that a piece without its
    // acknowledgement may or may not have written.
    static void ExpectFlash(const ex::Region& region, const std::vector<unsigned char>& payload,
                            std::size_t programmed, std::size_t unsure = 0) {
        const auto& flash = sim::Flash();
        const std::size_t base = region.base, size = region.Size();
        EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + programmed, flash.begin() + base));
        EXPECT_TRUE(std::all_of(flash.begin() + base + programmed + unsure, flash.begin() + base + size,
                                [](BYTE b) { return b == 0xFF; }));
        EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + base, [](BYTE b) { return b == OldContent; }));
        EXPECT_TRUE(std::all_of(flash.begin() + base + size, flash.end(), [](BYTE b) { return b == OldContent; }));
    }
    static std::vector<sim::Frame> Programs() { return sim::FramesOf(sim::FrameKind::Program); }
    // The values of the progress texts drawn, each checked whole.
    std::vector<std::wstring> ProgressShown() const {
        std::vector<std::wstring> shown;
        for (const std::wstring& text : DrawnAt(ex::LineStatus)) {
            if (text.rfind(L"Flash write:  ", 0) != 0) continue;
            std::wstring value = text.substr(14, text.find(L' ', 14) - 14);
            shown.push_back(value);
            EXPECT_EQ(text, ex::ProgressText(value));
        }
        return shown;
    }
};

TEST_F(ImageWriter, EachIdentifierGoesToItsRegion) {
    for (const ex::Region& region : ex::Regions) {
        SCOPED_TRACE(region.id);
        AppState.OsdPartsFlag = 0;
        Open();
        auto payload = MakeImage("image.bin", region.id, 5000);
        EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
        ExpectFlash(region, payload, payload.size());
        // Each sector of the region: write enable, erase, status reads.
        std::vector<ex::Frame> erasing;
        for (const sim::Frame& f : sim::Frames())
            if (f.kind == sim::FrameKind::WriteEnable || f.kind == sim::FrameKind::Erase) erasing.push_back(f.Bytes());
        std::vector<ex::Frame> wanted;
        for (BYTE i = 0; i < region.sectorCount; ++i) {
            wanted.push_back(ex::WriteEnable);
            wanted.push_back(ex::EraseFrame(static_cast<BYTE>(region.firstSector + i)));
        }
        EXPECT_EQ(erasing, wanted);
        // 156 pieces of 32 bytes and one of 8, from the region's base.
        auto programs = Programs();
        ASSERT_EQ(programs.size(), 157u);
        for (std::size_t i = 0; i < programs.size(); ++i) {
            std::size_t n = i < 156 ? 32 : 8;
            ASSERT_EQ(programs[i].Bytes(), ex::ProgramFrame(region.base + 32 * i, payload.data() + 32 * i, n)) << i;
        }
        EXPECT_EQ(AppState.OsdPartsFlag, region.id == ex::OsdId ? 1 : 0);
        EXPECT_EQ(DrawnAt(ex::LineStatus).front(), ex::WriteStarted);
        EXPECT_TRUE(host::Boxes().empty());
        CloseDevice();
    }
}

TEST_F(ImageWriter, PiecesAndChecksums) {
    Open();
    sim::WriteFileBytes("three.bin", {'1', 'A', '6', '5', 0x01, 0x02, 0x03});
    EXPECT_EQ(WriteImageFile(L"three.bin"), TRUE);
    ASSERT_EQ(Programs().size(), 1u);
    EXPECT_EQ(Programs()[0].Bytes(), Bytes({0x00, 0x03, 0xD7, 0x02, 0x0A, 0x00, 0x00, 0x01, 0x02, 0x03, 0xFA}));
    EXPECT_EQ(Programs()[0].Reply(), ex::Frame{ex::ProgramAck});
    CloseDevice();

    Open();
    auto payload = MakeImage("image.bin", "1A60", 33);
    EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
    auto programs = Programs();
    ASSERT_EQ(programs.size(), 2u);
    EXPECT_EQ(programs[0].length, 40);
    EXPECT_EQ(programs[0].bytes[1], 0x20);
    EXPECT_EQ(programs[1].length, 9);
    EXPECT_EQ(programs[1].Bytes(), Bytes({0x00, 0x01, 0xD7, 0x02, 0x00, 0x00, 0x20, payload[32],
                                          static_cast<BYTE>(-payload[32])}));
    BYTE sum = 0;
    for (int i = 7; i < 40; ++i) sum = static_cast<BYTE>(sum + programs[0].bytes[i]);
    EXPECT_EQ(sum, 0);
    ExpectFlash(ex::RegionOf("1A60"), payload, payload.size());
    CloseDevice();
}

TEST_F(ImageWriter, AFileOfOnlyItsIdentifierErasesAndSendsNoPiece) {
    Open();
    sim::WriteFileBytes("empty.bin", {'1', 'A', '6', '5'});
    EXPECT_EQ(WriteImageFile(L"empty.bin"), TRUE);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Erase).size(), 6u);
    EXPECT_TRUE(Programs().empty());
    EXPECT_EQ(DrawnAt(ex::LineStatus), std::vector<std::wstring>{ex::WriteStarted});
    ExpectFlash(ex::RegionOf("1A65"), {}, 0);
    CloseDevice();
}

TEST_F(ImageWriter, UnknownIdentifiersTouchNothing) {
    for (std::string id : {"1a60", "1A61", "2A70", "1A7", ""}) {
        SCOPED_TRACE(id);
        Open();
        sim::WriteFileBytes("odd.bin", sim::ImageBytes(id, id.size() == 4 ? std::vector<unsigned char>(64, 1)
                                                                           : std::vector<unsigned char>{}));
        testing::internal::CaptureStdout();
        EXPECT_EQ(WriteImageFile(L"odd.bin"), FALSE);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), ex::WrongId);
        EXPECT_TRUE(sim::Frames().empty());
        EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::WrongIdBox(L"odd.bin")});
        EXPECT_TRUE(host::Draws().empty());
        CloseDevice();
    }
}

TEST_F(ImageWriter, RefusedFilesLeaveTheFlashUntouched) {
    struct Case {
        std::string id;
        std::size_t beyond;  // bytes past the region's size
    } cases[] = {{"1A60", 1}, {"1A65", 32}, {"1A70", 2 * 1024 * 1024 - 896 * 1024}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Open();
        MakeImage("big.bin", c.id, ex::RegionOf(c.id).Size() + c.beyond);
        EXPECT_EQ(WriteImageFile(L"big.bin"), FALSE);
        EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FileTooLargeBox(L"big.bin")});
        EXPECT_TRUE(sim::Frames().empty());
        EXPECT_TRUE(std::all_of(sim::Flash().begin(), sim::Flash().end(), [](BYTE b) { return b == OldContent; }));
        CloseDevice();
    }

    // A full region is no longer than its region.
    Open();
    auto payload = MakeImage("full.bin", "1A65", ex::RegionOf("1A65").Size());
    EXPECT_EQ(WriteImageFile(L"full.bin"), TRUE);
    ExpectFlash(ex::RegionOf("1A65"), payload, payload.size());
    CloseDevice();

    Open();
    EXPECT_EQ(WriteImageFile(ex::OsdParts[2].c_str()), FALSE);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FileMissingBox(ex::OsdParts[2])});
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(sim::Frames().empty());
    CloseDevice();
}

// A file that tells no size yet gives bytes: a process's command line as the
// system shows it, beginning with a known identifier. Only its size can
// refuse it, and nothing may reach the unit.
TEST_F(ImageWriter, AFileWhoseSizeCannotBeToldIsRefused) {
    char name[] = "1A60-of-no-size";
    char seconds[] = "60";
    char* arguments[] = {name, seconds, nullptr};
    pid_t child = 0;
    ASSERT_EQ(posix_spawnp(&child, "sleep", nullptr, nullptr, arguments, environ), 0);
    const std::string commandLine = "/proc/" + std::to_string(child) + "/cmdline";
    // The spawn returns while the new program may still be setting up its
    // command line; wait (bounded) until it reads as given.
    for (int tries = 0; tries < 2000 && sim::ReadFileBytes(commandLine).size() < sizeof name; ++tries) usleep(1000);
    ASSERT_EQ(sim::ReadFileBytes(commandLine).size(), sizeof name + sizeof seconds);
    ASSERT_EQ(symlink(commandLine.c_str(), "nosize.bin"), 0);
    Open();
    const BOOL result = WriteImageFile(L"nosize.bin");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_EQ(result, FALSE);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FileUnreadableBox(L"nosize.bin")});
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(sim::Frames().empty());
    CloseDevice();
}

// The unit's first frame comes after the payload is in memory and the file is
// closed: a file that shrinks once opened is refused before anything is sent,
// and no file of the update is held open while the unit works.
class ImageFileAtFirstFrame : public sim::Environment {
public:
    explicit ImageFileAtFirstFrame(const std::string& name) : name_(name) {}
    DWORD Now() override { return sim::HostEnvironment().Now(); }
    void Idle() override { sim::HostEnvironment().Idle(); }
    void OnCall(const sim::Call& call) override { sim::HostEnvironment().OnCall(call); }
    void OnFrame(const sim::Frame& frame) override {
        sim::HostEnvironment().OnFrame(frame);
        if (frames_++ == 0) openAtFirstFrame = IsOpen();
    }
    std::optional<bool> openAtFirstFrame;

private:
    // Whether any descriptor of this process refers to the file.
    bool IsOpen() const {
        char* target = realpath(name_.c_str(), nullptr);
        bool open = false;
        for (int fd = 0; target && fd < 1024 && !open; ++fd) {
            char link[4096];
            ssize_t length = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
            open = length > 0 && std::string(link, static_cast<std::size_t>(length)) == target;
        }
        free(target);
        return open;
    }
    std::string name_;
    int frames_ = 0;
};

TEST_F(ImageWriter, TheFileIsReadWholeAndClosedBeforeTheFirstFrame) {
    sim::Settings s;
    s.flashFill = OldContent;
    s.eraseMs = 4;
    ImageFileAtFirstFrame environment("image.bin");
    sim::Configure(s, &environment);
    OpenDevice();
    host::ClearRecords();
    auto payload = MakeImage("image.bin", "1A60", 1000);
    EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
    EXPECT_EQ(environment.openAtFirstFrame, std::optional<bool>(false));
    ExpectFlash(ex::RegionOf("1A60"), payload, payload.size());
    CloseDevice();

    // Cut short between the look at its size and the read.
    Open();
    MakeImage("short.bin", "1A60", 1000);
    host::SetFileOpenHook([](const std::string& path) { ASSERT_EQ(truncate(path.c_str(), 4 + 500), 0); });
    EXPECT_EQ(WriteImageFile(L"short.bin"), FALSE);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FileUnreadableBox(L"short.bin")});
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(sim::Frames().empty());
    EXPECT_TRUE(std::all_of(sim::Flash().begin(), sim::Flash().end(), [](BYTE b) { return b == OldContent; }));
    CloseDevice();
}

TEST_F(ImageWriter, ProgressEvery65Attempts) {
    struct Case {
        std::size_t size;
        std::vector<std::wstring> shown;
    } cases[] = {
        {2048, {}},
        {2049, {L"100.0"}},
        {131 * 32, {L"48.9", L"98.5"}},  // 2144 and 64 of 4192 bytes left
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Open();
        MakeImage("image.bin", "1A60", c.size);
        EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
        EXPECT_EQ(ProgressShown(), c.shown);
        CloseDevice();
    }

    // A full 640 KiB image: one every 65 of its 20 480 pieces.
    Open();
    MakeImage("image.bin", "1A60", 640 * 1024);
    EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
    EXPECT_EQ(ProgressShown().size(), 20480u / 65);
    CloseDevice();
}

// The first value shown, before the 65th piece, with 2048 bytes acknowledged:
// 100 - (remaining / total) * 100 in single precision. Double precision would
// show the value in the comment.
TEST_F(ImageWriter, ProgressIsWorkedOutInSinglePrecision) {
    struct Case {
        std::size_t size;
        const wchar_t* first;
    } cases[] = {
        {655360, L"0.3"},  // a full "1A60" region
        {25441, L"8.1"},   // double: 8.0
        {30797, L"6.7"},   // double: 6.6
        {273067, L"0.8"},  // double: 0.7
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Open();
        MakeImage("image.bin", "1A60", c.size);
        EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
        std::vector<std::wstring> drawn = DrawnAt(ex::LineStatus);
        ASSERT_GE(drawn.size(), 2u);
        EXPECT_EQ(drawn[0], ex::WriteStarted);
        EXPECT_EQ(drawn[1], ex::ProgressText(c.first));
        CloseDevice();
    }
}

// Each piece has two attempts of its own: a failure, a pause, the same piece
// again; a second failure in a row ends the write with its box.
TEST_F(ImageWriter, APieceIsResentOnceAfterAPause) {
    using sim::Fault;
    struct Case {
        Fault first;     // on the 70th frame
        Fault second;    // on the frame at secondAt
        int secondAt;
        BOOL result;
    } cases[] = {
        {Fault::NoReply, Fault::None, 0, TRUE},      {Fault::WrongReply, Fault::None, 0, TRUE},
        {Fault::LateReply, Fault::None, 0, TRUE},    {Fault::ShortRead, Fault::None, 0, TRUE},
        {Fault::NoReply, Fault::NoReply, 71, FALSE}, {Fault::WrongReply, Fault::LateReply, 71, FALSE},
        // After the resend was acknowledged, the next piece fails once: not the end.
        {Fault::NoReply, Fault::WrongReply, 72, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << sim::FaultName(c.first) << "/" << sim::FaultName(c.second) << "@"
                                        << c.secondAt);
        sim::Settings s;
        s.frameFaults = {{sim::FrameKind::Program, 70, c.first}, {sim::FrameKind::Program, c.secondAt, c.second}};
        Open(s);
        auto payload = MakeImage("image.bin", "1A65", 100 * 32);
        EXPECT_EQ(WriteImageFile(L"image.bin"), c.result);
        const std::size_t failed = c.second == Fault::None ? 1 : 2;
        auto programs = Programs();
        ASSERT_EQ(programs.size(), c.result ? 100 + failed : 71u);
        const bool silent = c.first == Fault::NoReply || c.first == Fault::LateReply;
        EXPECT_EQ(programs[70].time - programs[69].time, (silent ? ex::ReplyWindowMs : s.roundTripMs) + ex::PauseMs);

        // The failed frame (with a short read's text), the retransmit text,
        // the pause, the same frame again.
        const std::vector<std::string> events = host::Events();
        auto at = std::find(events.begin(), events.end(), ex::FrameEvent(programs[69].Bytes(), programs[69].Reply()));
        if (c.first == Fault::ShortRead) {
            EXPECT_EQ(*++at, ex::DrawEvent(ex::LineStatus, ex::ShortRead));
        }
        ASSERT_LT(at + 3, events.end());
        EXPECT_EQ(at[1], ex::DrawEvent(ex::LineStatus, ex::WriteRetransmit));
        EXPECT_EQ(at[2], ex::SleepEvent(ex::PauseMs));
        EXPECT_EQ(at[3], ex::FrameEvent(programs[70].Bytes(), programs[70].Reply()));
        EXPECT_EQ(programs[70].Bytes(), programs[69].Bytes());
        std::vector<std::wstring> drawn = DrawnAt(ex::LineStatus);
        EXPECT_EQ(static_cast<std::size_t>(std::count(drawn.begin(), drawn.end(), ex::WriteRetransmit)), failed);
        if (c.result) {
            if (c.secondAt == 72) {
                EXPECT_EQ(programs[72].Bytes(), programs[71].Bytes());
            }
            EXPECT_TRUE(host::Boxes().empty());
            ExpectFlash(ex::RegionOf("1A65"), payload, payload.size());
            EXPECT_EQ(ProgressShown().size(), 1u);  // resends count toward the cycle too
        } else {
            EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::FlashWriteFailedBox});
            EXPECT_EQ(events.end()[-2], ex::DrawEvent(ex::LineStatus, ex::WriteRetransmit));
            EXPECT_EQ(events.end()[-1], ex::BoxEvent(ex::FlashWriteFailedBox.text));
            ExpectFlash(ex::RegionOf("1A65"), payload, 69 * 32, 32);  // the pieces acknowledged so far
        }
        CloseDevice();
    }
}

TEST_F(ImageWriter, AFailedEraseStopsWithCode6) {
    sim::Settings s;
    s.frameFaults = {{sim::FrameKind::Erase, 2, sim::Fault::WrongReply}};
    Open(s);
    MakeImage("image.bin", "1A70", 1000);
    EXPECT_EQ(host::RunTrappingExit([] { WriteImageFile(L"image.bin"); }), 1);
    EXPECT_EQ(BoxesShown(), (std::vector<ex::Box>{ex::SectorEraseFailedBox, ex::FatalBox}));
    EXPECT_EQ(host::Draws().back().text, ex::FatalTexts[ex::FatalErase]);
    EXPECT_EQ(AppState.OsdPartsFlag, 1);  // set before the erase
    EXPECT_TRUE(Programs().empty());
    EXPECT_FALSE(sim::DeviceOpen());
}

}  // namespace

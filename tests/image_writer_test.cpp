#include <gtest/gtest.h>

#include <algorithm>

#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "tests/support/fixture.h"

namespace {

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
    static void ExpectFlash(const ImageRegion& region, const std::vector<unsigned char>& payload,
                            std::size_t programmed, std::size_t unsure = 0) {
        const auto& flash = sim::Flash();
        const std::size_t base = region.baseAddress, size = region.sectorCount * sim::SectorSize;
        EXPECT_TRUE(std::equal(payload.begin(), payload.begin() + programmed, flash.begin() + base));
        EXPECT_TRUE(std::all_of(flash.begin() + base + programmed + unsure, flash.begin() + base + size,
                                [](BYTE b) { return b == 0xFF; }));
        EXPECT_TRUE(std::all_of(flash.begin(), flash.begin() + base, [](BYTE b) { return b == OldContent; }));
        EXPECT_TRUE(std::all_of(flash.begin() + base + size, flash.end(), [](BYTE b) { return b == OldContent; }));
    }
    static std::vector<sim::Frame> Programs() { return sim::FramesOf(sim::FrameKind::Program); }
    static int ProgressDraws() {
        int n = 0;
        for (const host::Draw& d : host::Draws()) n += d.text.rfind(L"Flash write:  ", 0) == 0 ? 1 : 0;
        return n;
    }
};

TEST_F(ImageWriter, EachIdentifierGoesToItsRegion) {
    for (const ImageRegion& region : ImageRegions) {
        std::string id(region.id, 4);
        SCOPED_TRACE(id);
        AppState.OsdPartsFlag = 0;
        Open();
        auto payload = MakeImage("image.bin", id, 5000);
        EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
        ExpectFlash(region, payload, payload.size());
        auto erases = sim::FramesOf(sim::FrameKind::Erase);
        ASSERT_EQ(erases.size(), region.sectorCount);
        for (BYTE i = 0; i < region.sectorCount; ++i) EXPECT_EQ(erases[i].bytes[4], region.firstSector + i);
        auto programs = Programs();
        ASSERT_EQ(programs.size(), 157u);  // 156 pieces of 32 and one of 8
        EXPECT_EQ(programs[0].bytes[4] << 16 | programs[0].bytes[5] << 8 | programs[0].bytes[6],
                  static_cast<int>(region.baseAddress));
        EXPECT_EQ(programs.back().length, 16);
        EXPECT_EQ(AppState.OsdPartsFlag, id == "1A70" ? 1 : 0);
        EXPECT_EQ(DrawnAt(LineStatus).front(), TextWriteStarted);
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
    EXPECT_EQ(Programs()[0].Reply(), Bytes({0xD7}));
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
    ExpectFlash(ImageRegions[0], payload, payload.size());
    CloseDevice();
}

TEST_F(ImageWriter, AFileOfOnlyItsIdentifierErasesAndSendsNoPiece) {
    Open();
    sim::WriteFileBytes("empty.bin", {'1', 'A', '6', '5'});
    EXPECT_EQ(WriteImageFile(L"empty.bin"), TRUE);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Erase).size(), 6u);
    EXPECT_TRUE(Programs().empty());
    EXPECT_EQ(DrawnAt(LineStatus), std::vector<std::wstring>{TextWriteStarted});
    ExpectFlash(ImageRegions[1], {}, 0);
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
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "Wrong ID\n");
        EXPECT_TRUE(sim::Frames().empty());
        EXPECT_TRUE(host::Boxes().empty());
        EXPECT_TRUE(host::Draws().empty());
        CloseDevice();
    }
}

TEST_F(ImageWriter, RefusedFilesLeaveTheFlashUntouched) {
    struct Case {
        const char* id;
        std::size_t size;
        const WCHAR* text;
        const WCHAR* caption;
    } cases[] = {
        {"1A60", 640 * 1024 + 1, L"Input file big.bin is too large for its flash region", L"Critical Error!!! "},
        {"1A65", 384 * 1024 + 32, L"Input file big.bin is too large for its flash region", L"Critical Error!!! "},
        {"1A70", 2 * 1024 * 1024, L"Input file big.bin is too large for its flash region", L"Critical Error!!! "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        Open();
        MakeImage("big.bin", c.id, c.size);
        EXPECT_EQ(WriteImageFile(L"big.bin"), FALSE);
        ASSERT_EQ(host::Boxes().size(), 1u);
        EXPECT_EQ(host::Boxes()[0].text, c.text);
        EXPECT_EQ(host::Boxes()[0].caption, c.caption);
        EXPECT_EQ(host::Boxes()[0].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
        EXPECT_TRUE(sim::Frames().empty());
        EXPECT_TRUE(std::all_of(sim::Flash().begin(), sim::Flash().end(), [](BYTE b) { return b == OldContent; }));
        CloseDevice();
    }

    // A full region is no longer than its region.
    Open();
    auto payload = MakeImage("full.bin", "1A65", 384 * 1024);
    EXPECT_EQ(WriteImageFile(L"full.bin"), TRUE);
    ExpectFlash(ImageRegions[1], payload, payload.size());
    CloseDevice();

    Open();
    EXPECT_EQ(WriteImageFile(L"SORVIK.0.1.OSD.03.bin"), FALSE);
    ASSERT_EQ(host::Boxes().size(), 1u);
    EXPECT_EQ(host::Boxes()[0].text, L"Input file SORVIK.0.1.OSD.03.bin not found");
    EXPECT_EQ(host::Boxes()[0].caption, L"File missing");
    EXPECT_TRUE(host::Draws().empty());
    EXPECT_TRUE(sim::Frames().empty());
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
        std::vector<std::wstring> shown;
        for (const std::wstring& text : DrawnAt(LineStatus)) {
            if (text.rfind(L"Flash write:  ", 0) != 0) continue;
            std::wstring value = text.substr(14, text.find(L' ', 14) - 14);
            shown.push_back(value);
            EXPECT_EQ(text, L"Flash write:  " + value + L" %" + std::wstring(33, L' '));
        }
        EXPECT_EQ(shown, c.shown);
        CloseDevice();
    }

    // A full 640 KiB image: first progress 0.3, then one every 65 pieces.
    Open();
    MakeImage("image.bin", "1A60", 640 * 1024);
    EXPECT_EQ(WriteImageFile(L"image.bin"), TRUE);
    std::vector<std::wstring> drawn = DrawnAt(LineStatus);
    ASSERT_GT(drawn.size(), 2u);
    EXPECT_EQ(drawn[1], L"Flash write:  0.3 %" + std::wstring(33, L' '));
    EXPECT_EQ(ProgressDraws(), 20480 / 65);
    CloseDevice();
}

TEST_F(ImageWriter, APieceIsResentOnceAfterAPause) {
    using sim::Fault;
    const TwoFaults cases[] = {
        {Fault::NoReply, Fault::None, TRUE},      {Fault::WrongReply, Fault::None, TRUE},
        {Fault::LateReply, Fault::None, TRUE},    {Fault::ShortRead, Fault::None, TRUE},
        {Fault::NoReply, Fault::NoReply, FALSE},  {Fault::WrongReply, Fault::LateReply, FALSE},
    };
    for (const TwoFaults& c : cases) {
        SCOPED_TRACE(testing::Message() << sim::FaultName(c.first) << "/" << sim::FaultName(c.second));
        sim::Settings s;
        s.frameFaults = {{sim::FrameKind::Program, 70, c.first}, {sim::FrameKind::Program, 71, c.second}};
        Open(s);
        auto payload = MakeImage("image.bin", "1A65", 100 * 32);
        EXPECT_EQ(WriteImageFile(L"image.bin"), c.result);
        auto programs = Programs();
        ASSERT_GE(programs.size(), 71u);
        EXPECT_EQ(programs[69].Bytes(), programs[70].Bytes());  // the same piece again
        EXPECT_EQ(programs[70].time - programs[69].time, (c.first == Fault::NoReply || c.first == Fault::LateReply
                                                              ? 2000u : 1u) + 1000u);
        std::vector<std::wstring> drawn = DrawnAt(LineStatus);
        EXPECT_EQ(std::count(drawn.begin(), drawn.end(), std::wstring(TextWriteRetransmit)), c.result ? 1 : 2);
        if (c.result) {
            EXPECT_EQ(programs.size(), 101u);
            EXPECT_TRUE(host::Boxes().empty());
            ExpectFlash(ImageRegions[1], payload, payload.size());
            EXPECT_EQ(ProgressDraws(), 1);  // the resend counts toward the cycle: 101 attempts
        } else {
            EXPECT_EQ(programs.size(), 71u);
            EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxFlashWriteFailed});
            EXPECT_EQ(host::Boxes()[0].caption, L"Critical Error!!! ");
            ExpectFlash(ImageRegions[1], payload, 69 * 32, 32);  // the pieces acknowledged so far
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
    EXPECT_EQ(BoxTexts(), (std::vector<std::wstring>{BoxSectorEraseFailed, L" "}));
    EXPECT_EQ(host::Draws().back().text, FatalTexts[6]);
    EXPECT_EQ(AppState.OsdPartsFlag, 1);  // set before the erase
    EXPECT_TRUE(Programs().empty());
    EXPECT_FALSE(sim::DeviceOpen());
}

}  // namespace

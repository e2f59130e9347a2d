#include <gtest/gtest.h>

#include <algorithm>

#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "tests/support/fixture.h"

namespace {

class SectorErase : public UnitTest {
protected:
    static bool Erased(BYTE sector) {
        const auto& flash = sim::Flash();
        auto first = flash.begin() + sector * sim::SectorSize;
        return std::all_of(first, first + sim::SectorSize, [](BYTE b) { return b == 0xFF; });
    }
    static sim::Settings Filled() {
        sim::Settings s;
        s.flashFill = 0x5A;  // an older image
        return s;
    }
};

TEST_F(SectorErase, FramesAndChecksumReplies) {
    for (BYTE sector : {0, 10, 16, 29}) {
        SCOPED_TRACE(static_cast<int>(sector));
        sim::Settings s = Filled();
        s.eraseMs = 0;  // idle at the first status read
        OpenUnit(s);
        EXPECT_EQ(EraseSectors(sector, 1), TRUE);
        EXPECT_EQ(FrameBytes(), (std::vector<std::vector<BYTE>>{
                                    Bytes({0x00, 0x04, 0xD0, 0x06}),
                                    Bytes({0x00, 0x07, 0xD0, 0xD8, sector, 0x00, 0x00}),
                                    Bytes({0x01, 0x01, 0xD0, 0x05})}));
        EXPECT_EQ(sim::Frames()[0].Reply(), Bytes({0x26}));
        EXPECT_EQ(sim::Frames()[1].Reply(), Bytes({(0x51 - sector) & 0xFF}));
        EXPECT_EQ(sim::Frames()[2].Reply()[0] & 1, 0);
        EXPECT_TRUE(Erased(sector));
        EXPECT_FALSE(Erased(static_cast<BYTE>(sector + 1)));
        EXPECT_TRUE(host::Boxes().empty());
        EXPECT_TRUE(host::Draws().empty());
        CloseDevice();
    }
}

TEST_F(SectorErase, PollsWhileBusyWithItsPauses) {
    sim::Settings s = Filled();
    s.roundTripMs = 1;
    s.eraseMs = 100;
    OpenUnit(s);
    DWORD start = host::Now();
    EXPECT_EQ(EraseSectors(16, 14), TRUE);
    for (BYTE sector = 16; sector < 30; ++sector) EXPECT_TRUE(Erased(sector));
    EXPECT_FALSE(Erased(15));
    EXPECT_FALSE(Erased(30));
    // Each status read takes its round trip and a 1 ms pause; the erase is
    // found finished at the first read at or after its 100 ms.
    auto statusReads = sim::FramesOf(sim::FrameKind::Status);
    EXPECT_EQ(statusReads.size(), 14u * 50u + 14u);
    EXPECT_EQ(host::Now() - start, 3 + 14 * (2 + 51 * 2));
    std::vector<std::string> events = host::Events();
    EXPECT_EQ(events.front(), "sleep:3");
    EXPECT_EQ(std::count(events.begin(), events.end(), "sleep:1"), static_cast<long>(statusReads.size()));
    CloseDevice();
}

TEST_F(SectorErase, FailuresEndTheRun) {
    using sim::Fault;
    using sim::FrameKind;
    struct Case {
        FrameKind kind;
        int occurrence;
        Fault fault;
        const WCHAR* box;
        int erased;  // sectors of the run erased before the failing one
    } cases[] = {
        {FrameKind::WriteEnable, 1, Fault::WrongReply, BoxWriteEnableFailed, 0},
        {FrameKind::WriteEnable, 3, Fault::NoReply, BoxWriteEnableFailed, 2},
        {FrameKind::Erase, 3, Fault::WrongReply, BoxSectorEraseFailed, 2},
        {FrameKind::Erase, 2, Fault::ShortRead, BoxSectorEraseFailed, 1},
        {FrameKind::Erase, 1, Fault::LateReply, BoxSectorEraseFailed, -1},  // may or may not have begun
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << sim::KindName(c.kind) << c.occurrence << sim::FaultName(c.fault));
        sim::Settings s = Filled();
        s.frameFaults = {{c.kind, c.occurrence, c.fault}};
        OpenUnit(s);
        EXPECT_EQ(EraseSectors(0, 5), FALSE);
        ASSERT_EQ(host::Boxes().size(), 1u);
        EXPECT_EQ(host::Boxes()[0].text, c.box);
        EXPECT_EQ(host::Boxes()[0].caption, L"Critical Error!!! ");
        if (c.erased >= 0) {
            // The failing sector itself may or may not have begun erasing.
            for (BYTE sector = 0; sector < 5; ++sector) {
                if (sector != c.erased) {
                    EXPECT_EQ(Erased(sector), sector < c.erased) << int(sector);
                }
            }
        }
        // Nothing is sent for the failing sector after its failure.
        const sim::Frame& last = sim::Frames().back();
        EXPECT_EQ(last.kind, c.kind);
        CloseDevice();
    }
}

TEST_F(SectorErase, ThePollIsBoundedAndSilenceIsNeverNotBusy) {
    using sim::Fault;
    struct Case {
        Fault fault;
        int occurrence;
        BOOL result;
    } cases[] = {
        {Fault::StuckBusy, 1, FALSE},  // busy for good
        {Fault::NoReply, 1, TRUE},     // one silent status read: polled again
        {Fault::ShortRead, 1, TRUE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(sim::FaultName(c.fault));
        sim::Settings s = Filled();
        s.eraseMs = 20;
        s.frameFaults = {{sim::FrameKind::Status, c.occurrence, c.fault}};
        if (c.fault == Fault::StuckBusy) s.frameFaults[0].kind = sim::FrameKind::Erase;
        OpenUnit(s);
        DWORD start = host::Now();
        EXPECT_EQ(EraseSectors(3, 1), c.result);
        DWORD spent = host::Now() - start;
        if (c.result) {
            EXPECT_TRUE(host::Boxes().empty());
            EXPECT_TRUE(Erased(3));
            EXPECT_LT(spent, 3000u);  // the silent read cost its window, no more
        } else {
            EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxSectorEraseFailed});
            EXPECT_GE(spent, 10000u);
            EXPECT_LT(spent, 10010u);
        }
        CloseDevice();
    }

    // A unit that stops answering status reads altogether: the erase reply's
    // byte (0x4E for sector 3, bit 0 clear) must not pass for "not busy".
    sim::Settings silent = Filled();
    for (int i = 1; i <= 10; ++i) silent.frameFaults.push_back({sim::FrameKind::Status, i, Fault::NoReply});
    OpenUnit(silent);
    DWORD start = host::Now();
    EXPECT_EQ(EraseSectors(3, 1), FALSE);
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxSectorEraseFailed});
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Status).size(), 5u);  // 2000 ms and 1 ms each, past 10 s
    EXPECT_GE(host::Now() - start, 10000u);
    CloseDevice();
}

TEST_F(SectorErase, AnEmptyRunSendsNothing) {
    OpenUnit(Filled());
    DWORD start = host::Now();
    EXPECT_EQ(EraseSectors(16, 0), TRUE);
    EXPECT_TRUE(sim::Frames().empty());
    EXPECT_EQ(host::Now() - start, 3u);
    CloseDevice();
}

}  // namespace

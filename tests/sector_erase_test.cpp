#include <gtest/gtest.h>

#include <algorithm>

#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "tests/support/fixture.h"

namespace {

namespace ex = expected;

class SectorErase : public UnitTest {
protected:
    static bool Erased(BYTE sector) {
        const auto& flash = sim::Flash();
        auto first = flash.begin() + sector * ex::SectorBytes;
        return std::all_of(first, first + ex::SectorBytes, [](BYTE b) { return b == 0xFF; });
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
        EXPECT_EQ(FrameBytes(), (std::vector<ex::Frame>{ex::WriteEnable, ex::EraseFrame(sector), ex::StatusRead}));
        EXPECT_EQ(sim::Frames()[0].Reply(), ex::Frame{ex::WriteEnableReply});
        EXPECT_EQ(sim::Frames()[1].Reply(), ex::Frame{ex::EraseReply(sector)});
        EXPECT_EQ(sim::Frames()[2].Reply()[0] & ex::StatusBusy, 0);
        EXPECT_TRUE(SameEvents({ex::SleepEvent(ex::ErasePauseMs), ex::FrameEvent(ex::WriteEnable, {ex::WriteEnableReply}),
                                ex::FrameEvent(ex::EraseFrame(sector), {ex::EraseReply(sector)}),
                                ex::FrameEvent(ex::StatusRead, {0x00}), ex::SleepEvent(ex::StatusPauseMs)}));
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
    EXPECT_EQ(events.front(), ex::SleepEvent(ex::ErasePauseMs));
    EXPECT_EQ(std::count(events.begin(), events.end(), ex::SleepEvent(ex::StatusPauseMs)),
              static_cast<long>(statusReads.size()));
    CloseDevice();
}

TEST_F(SectorErase, FailuresEndTheRun) {
    using sim::Fault;
    using sim::FrameKind;
    struct Case {
        FrameKind kind;
        int occurrence;
        Fault fault;
        ex::Box box;
        int erased;  // sectors of the run erased before the failing one
    } cases[] = {
        {FrameKind::WriteEnable, 1, Fault::WrongReply, ex::WriteEnableFailedBox, 0},
        {FrameKind::WriteEnable, 3, Fault::NoReply, ex::WriteEnableFailedBox, 2},
        {FrameKind::Erase, 3, Fault::WrongReply, ex::SectorEraseFailedBox, 2},
        {FrameKind::Erase, 2, Fault::ShortRead, ex::SectorEraseFailedBox, 1},
        {FrameKind::Erase, 1, Fault::LateReply, ex::SectorEraseFailedBox, -1},  // may or may not have begun
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << sim::KindName(c.kind) << c.occurrence << sim::FaultName(c.fault));
        sim::Settings s = Filled();
        s.frameFaults = {{c.kind, c.occurrence, c.fault}};
        OpenUnit(s);
        EXPECT_EQ(EraseSectors(0, 5), FALSE);
        EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{c.box});
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

// Our bound on a flash that stays busy: the poll gives up after the first
// status read that begins 10 000 ms or more after the polling began and still
// finds it busy, so the box comes one read (with its pause) after that read
// began. Two round trips put the reads on two grids, so a bound moved by a
// millisecond either way shows on one of them.
TEST_F(SectorErase, AFlashStuckBusyIsGivenUpAfterTenSeconds) {
    for (DWORD roundTrip : {1u, 2u}) {
        SCOPED_TRACE(roundTrip);
        sim::Settings s = Filled();
        s.roundTripMs = roundTrip;
        s.frameFaults = {{sim::FrameKind::Erase, 1, sim::Fault::StuckBusy}};
        OpenUnit(s);
        DWORD start = host::Now();
        EXPECT_EQ(EraseSectors(3, 1), FALSE);
        EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::SectorEraseFailedBox});
        const auto statusReads = sim::FramesOf(sim::FrameKind::Status);
        ASSERT_FALSE(statusReads.empty());
        const DWORD read = roundTrip + ex::StatusPauseMs;
        const DWORD given = host::Boxes()[0].time - statusReads.front().time;
        EXPECT_EQ(statusReads.size(), (ex::EraseGiveUpMs + read - 1) / read + 1);
        EXPECT_GE(statusReads.back().time - statusReads.front().time, ex::EraseGiveUpMs);
        EXPECT_LT(statusReads.back().time - statusReads.front().time, ex::EraseGiveUpMs + read);
        EXPECT_EQ(given, statusReads.back().time - statusReads.front().time + read);
        EXPECT_LE(host::Now() - start, ex::ErasePauseMs + 2 * roundTrip + ex::EraseGiveUpMs + 2 * read);
        CloseDevice();
    }
}

TEST_F(SectorErase, ASilentStatusReadIsNeverNotBusy) {
    using sim::Fault;
    for (Fault fault : {Fault::NoReply, Fault::ShortRead}) {  // one status read without its byte
        SCOPED_TRACE(sim::FaultName(fault));
        sim::Settings s = Filled();
        s.eraseMs = 20;
        s.frameFaults = {{sim::FrameKind::Status, 1, fault}};
        OpenUnit(s);
        DWORD start = host::Now();
        EXPECT_EQ(EraseSectors(3, 1), TRUE);
        EXPECT_TRUE(host::Boxes().empty());
        EXPECT_TRUE(Erased(3));
        EXPECT_LT(host::Now() - start, 3000u);  // the silent read cost its window, no more
        CloseDevice();
    }

    // A unit that stops answering status reads altogether: the erase reply's
    // byte (0x4E for sector 3, bit 0 clear) must not pass for "not busy".
    sim::Settings silent = Filled();
    for (int i = 1; i <= 10; ++i) silent.frameFaults.push_back({sim::FrameKind::Status, i, Fault::NoReply});
    OpenUnit(silent);
    DWORD start = host::Now();
    EXPECT_EQ(EraseSectors(3, 1), FALSE);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::SectorEraseFailedBox});
    // 2000 ms and 1 ms each: the sixth begins past 10 s, and gets no reply either.
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Status).size(), 6u);
    EXPECT_GE(host::Now() - start, ex::EraseGiveUpMs);
    CloseDevice();
}

// A bridge failure box during the poll halts it while the user reads it; that
// time is not the flash's. The first status read's read fails ("Error Reading
// Data") and the box stays up for 15 s: an idle flash then passes at the next
// read, and one that stays busy fails at that read, not before it.
TEST_F(SectorErase, TheTimeABoxIsUpDoesNotCountAgainstTheFlash) {
    const DWORD heldMs = 15000;
    const int firstStatusReadsRead = 3;  // after those of write enable and sector erase
    for (bool stuck : {false, true}) {
        SCOPED_TRACE(stuck ? "stays busy" : "idle after the box");
        sim::Settings s = Filled();
        s.callFaults = {{BridgeOp::Read, firstStatusReadsRead}};
        if (stuck) s.frameFaults = {{sim::FrameKind::Erase, 1, sim::Fault::StuckBusy}};
        OpenUnit(s);
        host::SetInterfaceHook([&](const std::string& event) {
            if (event.rfind("box:", 0) == 0 && host::Boxes().size() == 1) host::SetClock(host::Now() + heldMs);
        });
        EXPECT_EQ(EraseSectors(3, 1), stuck ? FALSE : TRUE);
        std::vector<ex::Box> boxes{ex::ReadFailedBox};
        if (stuck) boxes.push_back(ex::SectorEraseFailedBox);
        EXPECT_EQ(BoxesShown(), boxes);
        EXPECT_EQ(sim::FramesOf(sim::FrameKind::Status).size(), 2u);  // one more read after the box
        EXPECT_EQ(Erased(3), !stuck);
        host::SetInterfaceHook(nullptr);
        CloseDevice();
    }
}

TEST_F(SectorErase, AnEmptyRunSendsNothing) {
    OpenUnit(Filled());
    DWORD start = host::Now();
    EXPECT_EQ(EraseSectors(16, 0), TRUE);
    EXPECT_TRUE(sim::Frames().empty());
    EXPECT_EQ(host::Now() - start, ex::ErasePauseMs);
    CloseDevice();
}

}  // namespace

#include <gtest/gtest.h>

#include "app/texts.h"
#include "device/device_link.h"
#include "tests/support/fixture.h"

namespace {

const BYTE ModeFrame[3] = {0x01, 0x01, 0xD6};

class Exchange : public UnitTest {};

TEST_F(Exchange, NoDeviceOpenCostsNothing) {
    BYTE reply = 0x55;
    DWORD start = host::Now();
    EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);
    EXPECT_EQ(host::Now(), start);
    EXPECT_EQ(sim::CallCount(7) + sim::CallCount(12), 0);
    EXPECT_TRUE(host::Boxes().empty());
}

TEST_F(Exchange, TheReplyWindowIs2000Ms) {
    struct Case {
        DWORD roundTrip;
        BOOL result;
    } cases[] = {{1, TRUE}, {1999, TRUE}, {2000, FALSE}, {5000, FALSE}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.roundTrip);
        sim::Settings s;
        s.roundTripMs = c.roundTrip;
        OpenUnit(s);
        BYTE reply = 0;
        DWORD start = host::Now();
        EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), c.result);
        if (c.result) {
            EXPECT_EQ(reply, 0xD6);
        }
        EXPECT_EQ(host::Now() - start, c.roundTrip < 2000 ? c.roundTrip : 2000);
        EXPECT_TRUE(host::Boxes().empty());
        EXPECT_EQ(sim::Frames().size(), 1u);
        CloseDevice();
    }
}

TEST_F(Exchange, AShortReadIsShownAndJudgedByWhatCame) {
    sim::Settings s;
    s.frameFaults = {{sim::FrameKind::Mode, 1, sim::Fault::ShortRead}};
    OpenUnit(s);
    BYTE reply = 0xD6;  // a byte of an earlier reply must not count as an answer
    EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);
    EXPECT_EQ(DrawnAt(LineStatus), std::vector<std::wstring>{TextShortRead});

    // Two asked, one came: shown, and the result stays true with the second byte untouched.
    BYTE two[2] = {0x00, 0x77};
    EXPECT_EQ(ExchangeCommand(two, ModeFrame, 2, 3), TRUE);
    EXPECT_EQ(two[0], 0xD6);
    EXPECT_EQ(two[1], 0x77);
    EXPECT_EQ(DrawnAt(LineStatus).size(), 2u);
    CloseDevice();
}

TEST_F(Exchange, ALateReplyIsDroppedAndAMissingOneStillCaught) {
    sim::Settings s;
    s.frameFaults = {{sim::FrameKind::Any, 1, sim::Fault::LateReply},
                     {sim::FrameKind::Any, 3, sim::Fault::NoReply}};
    OpenUnit(s);
    const BYTE other[3] = {0x01, 0x01, 0xD8};
    BYTE reply = 0;
    EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);  // late: past the window
    Sleep(600);                                                   // the late D6 has come meanwhile
    EXPECT_EQ(ExchangeCommand(&reply, other, 1, 3), TRUE);       // and is not taken as this answer
    EXPECT_EQ(reply, 0xD8);
    EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);  // no reply at all
    EXPECT_EQ(ExchangeCommand(&reply, other, 1, 3), TRUE);
    EXPECT_EQ(reply, 0xD8);
    EXPECT_TRUE(host::Boxes().empty());
    CloseDevice();
}

TEST_F(Exchange, FailingCallsShowTheirBoxes) {
    // Calls are counted from the opening: 12 #1 is the first look for stale replies.
    struct Case {
        int ordinal;
        int call;
        std::wstring box;
        int queueChecks;
    } cases[] = {
        {7, 1, BoxSendFailed, 1},
        {12, 1, BoxQueueFailed, 1},   // the look for stale replies
        {12, 2, BoxQueueFailed, -1},  // inside the wait: waiting goes on, bytes not read
        {6, 1, BoxReadFailed, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ordinal << "/" << c.call);
        sim::Settings s;
        s.callFaults = {{c.ordinal, c.call}};
        OpenUnit(s);
        BYTE reply = 0;
        EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);
        EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{c.box});
        for (const host::Box& box : host::Boxes()) EXPECT_EQ(box.caption, L" ");
        if (c.queueChecks > 0) {
            EXPECT_EQ(sim::CallCount(12), c.queueChecks);
        }
        if (c.ordinal == 12 && c.call == 2) {
            EXPECT_EQ(sim::CallCount(6), 0);
        }
        CloseDevice();
    }
}

TEST_F(Exchange, ReadyPollTriesUntilReady) {
    sim::Settings s;
    s.notReadyAnswers = 5;
    OpenUnit(s);
    DWORD start = host::Now();
    EXPECT_EQ(WaitDeviceReady(), TRUE);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Ready).size(), 6u);
    EXPECT_EQ(host::Now() - start, 6 * s.roundTripMs + 5 * 10);
    EXPECT_EQ(AppState.ReadyCountdown, 2000 - 5);
    CloseDevice();
}

TEST_F(Exchange, ReadyPollGivesUpAfter2000Tries) {
    sim::Settings s;
    s.notReadyAnswers = -1;
    OpenUnit(s);
    DWORD start = host::Now();
    EXPECT_EQ(WaitDeviceReady(), FALSE);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Ready).size(), 2000u);
    EXPECT_EQ(host::Now() - start, 2000 * (s.roundTripMs + 10));
    EXPECT_TRUE(host::Boxes().empty());
    CloseDevice();

    // With no device: 2000 pauses of 10 ms and no library call.
    host::ClearRecords();
    int calls = sim::CallCount(7);
    start = host::Now();
    EXPECT_EQ(WaitDeviceReady(), FALSE);
    EXPECT_EQ(host::Now() - start, 20000u);
    EXPECT_EQ(sim::CallCount(7), calls);
}

TEST_F(Exchange, ReadyPollReplies) {
    // A short read is shown and tested whole: with the buffer zeroed at the
    // start, a lone 0xDA is not taken as ready.
    sim::Settings s;
    s.frameFaults = {{sim::FrameKind::Ready, 1, sim::Fault::ShortRead},
                     {sim::FrameKind::Ready, 2, sim::Fault::WrongReply},
                     {sim::FrameKind::Ready, 3, sim::Fault::NoReply},
                     {sim::FrameKind::Ready, 4, sim::Fault::LateReply}};
    s.callFaults = {{7, 5}};  // the fifth try's write fails
    OpenUnit(s);
    EXPECT_EQ(WaitDeviceReady(), TRUE);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Ready).size(), 5u);  // 4 failed tries, the fifth not sent, the sixth ready
    EXPECT_EQ(AppState.ReadyCountdown, 2000 - 5);
    EXPECT_EQ(DrawnAt(LineStatus), std::vector<std::wstring>{TextShortRead});
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxSendFailed});
    CloseDevice();
}

}  // namespace

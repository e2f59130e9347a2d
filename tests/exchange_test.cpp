#include <gtest/gtest.h>

#include <algorithm>

#include "device/device_link.h"
#include "tests/support/fixture.h"

namespace {

namespace ex = expected;

const BYTE ModeFrame[3] = {0x01, 0x01, 0xD6};

class Exchange : public UnitTest {};

TEST_F(Exchange, NoDeviceOpenCostsNothing) {
    BYTE reply = 0x55;
    DWORD start = host::Now();
    EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);
    EXPECT_EQ(host::Now(), start);
    EXPECT_EQ(sim::CallCount(BridgeOp::Write) + sim::CallCount(BridgeOp::CheckRxQueue), 0);
    EXPECT_TRUE(host::Boxes().empty());
}

TEST_F(Exchange, TheReplyWindowIs2000Ms) {
    struct Case {
        DWORD roundTrip;
        BOOL result;
    } cases[] = {{1, TRUE}, {ex::ReplyWindowMs - 1, TRUE}, {ex::ReplyWindowMs, FALSE}, {5000, FALSE}};
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
        EXPECT_EQ(host::Now() - start, std::min(c.roundTrip, ex::ReplyWindowMs));
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
    EXPECT_EQ(DrawnAt(ex::LineStatus), std::vector<std::wstring>{ex::ShortRead});

    // Two asked, one came: shown, and the result stays true with the second byte untouched.
    BYTE two[2] = {0x00, 0x77};
    EXPECT_EQ(ExchangeCommand(two, ModeFrame, 2, 3), TRUE);
    EXPECT_EQ(two[0], 0xD6);
    EXPECT_EQ(two[1], 0x77);
    EXPECT_EQ(DrawnAt(ex::LineStatus), std::vector<std::wstring>(2, ex::ShortRead));
    for (const host::Draw& draw : host::Draws()) EXPECT_EQ(draw.x, ex::X);
    // The read asks for the whole reply, however many bytes were waiting;
    // reads and writes pass the open handle and a null last argument.
    std::vector<sim::Call> writes = CallsOf(BridgeOp::Write), reads = CallsOf(BridgeOp::Read);
    ASSERT_EQ(writes.size(), 2u);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[1].length, 2u);
    for (const sim::Call& call : {writes[0], writes[1], reads[0], reads[1]}) {
        EXPECT_EQ(call.handle, sim::HandleOf(0));
        EXPECT_TRUE(call.lastNull);
        EXPECT_TRUE(call.outGiven);
    }
    EXPECT_EQ(writes[0].length, 3u);
    EXPECT_EQ(reads[0].length, 1u);
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
    // The late byte is read by itself, then this frame's reply: no more is asked for.
    std::vector<sim::Call> reads = CallsOf(BridgeOp::Read);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].length, 1u);
    EXPECT_EQ(reads[1].length, 1u);
    EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);  // no reply at all
    EXPECT_EQ(ExchangeCommand(&reply, other, 1, 3), TRUE);
    EXPECT_EQ(reply, 0xD8);
    EXPECT_TRUE(host::Boxes().empty());
    CloseDevice();
}

TEST_F(Exchange, FailingCallsShowTheirBoxes) {
    // Calls are counted from the opening: queue check #1 is the first look for stale replies.
    struct Case {
        BridgeOp op;
        int call;
        ex::Box box;
        int queueChecks;
    } cases[] = {
        {BridgeOp::Write, 1, ex::SendFailedBox, 1},
        {BridgeOp::CheckRxQueue, 1, ex::QueueFailedBox, 1},   // the look for stale replies
        {BridgeOp::CheckRxQueue, 2, ex::QueueFailedBox, -1},  // inside the wait: waiting goes on, bytes not read
        {BridgeOp::Read, 1, ex::ReadFailedBox, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << OrdinalOf(c.op) << "/" << c.call);
        sim::Settings s;
        s.callFaults = {{c.op, c.call}};
        OpenUnit(s);
        BYTE reply = 0;
        EXPECT_EQ(ExchangeCommand(&reply, ModeFrame, 1, 3), FALSE);
        EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{c.box});
        if (c.queueChecks > 0) {
            EXPECT_EQ(sim::CallCount(BridgeOp::CheckRxQueue), c.queueChecks);
        }
        if (c.op == BridgeOp::CheckRxQueue && c.call == 2) {
            EXPECT_EQ(sim::CallCount(BridgeOp::Read), 0);
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
    EXPECT_EQ(host::Now() - start, 6 * s.roundTripMs + 5 * ex::ReadyPauseMs);
    EXPECT_EQ(AppState.ReadyCountdown, ex::ReadyTries - 5);
    for (const sim::Frame& query : sim::Frames()) {
        EXPECT_EQ(query.Bytes(), ex::ReadyQuery);
        EXPECT_EQ(query.replyLength, 2);
    }
    EXPECT_EQ(sim::Frames().back().Reply(), ex::ReadyAnswer);
    for (const sim::Call& read : CallsOf(BridgeOp::Read)) EXPECT_EQ(read.length, 2u);
    std::vector<std::string> pauses;
    for (const std::string& event : host::Events())
        if (event.rfind("sleep:", 0) == 0) pauses.push_back(event);
    EXPECT_EQ(pauses, std::vector<std::string>(5, "sleep:10"));
    CloseDevice();
}

TEST_F(Exchange, ReadyPollGivesUpAfter2000Tries) {
    sim::Settings s;
    s.notReadyAnswers = -1;
    OpenUnit(s);
    DWORD start = host::Now();
    EXPECT_EQ(WaitDeviceReady(), FALSE);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Ready).size(), static_cast<std::size_t>(ex::ReadyTries));
    EXPECT_EQ(host::Now() - start, ex::ReadyTries * (s.roundTripMs + ex::ReadyPauseMs));
    EXPECT_TRUE(host::Boxes().empty());
    CloseDevice();

    // With no device: 2000 pauses of 10 ms and no library call.
    host::ClearRecords();
    int calls = sim::CallCount(BridgeOp::Write);
    start = host::Now();
    EXPECT_EQ(WaitDeviceReady(), FALSE);
    EXPECT_EQ(host::Now() - start, ex::ReadyTries * ex::ReadyPauseMs);
    EXPECT_EQ(sim::CallCount(BridgeOp::Write), calls);
}

TEST_F(Exchange, ReadyPollReplies) {
    // A short read is shown and tested whole: with the buffer zeroed at the
    // start, a lone 0xDA is not taken as ready.
    sim::Settings s;
    s.frameFaults = {{sim::FrameKind::Ready, 1, sim::Fault::ShortRead},
                     {sim::FrameKind::Ready, 2, sim::Fault::WrongReply},
                     {sim::FrameKind::Ready, 3, sim::Fault::NoReply},
                     {sim::FrameKind::Ready, 4, sim::Fault::LateReply}};
    s.callFaults = {{BridgeOp::Write, 5}};  // the fifth try's write fails
    OpenUnit(s);
    EXPECT_EQ(WaitDeviceReady(), TRUE);
    EXPECT_EQ(sim::FramesOf(sim::FrameKind::Ready).size(), 5u);  // 4 failed tries, the fifth not sent, the sixth ready
    EXPECT_EQ(AppState.ReadyCountdown, ex::ReadyTries - 5);
    EXPECT_EQ(DrawnAt(ex::LineStatus), std::vector<std::wstring>{ex::ShortRead});
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::SendFailedBox});
    CloseDevice();
}

}  // namespace

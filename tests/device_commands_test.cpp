#include <gtest/gtest.h>

#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "tests/support/fixture.h"

namespace {

namespace ex = expected;

class DeviceCommands : public UnitTest {};

TEST_F(DeviceCommands, EchoedAtOnce) {
    for (BYTE code : {ex::Normal, ex::Reset, ex::Write, ex::Update, ex::UpdateOk, BYTE{0xD7}, BYTE{0x42}}) {
        SCOPED_TRACE(static_cast<int>(code));
        OpenUnit();
        EXPECT_EQ(SetFpgaMode(code), TRUE);
        EXPECT_EQ(FrameBytes(), std::vector<ex::Frame>{ex::ControllerFrame(code)});
        EXPECT_EQ(sim::Frames()[0].Reply(), ex::Frame{code});
        // Codes without a text draw nothing.
        std::vector<std::wstring> texts;
        if (!ex::ModeText(code).empty()) texts.push_back(ex::ModeText(code));
        EXPECT_EQ(DrawnAt(ex::LineStatus), texts);
        EXPECT_EQ(host::Draws().size(), texts.size());
        EXPECT_TRUE(host::Boxes().empty());
        CloseDevice();
    }
    OpenUnit();
    EXPECT_EQ(SelectSpiSpeed(), TRUE);
    EXPECT_EQ(FrameBytes(), std::vector<ex::Frame>{ex::ControllerFrame(ex::SpeedCode)});
    EXPECT_EQ(DrawnAt(ex::LineStatus), std::vector<std::wstring>{ex::SpiSpeed});
    CloseDevice();
}

// One fault on the first frame costs one retransmission; a fault on the
// retransmission too ends in the box. A late echo is dropped, not taken for
// the retransmission's own.
TEST_F(DeviceCommands, RetransmitOnceThenFail) {
    using sim::Fault;
    const TwoFaults cases[] = {
        {Fault::WrongReply, Fault::None, TRUE}, {Fault::NoReply, Fault::None, TRUE},
        {Fault::LateReply, Fault::None, TRUE},  {Fault::ShortRead, Fault::None, TRUE},
        {Fault::WrongReply, Fault::WrongReply, FALSE}, {Fault::NoReply, Fault::NoReply, FALSE},
        {Fault::NoReply, Fault::LateReply, FALSE},
        // The late echo comes within the retransmission's window: the unit did switch.
        {Fault::LateReply, Fault::NoReply, TRUE},
    };
    for (bool speed : {false, true}) {
        for (const TwoFaults& c : cases) {
            SCOPED_TRACE(testing::Message() << (speed ? "speed " : "mode ") << sim::FaultName(c.first) << "/"
                                            << sim::FaultName(c.second));
            sim::Settings s;
            s.frameFaults = {{sim::FrameKind::Any, 1, c.first}, {sim::FrameKind::Any, 2, c.second}};
            OpenUnit(s);
            BOOL result = speed ? SelectSpiSpeed() : SetFpgaMode(ex::Reset);
            EXPECT_EQ(result, c.result);
            BYTE code = speed ? ex::SpeedCode : ex::Reset;
            EXPECT_EQ(FrameBytes(), std::vector<ex::Frame>(2, ex::ControllerFrame(code)));
            // The command's text, the retransmission, then the retransmit text
            // (a short read adds its own text between).
            std::vector<std::wstring> drawn = DrawnAt(ex::LineStatus);
            ASSERT_GE(drawn.size(), 2u);
            EXPECT_EQ(drawn.front(), speed ? ex::SpiSpeed : ex::ModeText(ex::Reset));
            EXPECT_EQ(drawn.back(), speed ? ex::SpeedRetransmit : ex::ModeRetransmit);
            EXPECT_EQ(drawn.size(), c.first == Fault::ShortRead ? 3u : 2u);
            if (c.result) {
                EXPECT_TRUE(host::Boxes().empty());
            } else {
                EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{speed ? ex::SpeedFailedBox : ex::ModeFailedBox});
            }
            CloseDevice();
        }
    }
}

TEST_F(DeviceCommands, LibraryFailuresShowTheirBoxesBeforeTheCommandsOwn) {
    sim::Settings s;
    s.callFaults = {{BridgeOp::Write, 0}};
    OpenUnit(s);
    EXPECT_EQ(SetFpgaMode(ex::Normal), FALSE);
    EXPECT_EQ(BoxesShown(), (std::vector<ex::Box>{ex::SendFailedBox, ex::SendFailedBox, ex::ModeFailedBox}));
    CloseDevice();

    host::ClearRecords();  // no bridge open: both exchanges fail silently
    EXPECT_EQ(SelectSpiSpeed(), FALSE);
    EXPECT_EQ(BoxesShown(), std::vector<ex::Box>{ex::SpeedFailedBox});
}

}  // namespace

#include <gtest/gtest.h>

#include "app/texts.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "tests/support/fixture.h"

namespace {

class DeviceCommands : public UnitTest {
protected:
    void SetUp() override {
        UnitTest::SetUp();
    }
};

TEST_F(DeviceCommands, EchoedAtOnce) {
    struct Case {
        BYTE code;
        const WCHAR* text;  // nullptr: none drawn
    } cases[] = {
        {Normal, ModeTexts[0].text}, {Reset, ModeTexts[1].text}, {Write, ModeTexts[2].text},
        {Update, ModeTexts[3].text}, {UpdateOk, ModeTexts[4].text}, {0xD7, nullptr}, {0x42, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.code));
        OpenUnit();
        EXPECT_EQ(SetFpgaMode(c.code), TRUE);
        EXPECT_EQ(FrameBytes(), std::vector<std::vector<BYTE>>{Bytes({0x01, 0x01, c.code})});
        EXPECT_EQ(sim::Frames()[0].Reply(), Bytes({c.code}));
        EXPECT_EQ(DrawnAt(LineStatus), c.text ? std::vector<std::wstring>{c.text} : std::vector<std::wstring>{});
        EXPECT_TRUE(host::Boxes().empty());
        CloseDevice();
    }
    OpenUnit();
    EXPECT_EQ(SelectSpiSpeed(), TRUE);
    EXPECT_EQ(FrameBytes(), std::vector<std::vector<BYTE>>{Bytes({0x01, 0x01, 0xD5})});
    EXPECT_EQ(DrawnAt(LineStatus), std::vector<std::wstring>{TextSpiSpeed});
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
            BOOL result = speed ? SelectSpiSpeed() : SetFpgaMode(Reset);
            EXPECT_EQ(result, c.result);
            BYTE code = speed ? 0xD5 : 0xD8;
            EXPECT_EQ(FrameBytes(), std::vector<std::vector<BYTE>>(2, Bytes({0x01, 0x01, code})));
            const WCHAR* text = speed ? TextSpiSpeed : ModeTexts[1].text;
            const WCHAR* retransmit = speed ? TextSpeedRetransmit : TextModeRetransmit;
            std::vector<std::wstring> drawn = DrawnAt(LineStatus);
            ASSERT_GE(drawn.size(), 2u);
            EXPECT_EQ(drawn.front(), text);
            EXPECT_EQ(drawn.back(), retransmit);
            if (c.result) {
                EXPECT_TRUE(host::Boxes().empty());
            } else {
                ASSERT_EQ(host::Boxes().size(), 1u);
                EXPECT_EQ(host::Boxes()[0].text, speed ? BoxSpeedFailed : BoxModeFailed);
                EXPECT_EQ(host::Boxes()[0].caption, L"Critical Error!!! ");
                EXPECT_EQ(host::Boxes()[0].type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
            }
            CloseDevice();
        }
    }
}

TEST_F(DeviceCommands, LibraryFailuresShowTheirBoxesBeforeTheCommandsOwn) {
    sim::Settings s;
    s.callFaults = {{7, 0}};
    OpenUnit(s);
    EXPECT_EQ(SetFpgaMode(Normal), FALSE);
    EXPECT_EQ(BoxTexts(), (std::vector<std::wstring>{BoxSendFailed, BoxSendFailed, BoxModeFailed}));
    CloseDevice();

    host::ClearRecords();  // no bridge open: both exchanges fail silently
    EXPECT_EQ(SelectSpiSpeed(), FALSE);
    EXPECT_EQ(BoxTexts(), std::vector<std::wstring>{BoxSpeedFailed});
}

}  // namespace

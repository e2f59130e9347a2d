// The settings text of the simulated unit: every key, and lines that are not understood.
#include "sim/settings_file.h"

#include <gtest/gtest.h>

namespace {

TEST(SettingsFile, ReadsEveryKey) {
    sim::SettingsFile file = sim::ParseSettings(
        "# a comment line\n"
        "\n"
        "devices = 1999, 2025\r\n"
        "round_trip_ms = 3\n"
        "erase_ms = 40   # trailing comment\n"
        "program_ms = 2\n"
        "late_by_ms = 2100\n"
        "not_ready_answers = -1\n"
        "flash_fill = 0x00\n"
        "fault = program:100:no_reply\n"
        "fault = frame:7:short_read\n"
        "call_fault = 7:12\n"
        "call_fault = 12:0\n"
        "output = Z:\\tmp\\run 1\n");
    EXPECT_EQ(file.error, "");
    const sim::Settings& s = file.settings;
    ASSERT_EQ(s.devices.size(), 2u);
    EXPECT_EQ(s.devices[0].serial, "1999");
    EXPECT_EQ(s.devices[1].serial, "2025");
    EXPECT_EQ(s.devices[1].product, "SORVIK");
    EXPECT_EQ(s.roundTripMs, 3u);
    EXPECT_EQ(s.eraseMs, 40u);
    EXPECT_EQ(s.programMs, 2u);
    EXPECT_EQ(s.lateByMs, 2100u);
    EXPECT_EQ(s.notReadyAnswers, -1);
    EXPECT_EQ(s.flashFill, 0x00);
    ASSERT_EQ(s.frameFaults.size(), 2u);
    EXPECT_EQ(s.frameFaults[0].kind, sim::FrameKind::Program);
    EXPECT_EQ(s.frameFaults[0].occurrence, 100);
    EXPECT_EQ(s.frameFaults[0].fault, sim::Fault::NoReply);
    EXPECT_EQ(s.frameFaults[1].kind, sim::FrameKind::Any);
    EXPECT_EQ(s.frameFaults[1].occurrence, 7);
    EXPECT_EQ(s.frameFaults[1].fault, sim::Fault::ShortRead);
    ASSERT_EQ(s.callFaults.size(), 2u);
    EXPECT_EQ(s.callFaults[0].op, BridgeOp::Write);
    EXPECT_EQ(s.callFaults[0].call, 12);
    EXPECT_EQ(s.callFaults[1].op, BridgeOp::CheckRxQueue);
    EXPECT_EQ(s.callFaults[1].call, 0);
    EXPECT_EQ(file.output, "Z:\\tmp\\run 1");
}

TEST(SettingsFile, EmptyTextGivesOneHealthyUnit) {
    sim::SettingsFile file = sim::ParseSettings("");
    EXPECT_EQ(file.error, "");
    ASSERT_EQ(file.settings.devices.size(), 1u);
    EXPECT_EQ(file.settings.devices[0].serial, "2025");
    EXPECT_EQ(file.settings.flashFill, 0xFF);
    EXPECT_EQ(file.settings.roundTripMs, 1u);
    EXPECT_TRUE(file.settings.frameFaults.empty());
    EXPECT_EQ(file.output, "");
}

TEST(SettingsFile, EmptyDeviceListAttachesNone) {
    EXPECT_TRUE(sim::ParseSettings("devices =\n").settings.devices.empty());
}

// Every kind and fault name a frame fault can carry, with what it selects.
TEST(SettingsFile, FaultNames) {
    const struct {
        const char* text;
        sim::FrameKind kind;
        sim::Fault fault;
    } cases[] = {
        {"mode:1:late_reply", sim::FrameKind::Mode, sim::Fault::LateReply},
        {"speed:1:wrong_reply", sim::FrameKind::Speed, sim::Fault::WrongReply},
        {"ready:1:none", sim::FrameKind::Ready, sim::Fault::None},
        {"write_enable:1:stuck_busy", sim::FrameKind::WriteEnable, sim::Fault::StuckBusy},
        {"erase:1:wrong_status", sim::FrameKind::Erase, sim::Fault::WrongStatus},
        {"status:1:no_reply", sim::FrameKind::Status, sim::Fault::NoReply},
        {"program:1:drop_program", sim::FrameKind::Program, sim::Fault::DropProgram},
        {"unknown:1:short_read", sim::FrameKind::Unknown, sim::Fault::ShortRead},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        sim::SettingsFile file = sim::ParseSettings(std::string("fault = ") + c.text + "\n");
        EXPECT_EQ(file.error, "");
        ASSERT_EQ(file.settings.frameFaults.size(), 1u);
        EXPECT_EQ(file.settings.frameFaults[0].kind, c.kind);
        EXPECT_EQ(file.settings.frameFaults[0].fault, c.fault);
    }
}

// A bad line is reported by its number and text; the lines around it still count.
// A call fault names its operation by the bridge library's ordinal; the
// numbers in between are no operation of the library.
TEST(SettingsFile, CallFaultOrdinals) {
    const struct {
        const char* ordinal;
        BridgeOp op;
    } cases[] = {
        {"1", BridgeOp::CountDevices}, {"2", BridgeOp::GetDeviceString}, {"3", BridgeOp::Open},
        {"4", BridgeOp::Close},        {"6", BridgeOp::Read},            {"7", BridgeOp::Write},
        {"9", BridgeOp::Flush},        {"12", BridgeOp::CheckRxQueue},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ordinal);
        sim::SettingsFile file = sim::ParseSettings(std::string("call_fault = ") + c.ordinal + ":3\n");
        EXPECT_EQ(file.error, "");
        ASSERT_EQ(file.settings.callFaults.size(), 1u);
        EXPECT_EQ(file.settings.callFaults[0].op, c.op);
        EXPECT_EQ(file.settings.callFaults[0].call, 3);
    }
    for (const char* ordinal : {"0", "5", "8", "10", "11", "13"}) {
        SCOPED_TRACE(ordinal);
        sim::SettingsFile file = sim::ParseSettings(std::string("call_fault = ") + ordinal + ":1\n");
        EXPECT_NE(file.error, "");
        EXPECT_TRUE(file.settings.callFaults.empty());
    }
}

TEST(SettingsFile, LinesNotUnderstood) {
    const char* const badLines[] = {
        "round_trip_ms",            // no '='
        "colour = red",             // unknown key
        "erase_ms = soon",          // not a number
        "fault = program:1",        // two parts
        "fault = program:x:no_reply",
        "fault = Program:1:no_reply",  // names are lower case
        "fault = program:1:lost",
        "call_fault = 7",
        "call_fault = 7:a",
        "flash_fill = zz",
    };
    for (const char* bad : badLines) {
        SCOPED_TRACE(bad);
        sim::SettingsFile file =
            sim::ParseSettings(std::string("erase_ms = 20\n") + bad + "\nprogram_ms = 4\n");
        EXPECT_EQ(file.error, std::string("line 2 not understood: ") + bad);
        EXPECT_EQ(file.settings.eraseMs, 20u);
        EXPECT_EQ(file.settings.programMs, 4u);
        EXPECT_TRUE(file.settings.frameFaults.empty());
        EXPECT_TRUE(file.settings.callFaults.empty());
    }
}

TEST(SettingsFile, FirstBadLineIsTheOneReported) {
    sim::SettingsFile file = sim::ParseSettings("\n# note\nspeed = 3\nerase_ms = x\n");
    EXPECT_EQ(file.error, "line 3 not understood: speed = 3");
}

}  // namespace

namespace {

TEST(SettingsFile, TyposAreReportedNotHalfRead) {
    for (const char* line : {"round_trip_ms = 1O", "erase_ms = -5", "call_fault = 5:1", "call_fault = 7:x",
                             "fault = program:2x:no_reply", "flash_fill = 256x"}) {
        SCOPED_TRACE(line);
        EXPECT_NE(sim::ParseSettings(std::string(line) + "\n").error, "");
    }
}

}  // namespace

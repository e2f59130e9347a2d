#include <gtest/gtest.h>

#include <cwchar>

#include "app/status_display.h"
#include "app/texts.h"
#include "tests/support/fixture.h"

namespace {

namespace ex = expected;

const int Capacity = 80;  // the callers' formatting buffers

// The introduction is drawn by the Windows shell alone; here only its texts
// can be held against what the user must read.
TEST(StatusTexts, TheIntroductionLines) {
    EXPECT_EQ(std::wstring(TextIntroHeading), ex::IntroHeading);
    EXPECT_EQ(std::wstring(TextIntroVersion), ex::IntroVersion);
    EXPECT_EQ(std::wstring(TextIntroConnect), ex::IntroConnect);
    EXPECT_EQ(std::wstring(TextIntroCloseOthers), ex::IntroCloseOthers);
}

class StatusDisplay : public UnitTest {};

TEST_F(StatusDisplay, TrailingBlanksOverwriteALongerEarlierText) {
    ShowStatus(ex::IntroConnect.c_str(), ex::LineClosing2);
    ShowStatus(ex::WaitAfterPowerUp.c_str(), ex::LineClosing2);
    EXPECT_EQ(host::ScreenText(ex::LineClosing2), L"After power up, wait around 15 seconds");

    ShowStatus(ex::ProgressText(L"100.0").c_str(), ex::LineStatus);
    ShowStatus(ex::ModeText(ex::Normal).c_str(), ex::LineStatus);  // "FPGA normal", 40 cells over 54
    EXPECT_EQ(host::ScreenText(ex::LineStatus), L"FPGA normal");
    EXPECT_EQ(host::ScreenCells(ex::LineStatus).size(), 54u);

    ShowStatus(L"", ex::LineClosing1);
    EXPECT_EQ(host::ScreenCells(ex::LineClosing1), L"");
    const auto draws = host::Draws();
    ASSERT_EQ(draws.size(), 5u);
    for (const host::Draw& draw : draws) EXPECT_EQ(draw.x, ex::X);
    EXPECT_EQ(draws[2].text.size(), 54u);
}

TEST(FormatText, FormatsTheStoredFormats) {
    WCHAR out[Capacity];
    EXPECT_EQ(FormatText(out, FormatFileNotFound, L"SORVIK-FPGA-1.45-1013.bin"), 46);
    EXPECT_EQ(std::wstring(out), ex::FileMissingBox(ex::MainImage).text);
    EXPECT_EQ(FormatText(out, FormatFileNotFound, L"SORVIK.0.1.OSD.03.bin"), 42);

    struct {
        double value;
        const WCHAR* shown;
    } progress[] = {{0.0, L"0.0"}, {0.3, L"0.3"}, {9.96, L"10.0"}, {55.55, L"55.5"}, {100.0, L"100.0"}};
    for (const auto& p : progress) {
        int length = FormatText(out, FormatProgress, p.value, '%');
        EXPECT_EQ(out, ex::ProgressText(p.shown));
        EXPECT_EQ(length, static_cast<int>(ex::ProgressText(p.shown).size()));
    }
}

TEST(FormatText, CutsALongResultAt79AndTerminates) {
    WCHAR out[Capacity + 8];
    std::wmemset(out, L'#', Capacity + 8);
    std::wstring name(120, L'n');
    EXPECT_EQ(FormatText(out, FormatFileNotFound, name.c_str()), 79);
    EXPECT_EQ(out[79], L'\0');
    EXPECT_EQ(out[80], L'#');  // nothing past the caller's 80 characters
    EXPECT_EQ(std::wstring(out), L"Input file " + std::wstring(68, L'n'));
    EXPECT_EQ(FormatText(out, L"%% %s", L"x"), 3);
    EXPECT_STREQ(out, L"% x");
}

}  // namespace

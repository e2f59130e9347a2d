#include <gtest/gtest.h>

#include <cwchar>

#include "app/status_display.h"
#include "app/texts.h"
#include "tests/support/fixture.h"

namespace {

struct Stored {
    const WCHAR* text;
    std::size_t length;
    std::size_t trailingBlanks;
};

std::size_t TrailingBlanks(const WCHAR* text) {
    std::size_t n = wcslen(text), blanks = 0;
    while (blanks < n && text[n - 1 - blanks] == L' ') ++blanks;
    return blanks;
}

TEST(StatusTexts, EveryStoredTextHasItsLengthAndBlanks) {
    const Stored table[] = {
        {TextIntroHeading, 18, 0}, {TextIntroVersion, 18, 0}, {TextIntroConnect, 27, 0},
        {TextIntroCloseOthers, 31, 0}, {FatalTexts[1], 36, 21}, {FatalTexts[2], 36, 18},
        {FatalTexts[3], 36, 26}, {FatalTexts[4], 36, 20}, {FatalTexts[5], 36, 25},
        {FatalTexts[6], 36, 20}, {FatalTexts[7], 36, 20}, {FatalTexts[8], 37, 21},
        {TextShortRead, 48, 16}, {TextSpiSpeed, 34, 16}, {TextSpeedRetransmit, 38, 4},
        {ModeTexts[0].text, 40, 29}, {ModeTexts[1].text, 33, 16}, {ModeTexts[2].text, 34, 6},
        {ModeTexts[3].text, 34, 7}, {ModeTexts[4].text, 34, 22}, {TextModeRetransmit, 47, 15},
        {TextWriteStarted, 45, 23}, {FormatProgress, 56, 33}, {TextWriteRetransmit, 42, 10},
        {TextUpdating, 39, 22}, {TextPowerWarning, 39, 18}, {TextWritingPart[0], 32, 14},
        {TextWritingPart[1], 32, 14}, {TextWritingPart[2], 32, 14}, {TextWritingPart[3], 31, 13},
        {TextUpdateOk, 42, 27}, {TextBlankLine, 42, 42}, {TextPowerCycle, 30, 12},
        {TextWaitAfterPowerUp, 42, 4}, {TextReconfigure, 36, 3},
    };
    for (const Stored& s : table) {
        EXPECT_EQ(wcslen(s.text), s.length) << '"' << std::wstring(s.text).c_str() << '"';
        EXPECT_EQ(TrailingBlanks(s.text), s.trailingBlanks) << s.length;
    }
    EXPECT_EQ(std::wstring(FatalTexts[6]).substr(0, 16), std::wstring(FatalTexts[8]).substr(0, 16));
    const BYTE modeCodes[] = {0xD6, 0xD8, 0xD9, 0xDB, 0xDC};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(ModeTexts[i].code, modeCodes[i]);
}

class StatusDisplay : public UnitTest {};

TEST_F(StatusDisplay, TrailingBlanksOverwriteALongerEarlierText) {
    ShowStatus(TextIntroConnect, LineClosing2);
    ShowStatus(TextWaitAfterPowerUp, LineClosing2);
    EXPECT_EQ(host::ScreenText(LineClosing2), L"After power up, wait around 15 seconds");

    WCHAR progress[FormatCapacity];
    FormatText(progress, FormatProgress, 100.0, '%');
    ShowStatus(progress, LineStatus);
    ShowStatus(ModeTexts[0].text, LineStatus);  // "FPGA normal", 40 cells over 54
    EXPECT_EQ(host::ScreenText(LineStatus), L"FPGA normal");
    EXPECT_EQ(host::ScreenCells(LineStatus).size(), 54u);

    ShowStatus(L"", LineClosing1);
    EXPECT_EQ(host::ScreenCells(LineClosing1), L"");
    const auto draws = host::Draws();
    ASSERT_EQ(draws.size(), 5u);
    EXPECT_EQ(draws[0].x, 10);
    EXPECT_EQ(draws[2].text.size(), 54u);
}

TEST(FormatText, FormatsTheStoredFormats) {
    WCHAR out[FormatCapacity];
    EXPECT_EQ(FormatText(out, FormatFileNotFound, L"SORVIK-FPGA-1.45-1013.bin"), 46);
    EXPECT_STREQ(out, L"Input file SORVIK-FPGA-1.45-1013.bin not found");
    EXPECT_EQ(FormatText(out, FormatFileNotFound, L"SORVIK.0.1.OSD.03.bin"), 42);

    struct {
        double value;
        const WCHAR* shown;
    } progress[] = {{0.0, L"0.0"}, {0.3, L"0.3"}, {9.96, L"10.0"}, {55.55, L"55.5"}, {100.0, L"100.0"}};
    for (const auto& p : progress) {
        int length = FormatText(out, FormatProgress, p.value, '%');
        std::wstring expected = std::wstring(L"Flash write:  ") + p.shown + L" %" + std::wstring(33, L' ');
        EXPECT_EQ(out, expected);
        EXPECT_EQ(length, static_cast<int>(expected.size()));
    }
}

TEST(FormatText, CutsALongResultAt79AndTerminates) {
    WCHAR out[FormatCapacity + 8];
    std::wmemset(out, L'#', FormatCapacity + 8);
    std::wstring name(120, L'n');
    EXPECT_EQ(FormatText(out, FormatFileNotFound, name.c_str()), 79);
    EXPECT_EQ(out[79], L'\0');
    EXPECT_EQ(out[80], L'#');  // nothing past the caller's 80 characters
    EXPECT_EQ(std::wstring(out), L"Input file " + std::wstring(68, L'n'));
    EXPECT_EQ(FormatText(out, L"%% %s", L"x"), 3);
    EXPECT_STREQ(out, L"% x");
}

}  // namespace

// Every text the utility shows, stored as drawn: the trailing blanks of a
// status text overwrite what a longer earlier text left on the same line.
#pragma once
#include <windows.h>

// Status lines (y of the text's top edge; every text starts at x 10).
const int LineStatus = 10;
const int LineVersion = 30;
const int LinePart = 40;
const int LineClosing1 = 60;
const int LineClosing2 = 80;
const int LineClosing3 = 100;

// Introduction, drawn once after the window is shown.
extern const WCHAR TextIntroHeading[];
extern const WCHAR TextIntroVersion[];
extern const WCHAR TextIntroConnect[];
extern const WCHAR TextIntroCloseOthers[];

// Device link.
extern const WCHAR TextShortRead[];
// The fatal stop's codes; FatalTexts holds each one's text.
enum FatalCode : BYTE {
    FatalSpiSpeed = 1,        // the SPI speed selection failed
    FatalSelectFlash = 2,     // raised by nothing
    FatalBoot = 3,            // raised by nothing
    FatalFlashRead = 4,       // raised by nothing
    FatalWrite = 5,           // an FPGA mode command failed
    FatalChipErase = 6,       // the sector erase of an image failed
    FatalChipWrite = 7,       // writing an image file failed
    FatalChipEraseWide = 8,   // raised by nothing; code 6's words with one blank more
};
extern const WCHAR* const FatalTexts[9];  // indexed by FatalCode

// Device command set.
extern const WCHAR TextSpiSpeed[];
extern const WCHAR TextSpeedRetransmit[];
extern const WCHAR TextModeRetransmit[];
// Drawn before each FPGA mode command (the codes are the command set's).
extern const WCHAR TextModeNormal[];
extern const WCHAR TextModeReset[];
extern const WCHAR TextModeWrite[];
extern const WCHAR TextModeUpdate[];
extern const WCHAR TextModeUpdateOk[];

// Image writer.
extern const WCHAR TextWriteStarted[];
extern const WCHAR FormatProgress[];
extern const WCHAR TextWriteRetransmit[];

// Update worker.
extern const WCHAR TextUpdating[];
extern const WCHAR TextPowerWarning[];
extern const WCHAR* const TextWritingPart[4];  // parts 2 to 5
extern const WCHAR TextUpdateOk[];
extern const WCHAR TextBlankLine[];
extern const WCHAR TextPowerCycle[];
extern const WCHAR TextWaitAfterPowerUp[];
extern const WCHAR TextReconfigure[];

// Message boxes: captions and texts.
extern const WCHAR CaptionCritical[];
extern const WCHAR CaptionBlank[];
extern const WCHAR CaptionFileMissing[];
extern const WCHAR FormatFileNotFound[];
extern const WCHAR FormatFileTooLarge[];
extern const WCHAR FormatFileUnreadable[];
extern const WCHAR FormatWrongId[];
extern const WCHAR BoxSerialString[];
extern const WCHAR BoxNotConnected[];
extern const WCHAR BoxOpenFailed[];
extern const WCHAR BoxCloseFailed[];
extern const WCHAR BoxSendFailed[];
extern const WCHAR BoxQueueFailed[];
extern const WCHAR BoxReadFailed[];
extern const WCHAR BoxModeFailed[];
extern const WCHAR BoxSpeedFailed[];
extern const WCHAR BoxWriteEnableFailed[];
extern const WCHAR BoxSectorEraseFailed[];
extern const WCHAR BoxFlashWriteFailed[];
extern const WCHAR BoxUpdateOk[];
extern const WCHAR BoxFatal[];

// Standard output's one line.
extern const char TextWrongId[];

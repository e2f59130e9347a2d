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
extern const WCHAR* const FatalTexts[9];  // indexed by error code 1 to 8

// Device command set.
extern const WCHAR TextSpiSpeed[];
extern const WCHAR TextSpeedRetransmit[];
extern const WCHAR TextModeRetransmit[];
struct ModeText {
    BYTE code;
    const WCHAR* text;
};
extern const ModeText ModeTexts[5];

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

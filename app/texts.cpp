#include "app/texts.h"

const WCHAR TextIntroHeading[] = L"SORVIK FPGA UPDATE";
const WCHAR TextIntroVersion[] = L"Version: 1.45-1013";
const WCHAR TextIntroConnect[] = L"Connect USB cable to Sorvik";
const WCHAR TextIntroCloseOthers[] = L"Close other software (e.g. GUI)";

const WCHAR TextShortRead[] = L"BytesRead not same as datalength                ";

const WCHAR* const FatalTexts[9] = {
    nullptr,
    L"SPI Speed error                     ",
    L"Select Flash error                  ",
    L"Boot error                          ",
    L"Flash Read error                    ",
    L"Write error                         ",
    L"Chip Erase error                    ",
    L"Chip Write error                    ",
    L"Chip Erase error                     ",
};

const WCHAR TextSpiSpeed[] = L"Spi speed = 12 MHz                ";
const WCHAR TextSpeedRetransmit[] = L"Select Speed error:  retransmit...    ";
const WCHAR TextModeRetransmit[] = L"Reset FPGA error:  retransmit...               ";
const WCHAR TextModeNormal[] = L"FPGA normal                             ";
const WCHAR TextModeReset[] = L"FPGA reset active                ";
const WCHAR TextModeWrite[] = L"Write active, please wait...      ";
const WCHAR TextModeUpdate[] = L"Update process, please wait       ";
const WCHAR TextModeUpdateOk[] = L"Update ok...                      ";

const WCHAR TextWriteStarted[] = L"Flash write started...                       ";
const WCHAR FormatProgress[] = L"Flash write:  %03.1f %c                                 ";
const WCHAR TextWriteRetransmit[] = L"Flash Write ERROR: retransmit...          ";

const WCHAR TextUpdating[] = L"Updating Firmware                      ";
const WCHAR TextPowerWarning[] = L"Do NOT turn power OFF                  ";
const WCHAR* const TextWritingPart[4] = {
    L"Writing part 2 ...              ",
    L"Writing part 3 ...              ",
    L"Writing part 4 ...              ",
    L"Writing part 5 ...             ",
};
const WCHAR TextUpdateOk[] = L"FLASH update ok                           ";
const WCHAR TextBlankLine[] = L"                                          ";
const WCHAR TextPowerCycle[] = L"Power cycle SORVIK            ";
const WCHAR TextWaitAfterPowerUp[] = L"After power up, wait around 15 seconds    ";
const WCHAR TextReconfigure[] = L"SORVIK will reconfigure and start   ";

const WCHAR CaptionCritical[] = L"Critical Error!!! ";
const WCHAR CaptionBlank[] = L" ";
const WCHAR CaptionFileMissing[] = L"File missing";
const WCHAR FormatFileNotFound[] = L"Input file %s not found";
const WCHAR FormatFileTooLarge[] = L"Input file %s is too large for its flash region";
const WCHAR FormatFileUnreadable[] = L"Input file %s could not be read";
const WCHAR FormatWrongId[] = L"Wrong ID in input file %s";
const WCHAR BoxSerialString[] = L"Error retrieving serial string!";
const WCHAR BoxNotConnected[] = L"Usb device not connected!";
const WCHAR BoxOpenFailed[] = L"Usb device could not be opened!";
const WCHAR BoxCloseFailed[] = L"Unable to close device handle!";
const WCHAR BoxSendFailed[] = L"Error Sending Code";
const WCHAR BoxQueueFailed[] = L"Error Checking Queue";
const WCHAR BoxReadFailed[] = L"Error Reading Data";
const WCHAR BoxModeFailed[] = L"ERROR Resetting FPGA!";
const WCHAR BoxSpeedFailed[] = L"ERROR Selecting Speed!";
const WCHAR BoxWriteEnableFailed[] = L"ERROR Write Enable!";
const WCHAR BoxSectorEraseFailed[] = L"Sector erase error!";
const WCHAR BoxFlashWriteFailed[] = L"Flash Write ERROR!";
const WCHAR BoxUpdateOk[] = L"FLASH update ok ";
const WCHAR BoxFatal[] = L" ";

const char TextWrongId[] = "Wrong ID\n";

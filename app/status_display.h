// Lines of text drawn straight into the main window, from any thread.
#pragma once
#include <windows.h>

const int StatusX = 10;         // every status text starts here
const int FormatCapacity = 80;  // 79 characters and the terminating null

// Draws the whole text, trailing blanks included, at (10, y).
void ShowStatus(const WCHAR* text, int y);

// Formats into the caller's 80-character buffer; %s takes a wide string.
// A longer result is cut to 79 characters; the buffer is always terminated.
int FormatText(WCHAR* destination, const WCHAR* format, ...);

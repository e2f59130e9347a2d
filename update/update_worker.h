// The whole firmware update, run on a thread of its own.
#pragma once
#include <windows.h>

extern const WCHAR MainImageName[];

DWORD WINAPI UpdateWorker(LPVOID unused);

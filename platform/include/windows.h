// Host stand-in for the few Windows interfaces that the device, flash and
// update code call, so that those sources compile unchanged on Linux.
// Behind them (platform/host_platform.cpp): a virtual millisecond clock,
// a recorded screen, recorded message boxes and a self-checking lock.
#pragma once
#include <cstdint>
#include <fstream>

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef std::uint32_t DWORD;
typedef std::int32_t LONG;
typedef unsigned int UINT;
typedef int BOOL;
typedef wchar_t WCHAR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef void* HANDLE;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef struct HWND__* HWND;
typedef struct HDC__* HDC;
typedef struct HINSTANCE__* HINSTANCE;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define MB_OK 0x00000000u
#define MB_ICONEXCLAMATION 0x00000030u
#define MB_ICONWARNING 0x00000030u
#define MB_ICONINFORMATION 0x00000040u
#define IDOK 1

#define WM_CLOSE 0x0010u

struct CRITICAL_SECTION {
    int Id;  // which lock the host layer's checker tracks; 0 before initialisation
};

// C linkage, as Windows declares them: a tool that wraps these calls at link
// time (bench/) names them plainly.
extern "C" {
HDC GetDC(HWND window);
int ReleaseDC(HWND window, HDC dc);
BOOL TextOutW(HDC dc, int x, int y, LPCWSTR text, int count);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);
BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void Sleep(DWORD milliseconds);
DWORD GetTickCount();
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);
LONG InterlockedExchange(LONG volatile* target, LONG value);
LONG InterlockedCompareExchange(LONG volatile* target, LONG value, LONG comparand);
}

// The host library opens files by narrow name only; this opens by the wide name.
void HostOpenFile(std::ifstream& stream, LPCWSTR name, std::ios::openmode mode);

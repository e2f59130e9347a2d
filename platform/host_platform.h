// What the host layer records, for tests to read and set.
#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace host {

// --- virtual millisecond clock ---------------------------------------------
DWORD Now();
void SetClock(DWORD milliseconds);
// Called by the simulated bridge when a receive-queue check inside a busy wait
// finds nothing: moves the clock on by 1 ms, so a reply due later is found at
// its own millisecond and a wait that runs out ends exactly at its bound.
void Idle();

// A run that passes this much virtual time is taken as hung: Sleep and the
// busy-wait clock then throw TimeLimit. 0: no limit.
struct TimeLimit {};
void SetTimeLimit(DWORD milliseconds);

// --- recorded screen -------------------------------------------------------
struct Draw {
    int x;
    int y;
    std::wstring text;
};
std::vector<Draw> Draws();
// The character cells of one line as a user would see them, from x = 10:
// each draw overwrites the cells it covers (blanks included).
std::wstring ScreenCells(int y);
// The same with trailing blanks removed.
std::wstring ScreenText(int y);
// Drawing contexts taken and not yet given back: each one the real system
// would hold until the process ends.
int OpenDrawingContexts();

// --- recorded message boxes, answered at once -------------------------------
struct Box {
    std::wstring text;
    std::wstring caption;
    UINT type;
    DWORD time;
};
std::vector<Box> Boxes();

// --- window requests --------------------------------------------------------
int DestroyRequests();

// Called, outside the host layer's lock, right after a message box comes up
// ("box:...") or the window's destruction is asked for ("destroy"): the
// moments at which the interface thread can end the process. A test plays
// that thread here. Reset() removes it.
void SetInterfaceHook(std::function<void(const std::string& event)> hook);

// --- lock rules -------------------------------------------------------------
// Called by the simulated bridge on every library call: the caller must hold
// exactly one lock.
void NoteBridgeCall(int ordinal);
std::vector<std::string> LockViolations();
int LocksAlive();

// --- files -------------------------------------------------------------------
// Called with the file's name right after an image file is opened: a test can
// change the file between the program's look at its size and its read.
// Reset() removes it.
void SetFileOpenHook(std::function<void(const std::string& path)> hook);

// --- the process end ----------------------------------------------------------
// While a trap is set on this thread, the standard library's exit records its
// code and unwinds to the trap as a ProcessExit.
struct ProcessExit {
    int code;
};
// Runs body; returns the exit code if it ended the process, nothing otherwise.
std::optional<int> RunTrappingExit(const std::function<void()>& body);

// Forgets draws, screen, boxes and events; keeps the clock and the locks.
void ClearRecords();

// --- everything back to a fresh start (clock at startTime) --------------------
void Reset(DWORD startTime = 1000);

// Every event in order, for sequence checks: "box:...", "draw:y:...",
// "sleep:N", "destroy", "exit:N", and those noted by the simulated unit.
std::vector<std::string> Events();
// Adds an event of the caller's own (the simulated unit's frames) in its place.
void NoteEvent(const std::string& event);

}  // namespace host

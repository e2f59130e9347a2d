#include "platform/host_platform.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace host {
namespace {

const int StatusX = 10;

struct LockState {
    bool alive = false;
    bool held = false;
    std::thread::id owner;
};

struct State {
    std::mutex mutex;
    DWORD clock = 1000;
    std::vector<Draw> draws;
    std::map<int, std::wstring> screen;
    std::vector<Box> boxes;
    std::vector<std::string> events;
    std::vector<std::string> violations;
    std::vector<LockState> locks{LockState{}};  // index 0: never initialised
    int destroyRequests = 0;
    int openDrawingContexts = 0;
    std::function<void(const std::string&)> interfaceHook;  // see SetInterfaceHook
    std::function<void(const std::string&)> fileOpenHook;   // see SetFileOpenHook
    DWORD limitStart = 0;
    DWORD limit = 0;
};

State& S() {
    static State state;
    return state;
}

thread_local int heldByThisThread = 0;
thread_local int exitTraps = 0;

void Violation(const std::string& what) {
    S().violations.push_back(what);
}

// Caller holds S().mutex.
void CheckNoLockHeld(const char* what) {
    if (heldByThisThread != 0) Violation(std::string("lock held across ") + what);
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

using Hook = std::function<void(const std::string&)>;

// Caller does not hold S().mutex: the hook may call back into this layer.
void RunHook(Hook State::*which, const std::string& argument) {
    Hook hook;
    {
        std::lock_guard<std::mutex> guard(S().mutex);
        hook = S().*which;
    }
    if (hook) hook(argument);
}

}  // namespace

void SetFileOpenHook(std::function<void(const std::string& path)> hook) {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().fileOpenHook = std::move(hook);
}

void SetInterfaceHook(std::function<void(const std::string& event)> hook) {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().interfaceHook = std::move(hook);
}

DWORD Now() {
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().clock;
}

void SetClock(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().clock = milliseconds;
}

void CheckTimeLimit() {
    if (S().limit != 0 && S().clock - S().limitStart > S().limit) throw TimeLimit{};
}

void SetTimeLimit(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().limitStart = S().clock;
    S().limit = milliseconds;
}

void Idle() {
    std::lock_guard<std::mutex> guard(S().mutex);
    ++S().clock;
    CheckTimeLimit();
}

std::vector<Draw> Draws() {
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().draws;
}

std::wstring ScreenCells(int y) {
    std::lock_guard<std::mutex> guard(S().mutex);
    auto line = S().screen.find(y);
    return line == S().screen.end() ? std::wstring() : line->second;
}

std::wstring ScreenText(int y) {
    std::wstring cells = ScreenCells(y);
    cells.erase(cells.find_last_not_of(L' ') + 1);
    return cells;
}

int OpenDrawingContexts() {
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().openDrawingContexts;
}

std::vector<Box> Boxes() {
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().boxes;
}

int DestroyRequests() {
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().destroyRequests;
}

void NoteBridgeCall(int ordinal) {
    std::lock_guard<std::mutex> guard(S().mutex);
    if (heldByThisThread != 1)
        Violation("bridge call " + std::to_string(ordinal) + " with " +
                  std::to_string(heldByThisThread) + " locks held");
}

std::vector<std::string> LockViolations() {
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().violations;
}

int LocksAlive() {
    std::lock_guard<std::mutex> guard(S().mutex);
    int alive = 0;
    for (const LockState& lock : S().locks) alive += lock.alive ? 1 : 0;
    return alive;
}

std::vector<std::string> Events() {
    std::lock_guard<std::mutex> guard(S().mutex);
    return S().events;
}

void NoteEvent(const std::string& event) {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().events.push_back(event);
}

std::optional<int> RunTrappingExit(const std::function<void()>& body) {
    ++exitTraps;
    try {
        body();
    } catch (const ProcessExit& exit) {
        --exitTraps;
        return exit.code;
    } catch (...) {
        --exitTraps;
        throw;
    }
    --exitTraps;
    return std::nullopt;
}

void ClearRecords() {
    std::lock_guard<std::mutex> guard(S().mutex);
    S().draws.clear();
    S().screen.clear();
    S().boxes.clear();
    S().events.clear();
    S().destroyRequests = 0;
}

void Reset(DWORD startTime) {
    std::lock_guard<std::mutex> guard(S().mutex);
    State& s = S();
    s.clock = startTime;
    s.draws.clear();
    s.screen.clear();
    s.boxes.clear();
    s.events.clear();
    s.violations.clear();
    s.locks.assign(1, LockState{});
    s.destroyRequests = 0;
    s.openDrawingContexts = 0;
    s.interfaceHook = nullptr;
    s.fileOpenHook = nullptr;
    s.limit = 0;
    heldByThisThread = 0;
}

}  // namespace host

using host::S;

HDC GetDC(HWND window) {
    std::lock_guard<std::mutex> guard(S().mutex);
    ++S().openDrawingContexts;
    // Any non-null value serves: the recorded screen is the window's only surface.
    return reinterpret_cast<HDC>(window ? window : reinterpret_cast<HWND>(1));
}

int ReleaseDC(HWND, HDC) {
    std::lock_guard<std::mutex> guard(S().mutex);
    if (S().openDrawingContexts == 0) {
        host::Violation("a drawing context given back that was not taken");
        return 0;
    }
    --S().openDrawingContexts;
    return 1;
}

BOOL TextOutW(HDC, int x, int y, LPCWSTR text, int count) {
    std::lock_guard<std::mutex> guard(S().mutex);
    host::CheckNoLockHeld("a draw");
    std::wstring drawn(text, text + count);
    S().draws.push_back({x, y, drawn});
    S().events.push_back("draw:" + std::to_string(y) + ":" + host::Narrow(drawn));
    std::wstring& line = S().screen[y];
    std::size_t column = static_cast<std::size_t>(x > host::StatusX ? x - host::StatusX : 0);
    if (line.size() < column + drawn.size()) line.resize(column + drawn.size(), L' ');
    line.replace(column, drawn.size(), drawn);
    return TRUE;
}

int MessageBoxW(HWND, LPCWSTR text, LPCWSTR caption, UINT type) {
    const std::string event = "box:" + host::Narrow(text);
    {
        std::lock_guard<std::mutex> guard(S().mutex);
        host::CheckNoLockHeld("a message box");
        S().boxes.push_back({text, caption, type, S().clock});
        S().events.push_back(event);
    }
    host::RunHook(&host::State::interfaceHook, event);
    return IDOK;
}

BOOL PostMessageW(HWND, UINT message, WPARAM, LPARAM) {
    if (message != WM_CLOSE) return TRUE;
    {
        std::lock_guard<std::mutex> guard(S().mutex);
        ++S().destroyRequests;
        S().events.push_back("destroy");
    }
    host::RunHook(&host::State::interfaceHook, "destroy");
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    std::lock_guard<std::mutex> guard(S().mutex);
    host::CheckNoLockHeld("a sleep");
    S().clock += milliseconds;
    S().events.push_back("sleep:" + std::to_string(milliseconds));
    host::CheckTimeLimit();
}

DWORD GetTickCount() {
    return host::Now();
}

void InitializeCriticalSection(CRITICAL_SECTION* section) {
    std::lock_guard<std::mutex> guard(S().mutex);
    if (section->Id != 0 && S().locks[section->Id].alive) host::Violation("lock initialised twice");
    section->Id = static_cast<int>(S().locks.size());
    S().locks.push_back({true, false, {}});
}

void EnterCriticalSection(CRITICAL_SECTION* section) {
    std::lock_guard<std::mutex> guard(S().mutex);
    host::LockState& lock = S().locks.at(section->Id);
    if (!lock.alive) host::Violation("lock taken while not initialised");
    if (lock.held && lock.owner == std::this_thread::get_id()) host::Violation("lock taken twice");
    if (host::heldByThisThread != 0) host::Violation("a second lock taken");
    lock.held = true;
    lock.owner = std::this_thread::get_id();
    ++host::heldByThisThread;
}

void LeaveCriticalSection(CRITICAL_SECTION* section) {
    std::lock_guard<std::mutex> guard(S().mutex);
    host::LockState& lock = S().locks.at(section->Id);
    if (!lock.held || lock.owner != std::this_thread::get_id())
        host::Violation("lock released but not held");
    lock.held = false;
    --host::heldByThisThread;
}

void DeleteCriticalSection(CRITICAL_SECTION* section) {
    std::lock_guard<std::mutex> guard(S().mutex);
    host::LockState& lock = S().locks.at(section->Id);
    if (!lock.alive) host::Violation("lock deleted while not initialised");
    if (lock.held) host::Violation("lock deleted while held");
    lock.alive = false;
}

LONG InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG InterlockedCompareExchange(LONG volatile* target, LONG value, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, value, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}

void HostOpenFile(std::ifstream& stream, LPCWSTR name, std::ios::openmode mode) {
    // Image names are plain ASCII; wider characters are carried as UTF-8.
    std::string narrow;
    for (const wchar_t* c = name; *c; ++c) {
        std::uint32_t code = static_cast<std::uint32_t>(*c);
        if (code < 0x80) {
            narrow += static_cast<char>(code);
        } else if (code < 0x800) {
            narrow += static_cast<char>(0xC0 | (code >> 6));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            narrow += static_cast<char>(0xE0 | (code >> 12));
            narrow += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            narrow += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    stream.open(narrow, mode);
    if (stream.is_open()) host::RunHook(&host::State::fileOpenHook, narrow);
}

// The standard library's exit, wrapped at link time (-Wl,--wrap=exit).
extern "C" [[noreturn]] void __real_exit(int code);
extern "C" [[noreturn]] void __wrap_exit(int code) {
    if (host::exitTraps > 0) {
        {
            std::lock_guard<std::mutex> guard(S().mutex);
            S().events.push_back("exit:" + std::to_string(code));
        }
        throw host::ProcessExit{code};
    }
    __real_exit(code);
}

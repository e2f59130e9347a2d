// The trace library's Windows side: a drop-in SiUSBXp.dll that loads the
// maker's library (renamed SiUSBXp-maker.dll, beside this one) at the first
// call, forwards every call to it unchanged and records it (FORMAT.md) into
// a new file beside itself. The program's threads only format lines; the
// library's own writer thread does every WriteFile, so a slow disk never
// delays a call.
#include <windows.h>

#include <atomic>
#include <string>

#include "device/bridge.h"
#include "device/bridge_ops.h"
#include "platform/windows_utf8.h"
#include "trace/record.h"
#include "trace/sha256.h"
#include "trace/spool.h"
#include "trace/start_facts.h"

namespace {

typedef BridgeStatus(WINAPI* CountFn)(DWORD*);
typedef BridgeStatus(WINAPI* StringFn)(DWORD, void*, DWORD);
typedef BridgeStatus(WINAPI* OpenFn)(DWORD, HANDLE*);
typedef BridgeStatus(WINAPI* CloseFn)(HANDLE);
typedef BridgeStatus(WINAPI* TransferFn)(HANDLE, void*, DWORD, DWORD*, void*);
typedef BridgeStatus(WINAPI* FlushFn)(HANDLE, DWORD, DWORD);
typedef BridgeStatus(WINAPI* CheckFn)(HANDLE, DWORD*, DWORD*);

const BridgeStatus NoLibrary = 255;
const wchar_t MakerName[] = L"SiUSBXp-maker.dll";
const int OurBits = sizeof(void*) * 8;
const DWORD FlushEveryMs = 250;
const char OurselvesError[] = "is the trace library itself, not the maker's";

struct Maker {
    bool usable = false;
    CountFn count = nullptr;
    StringFn string = nullptr;
    OpenFn open = nullptr;
    CloseFn close = nullptr;
    TransferFn read = nullptr;
    TransferFn write = nullptr;
    FlushFn flush = nullptr;
    CheckFn check = nullptr;
};

HMODULE self = nullptr;
CRITICAL_SECTION startLock;  // the first call's loading
CRITICAL_SECTION recordLock;  // the bookkeeping after each call; never held across a write
std::atomic<bool> started{false};
Maker maker;
HANDLE traceFile = INVALID_HANDLE_VALUE;
HANDLE wakeWriter = nullptr;  // set when lines should go out now
LARGE_INTEGER qpcStart{}, qpcHz{};

class RecordLock : public trace::Lock {
public:
    void Enter() override { EnterCriticalSection(&recordLock); }
    void Leave() override { LeaveCriticalSection(&recordLock); }
};

class TraceFile : public trace::FileLayer {
public:
    bool Write(const char* data, size_t size) override {
        DWORD written = 0;
        return traceFile != INVALID_HANDLE_VALUE &&
               WriteFile(traceFile, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
    }
    bool CutTo(uint64_t size) override {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(size);
        return traceFile != INVALID_HANDLE_VALUE && SetFilePointerEx(traceFile, at, nullptr, FILE_BEGIN) &&
               SetEndOfFile(traceFile);
    }
};

// Lines wait here for the writer; static, so the process's end can write
// them without the heap (and untouched pages cost no memory). Each holds a
// few seconds of the fastest unit's records, time enough for a writer that
// a busy machine keeps waiting.
char lines[2][4 << 20];
RecordLock lock;
TraceFile file;
trace::Spool spool(lines[0], lines[1], sizeof lines[0]);
trace::Recorder recorder(spool);
trace::FileWriter writer(file);

// The bookkeeping lock for a scope, left also when an exception passes.
class Held {
public:
    Held() { lock.Enter(); }
    ~Held() { lock.Leave(); }
};

// Empty when Windows cannot say.
std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length < path.size()) return path.substr(0, length);
        if (path.size() > 1 << 16) return L"";  // longer than any Windows path
        path.resize(path.size() * 2);
    }
}

std::wstring Environment(const wchar_t* name) {
    std::wstring value(MAX_PATH, L'\0');
    DWORD length = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
    if (length >= value.size()) {
        value.resize(length);
        length = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
    }
    return length < value.size() ? value.substr(0, length) : L"";
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
}

// The account's name is in the profile folder's: a trace shows neither.
std::string Shown(const std::wstring& path) {
    return trace::HideProfile(Utf8FromWide(path), Utf8FromWide(Environment(L"USERPROFILE")));
}

// What reading a file tells before it is loaded.
struct Inside {
    int bits = 0;  // the PE header's architecture, 0 when unknown
    bool ourMark = false;  // a copy of the trace library
    DWORD error = 0;  // why it could not be read
};

// Size, SHA-256, architecture and our mark; false when the file cannot be read.
bool ReadFacts(const std::wstring& path, trace::FileFacts& facts, Inside& inside) {
    facts.path = Shown(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        inside.error = GetLastError();
        return false;
    }
    trace::Sha256 hash;
    trace::MarkFinder mark;
    static unsigned char chunk[1 << 16];
    unsigned char head[4096];
    size_t headSize = 0;
    uint64_t size = 0;
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) {
        for (DWORD i = 0; i < got && headSize < sizeof head; ++i) head[headSize++] = chunk[i];
        hash.Update(chunk, got);
        mark.Feed(chunk, got);
        size += got;
    }
    if (!ok) inside.error = GetLastError();
    CloseHandle(file);
    if (!ok) return false;
    facts.read = true;
    facts.size = size;
    facts.sha256 = hash.HexDigest();
    inside.bits = trace::PeBits(head, headSize);
    inside.ourMark = mark.Found();
    return true;
}

template <typename F>
bool Resolve(HMODULE library, BridgeOp op, F& function, std::string& error) {
    const int ordinal = OrdinalOf(op);
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(ordinal))));
    if (!function && error.empty()) error = "lacks ordinal " + std::to_string(ordinal);
    return function != nullptr;
}

#ifndef LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// The maker's library and what it needs from its own folder and System32
// only. Windows 7 knows these flags only with an update that also brings
// AddDllDirectory; without it, the altered search path looks in the
// library's folder first.
DWORD LoadFlags() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel && GetProcAddress(kernel, "AddDllDirectory"))
        return LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
    return LOAD_WITH_ALTERED_SEARCH_PATH;
}

// By its full path beside this library only: never the search path, which
// would find this library itself or another copy of the maker's. A copy of
// this library there (the user copied ours twice) would call itself for
// ever: it is recognised by its mark and not loaded.
void LoadMaker(const std::wstring& path, trace::FileFacts& facts) {
    Inside inside;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        facts.path = Shown(path);
        facts.error = "not found";
        return;
    }
    // A file that cannot be read cannot be told from a copy of ours.
    if (!ReadFacts(path, facts, inside)) {
        facts.error = "cannot be loaded: error " + std::to_string(inside.error);
        return;
    }
    if (inside.ourMark) {
        facts.error = OurselvesError;
        return;
    }
    facts.error = trace::ArchitectureError(inside.bits, OurBits);
    if (!facts.error.empty()) return;
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LoadFlags());
    if (!library) {
        facts.error = "cannot be loaded: error " + std::to_string(GetLastError());
        return;
    }
    Maker m;
    std::string& e = facts.error;  // the first ordinal missing
    bool all = Resolve(library, BridgeOp::CountDevices, m.count, e);
    all = Resolve(library, BridgeOp::GetDeviceString, m.string, e) && all;
    all = Resolve(library, BridgeOp::Open, m.open, e) && all;
    all = Resolve(library, BridgeOp::Close, m.close, e) && all;
    all = Resolve(library, BridgeOp::Read, m.read, e) && all;
    all = Resolve(library, BridgeOp::Write, m.write, e) && all;
    all = Resolve(library, BridgeOp::Flush, m.flush, e) && all;
    all = Resolve(library, BridgeOp::CheckRxQueue, m.check, e) && all;
    m.usable = all;
    maker = m;
}

// Local time would make two traces of one moment in two places differ: UTC.
trace::DateTime Now() {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return trace::DateTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

void OpenTraceFile(const std::wstring& folder, const trace::DateTime& when) {
    for (int attempt = 1; attempt < 1000; ++attempt) {
        std::string name = trace::TraceFileName(when, attempt);
        std::wstring path = folder + std::wstring(name.begin(), name.end());
        traceFile = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        if (traceFile != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return;
    }
}

std::string WindowsVersion() {
    typedef LONG(WINAPI * GetVersionFn)(OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    GetVersionFn get = ntdll ? reinterpret_cast<GetVersionFn>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                             : nullptr;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!get || get(&info) != 0) return "unknown";
    return trace::VersionText(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
}

// Wakes when a call asks for its lines to go out, and every 250 ms, when it
// also ends a run of checks so that a long poll shows up as it goes.
DWORD WINAPI WriterLoop(void*) {
    for (;;) {
        bool timed = WaitForSingleObject(wakeWriter, FlushEveryMs) == WAIT_TIMEOUT;
        while (trace::WriteTurn(lock, recorder, spool, writer, timed)) timed = false;
    }
}

void StartTrace() {
    QueryPerformanceFrequency(&qpcHz);
    QueryPerformanceCounter(&qpcStart);
    trace::DateTime when = Now();
    std::wstring folder = FolderOf(ModulePath(self));
    // A relative folder would load and write wherever the search leads:
    // then nothing is loaded and nothing written, and every call fails.
    if (!trace::IsAbsolutePath(folder)) return;
    trace::StartFacts facts;
    facts.utc = trace::UtcText(when);
    facts.windows = WindowsVersion();
    facts.bits = OurBits;
    facts.qpcHz = static_cast<uint64_t>(qpcHz.QuadPart);
    Inside program;
    ReadFacts(ModulePath(nullptr), facts.program, program);
    LoadMaker(folder + MakerName, facts.maker);
    OpenTraceFile(folder, when);
    if (traceFile == INVALID_HANDLE_VALUE) return;
    wakeWriter = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    try {
        Held held;
        recorder.Start(facts);
    } catch (...) {
        // No memory for the start record: no trace rather than one
        // without its start (an empty file stays).
        CloseHandle(traceFile);
        traceFile = INVALID_HANDLE_VALUE;
        return;
    }
    HANDLE thread = wakeWriter ? CreateThread(nullptr, 0, WriterLoop, nullptr, 0, nullptr) : nullptr;
    // It sleeps nearly always; when woken it should not wait behind the
    // program's busy poll of the receive queue.
    if (thread) SetThreadPriority(thread, THREAD_PRIORITY_ABOVE_NORMAL);
    if (thread) CloseHandle(thread);
    if (wakeWriter) SetEvent(wakeWriter);  // the start record at once: it tells what was loaded
}

// The first call loads; every later one only reads the flag. A start that
// fails half-way (no memory) records nothing, and the calls go on to the
// maker's library if it was loaded: the trace never changes an update.
void EnsureStarted() {
    if (started.load(std::memory_order_acquire)) return;
    EnterCriticalSection(&startLock);
    if (!started.load(std::memory_order_relaxed)) {
        try {
            StartTrace();
        } catch (...) {
        }
        started.store(true, std::memory_order_release);
    }
    LeaveCriticalSection(&startLock);
}

uint64_t Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<uint64_t>(now.QuadPart - qpcStart.QuadPart);
}

uint64_t Microseconds(uint64_t ticks) {
    uint64_t hz = static_cast<uint64_t>(qpcHz.QuadPart);
    return ticks / hz * 1000000 + ticks % hz * 1000000 / hz;
}

// Times one call: the first QPC read before it, the second after.
class Timing {
public:
    Timing() {
        EnsureStarted();
        begin_ = Ticks();
    }
    trace::Call Done(BridgeStatus status) const {
        uint64_t end = Ticks();
        return trace::Call{Microseconds(begin_), Microseconds(end) - Microseconds(begin_), GetCurrentThreadId(), status,
                           !maker.usable};
    }

private:
    uint64_t begin_;
};

// Holds the bookkeeping lock while a call's line is formatted and handed to
// the spool; wakes the writer when the spool fills up, and when the call
// failed or closed the bridge: those lines are what a support engineer
// needs even from a process that dies next. A failing check's own run stays
// open to join its repeats (a program that polls a failing queue would write
// a line per call); what came before it goes out.
class Book {
public:
    Book(BridgeStatus status, bool drain = false) : drain_(drain || status != 0), wake_(drain_) { lock.Enter(); }
    ~Book() {
        if (drain_) recorder.Drain();
        wake_ = spool.ShouldWake() || wake_;
        lock.Leave();
        if (wake_ && wakeWriter) SetEvent(wakeWriter);
    }
    void KeepRunOpen() { drain_ = false; }

private:
    bool drain_;
    bool wake_;
};

// Records one call, when there is a trace to record it in. Nothing thrown
// here (no memory) may leave an export: the call's status goes back to the
// program all the same.
template <typename Record>
void Keep(const Timing& timing, BridgeStatus status, bool drain, Record record) {
    if (traceFile == INVALID_HANDLE_VALUE) return;
    try {
        trace::Call call = timing.Done(status);
        Book book(status, drain);
        record(book, call);
    } catch (...) {
    }
}

trace::Out OutOf(const DWORD* value) { return value ? trace::Given(*value) : trace::Null(); }
trace::Out PointerOf(const void* value) {
    return value ? trace::Given(reinterpret_cast<uintptr_t>(value)) : trace::Null();
}
uint64_t HandleValue(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }
const unsigned char* Bytes(const void* buffer) { return static_cast<const unsigned char*>(buffer); }

// The process's end (DllMain, loader lock held): Windows has stopped the
// other threads wherever they were, the writer perhaps inside WriteFile.
// No lock (a stopped thread may hold it) and no heap: the spool's buffers
// hold only whole lines, the file is cut back to the length the writer had
// confirmed before the lines it held, and those are written again from
// there, then the rest and `end` (see WriteAtEnd).
void AtProcessEnd() {
    if (!started.load(std::memory_order_acquire) || traceFile == INVALID_HANDLE_VALUE) return;
    trace::WriteAtEnd(recorder, spool, writer, Microseconds(Ticks()));
    CloseHandle(traceFile);
    traceFile = INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" {

BridgeStatus WINAPI BridgeCountDevices(DWORD* deviceCount) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.count(deviceCount) : NoLibrary;
    Keep(timing, status, false, [&](Book&, const trace::Call& call) { recorder.Count(call, OutOf(deviceCount)); });
    return status;
}

BridgeStatus WINAPI BridgeGetDeviceString(DWORD deviceIndex, void* buffer, DWORD kind) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.string(deviceIndex, buffer, kind) : NoLibrary;
    Keep(timing, status, false,
         [&](Book&, const trace::Call& call) { recorder.String(call, deviceIndex, kind, Bytes(buffer)); });
    return status;
}

BridgeStatus WINAPI BridgeOpen(DWORD deviceIndex, HANDLE* handle) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.open(deviceIndex, handle) : NoLibrary;
    Keep(timing, status, false, [&](Book&, const trace::Call& call) {
        recorder.Open(call, deviceIndex, handle ? trace::Given(HandleValue(*handle)) : trace::Null());
    });
    return status;
}

BridgeStatus WINAPI BridgeClose(HANDLE handle) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.close(handle) : NoLibrary;
    Keep(timing, status, true, [&](Book&, const trace::Call& call) { recorder.Close(call, HandleValue(handle)); });
    return status;
}

BridgeStatus WINAPI BridgeRead(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.read(handle, buffer, bytesToRead, bytesRead, overlapped) : NoLibrary;
    Keep(timing, status, false, [&](Book&, const trace::Call& call) {
        recorder.Read(call, HandleValue(handle), Bytes(buffer), bytesToRead, OutOf(bytesRead), PointerOf(overlapped));
    });
    return status;
}

BridgeStatus WINAPI BridgeWrite(HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                                void* overlapped) {
    Timing timing;
    BridgeStatus status =
        maker.usable ? maker.write(handle, buffer, bytesToWrite, bytesWritten, overlapped) : NoLibrary;
    Keep(timing, status, false, [&](Book&, const trace::Call& call) {
        recorder.Write(call, HandleValue(handle), Bytes(buffer), bytesToWrite, OutOf(bytesWritten),
                       PointerOf(overlapped));
    });
    return status;
}

BridgeStatus WINAPI BridgeFlush(HANDLE handle, DWORD flushTransmit, DWORD flushReceive) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.flush(handle, flushTransmit, flushReceive) : NoLibrary;
    Keep(timing, status, false, [&](Book&, const trace::Call& call) {
        recorder.Flush(call, HandleValue(handle), flushTransmit, flushReceive);
    });
    return status;
}

BridgeStatus WINAPI BridgeCheckRxQueue(HANDLE handle, DWORD* bytesWaiting, DWORD* queueStatus) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.check(handle, bytesWaiting, queueStatus) : NoLibrary;
    Keep(timing, status, false, [&](Book& book, const trace::Call& call) {
        book.KeepRunOpen();
        recorder.Check(call, HandleValue(handle), OutOf(bytesWaiting), OutOf(queueStatus));
    });
    return status;
}

// Nothing is loaded here (the loader lock is held): only the module handle
// and the locks, which need no other library.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&startLock);
        InitializeCriticalSection(&recordLock);
    }
    if (reason == DLL_PROCESS_DETACH) AtProcessEnd();
    return TRUE;
}

}  // extern "C"

// The trace library's Windows side: a drop-in SiUSBXp.dll that loads the
// maker's library (renamed SiUSBXp-maker.dll, beside this one) at the first
// call, forwards every call to it unchanged and records it (FORMAT.md) into
// a new file beside itself.
#include <windows.h>

#include <atomic>
#include <string>

#include "device/bridge.h"
#include "trace/record.h"
#include "trace/sha256.h"
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
CRITICAL_SECTION recordLock;  // the bookkeeping after each call
std::atomic<bool> started{false};
Maker maker;
HANDLE traceFile = INVALID_HANDLE_VALUE;
LARGE_INTEGER qpcStart{}, qpcHz{};

// Lines wait here for the file; static, so the process's end can write them
// without the heap.
char lines[1 << 18];

void WriteLines(void*, const char* data, size_t size) {
    DWORD written = 0;
    if (traceFile != INVALID_HANDLE_VALUE) WriteFile(traceFile, data, static_cast<DWORD>(size), &written, nullptr);
}

trace::Recorder recorder(lines, sizeof lines, WriteLines, nullptr);

std::string Narrow(const std::wstring& text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                     nullptr);
    std::string narrow(length, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

std::wstring ModulePath(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (length < path.size()) return path.substr(0, length);
        path.resize(path.size() * 2);
    }
}

std::wstring FolderOf(const std::wstring& path) {
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"" : path.substr(0, slash + 1);
}

// Size, SHA-256 and the PE header's architecture of a file; false when it cannot be read.
bool ReadFacts(const std::wstring& path, trace::FileFacts& facts, int& bits) {
    facts.path = Narrow(path);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    trace::Sha256 hash;
    static unsigned char chunk[1 << 16];
    unsigned char head[4096];
    size_t headSize = 0;
    uint64_t size = 0;
    DWORD got = 0;
    bool ok = true;
    while ((ok = ReadFile(file, chunk, sizeof chunk, &got, nullptr) != 0) && got > 0) {
        for (DWORD i = 0; i < got && headSize < sizeof head; ++i) head[headSize++] = chunk[i];
        hash.Update(chunk, got);
        size += got;
    }
    CloseHandle(file);
    if (!ok) return false;
    facts.read = true;
    facts.size = size;
    facts.sha256 = hash.HexDigest();
    bits = trace::PeBits(head, headSize);
    return true;
}

template <typename F>
bool Resolve(HMODULE library, int ordinal, F& function, std::string& error) {
    function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, MAKEINTRESOURCEA(ordinal))));
    if (!function && error.empty()) error = "lacks ordinal " + std::to_string(ordinal);
    return function != nullptr;
}

// By its full path beside this library only: never the search path, which
// would find this library itself or another copy of the maker's.
void LoadMaker(const std::wstring& path, trace::FileFacts& facts) {
    int bits = 0;
    if (GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        facts.path = Narrow(path);
        facts.error = "not found";
        return;
    }
    ReadFacts(path, facts, bits);
    facts.error = trace::ArchitectureError(bits, OurBits);
    if (!facts.error.empty()) return;
    HMODULE library = LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) {
        facts.error = "cannot be loaded: error " + std::to_string(GetLastError());
        return;
    }
    Maker m;
    std::string& e = facts.error;  // the first ordinal missing
    bool all = Resolve(library, 1, m.count, e);
    all = Resolve(library, 2, m.string, e) && all;
    all = Resolve(library, 3, m.open, e) && all;
    all = Resolve(library, 4, m.close, e) && all;
    all = Resolve(library, 6, m.read, e) && all;
    all = Resolve(library, 7, m.write, e) && all;
    all = Resolve(library, 9, m.flush, e) && all;
    all = Resolve(library, 12, m.check, e) && all;
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

DWORD WINAPI FlushLoop(void*) {
    for (;;) {
        Sleep(FlushEveryMs);
        EnterCriticalSection(&recordLock);
        recorder.Drain();
        LeaveCriticalSection(&recordLock);
    }
}

void StartTrace() {
    QueryPerformanceFrequency(&qpcHz);
    QueryPerformanceCounter(&qpcStart);
    trace::DateTime when = Now();
    std::wstring folder = FolderOf(ModulePath(self));
    trace::StartFacts facts;
    facts.utc = trace::UtcText(when);
    facts.windows = WindowsVersion();
    facts.bits = OurBits;
    facts.qpcHz = static_cast<uint64_t>(qpcHz.QuadPart);
    int programBits = 0;
    ReadFacts(ModulePath(nullptr), facts.program, programBits);
    LoadMaker(folder + MakerName, facts.maker);
    OpenTraceFile(folder, when);
    EnterCriticalSection(&recordLock);
    recorder.Start(facts);
    recorder.Drain();
    LeaveCriticalSection(&recordLock);
    HANDLE flusher = CreateThread(nullptr, 0, FlushLoop, nullptr, 0, nullptr);
    if (flusher) CloseHandle(flusher);
}

// The first call loads; every later one only reads the flag.
void EnsureStarted() {
    if (started.load(std::memory_order_acquire)) return;
    EnterCriticalSection(&startLock);
    if (!started.load(std::memory_order_relaxed)) {
        StartTrace();
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

// Holds the bookkeeping lock; hands the lines to the file at once when the
// call failed or closed the bridge: those are what a support engineer needs
// even from a process that dies next.
class Book {
public:
    Book(BridgeStatus status, bool drain = false) : drain_(drain || status != 0) {
        EnterCriticalSection(&recordLock);
    }
    ~Book() {
        if (drain_) recorder.Drain();
        if (writeOut_) recorder.WriteOut();
        LeaveCriticalSection(&recordLock);
    }
    // For a failing check: what came before it goes out now; the check's own
    // run joins its repeats and goes out when it ends or at the next flush,
    // so a program that polls a failing queue does not write a line per call.
    void KeepRunOpen() {
        writeOut_ = drain_;
        drain_ = false;
    }

private:
    bool drain_;
    bool writeOut_ = false;
};

trace::Out OutOf(const DWORD* value) { return value ? trace::Given(*value) : trace::Null(); }
trace::Out PointerOf(const void* value) {
    return value ? trace::Given(reinterpret_cast<uintptr_t>(value)) : trace::Null();
}
uint64_t HandleValue(HANDLE handle) { return reinterpret_cast<uintptr_t>(handle); }
const unsigned char* Bytes(const void* buffer) { return static_cast<const unsigned char*>(buffer); }

void AtProcessEnd() {
    if (!started.load(std::memory_order_acquire)) return;
    // No lock: a thread that the process's end stopped may hold it. The
    // recorder's buffer holds only whole lines, and Finish allocates nothing.
    recorder.Finish(Microseconds(Ticks()));
    if (traceFile != INVALID_HANDLE_VALUE) CloseHandle(traceFile);
}

}  // namespace

extern "C" {

BridgeStatus WINAPI BridgeCountDevices(DWORD* deviceCount) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.count(deviceCount) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status);
    recorder.Count(call, OutOf(deviceCount));
    return status;
}

BridgeStatus WINAPI BridgeGetDeviceString(DWORD deviceIndex, void* buffer, DWORD kind) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.string(deviceIndex, buffer, kind) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status);
    recorder.String(call, deviceIndex, kind, Bytes(buffer));
    return status;
}

BridgeStatus WINAPI BridgeOpen(DWORD deviceIndex, HANDLE* handle) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.open(deviceIndex, handle) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status);
    recorder.Open(call, deviceIndex, handle ? trace::Given(HandleValue(*handle)) : trace::Null());
    return status;
}

BridgeStatus WINAPI BridgeClose(HANDLE handle) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.close(handle) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status, true);
    recorder.Close(call, HandleValue(handle));
    return status;
}

BridgeStatus WINAPI BridgeRead(HANDLE handle, void* buffer, DWORD bytesToRead, DWORD* bytesRead, void* overlapped) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.read(handle, buffer, bytesToRead, bytesRead, overlapped) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status);
    recorder.Read(call, HandleValue(handle), Bytes(buffer), bytesToRead, OutOf(bytesRead), PointerOf(overlapped));
    return status;
}

BridgeStatus WINAPI BridgeWrite(HANDLE handle, void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
                                void* overlapped) {
    Timing timing;
    BridgeStatus status =
        maker.usable ? maker.write(handle, buffer, bytesToWrite, bytesWritten, overlapped) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status);
    recorder.Write(call, HandleValue(handle), Bytes(buffer), bytesToWrite, OutOf(bytesWritten),
                   PointerOf(overlapped));
    return status;
}

BridgeStatus WINAPI BridgeFlush(HANDLE handle, DWORD flushTransmit, DWORD flushReceive) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.flush(handle, flushTransmit, flushReceive) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status);
    recorder.Flush(call, HandleValue(handle), flushTransmit, flushReceive);
    return status;
}

BridgeStatus WINAPI BridgeCheckRxQueue(HANDLE handle, DWORD* bytesWaiting, DWORD* queueStatus) {
    Timing timing;
    BridgeStatus status = maker.usable ? maker.check(handle, bytesWaiting, queueStatus) : NoLibrary;
    trace::Call call = timing.Done(status);
    Book book(status);
    book.KeepRunOpen();
    recorder.Check(call, HandleValue(handle), OutOf(bytesWaiting), OutOf(queueStatus));
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

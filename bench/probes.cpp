#include "bench/probes.h"

#include <time.h>

#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "device/bridge.h"
#include "platform/host_platform.h"

namespace {

// --- allocations ------------------------------------------------------------

thread_local int outside = 0;  // > 0 while a wrapped call runs
std::size_t liveOurs = 0;
std::size_t peakOurs = 0;
std::size_t peakBase = 0;

// Every block carries its size, whose top bit tells that our code asked for
// it, and the distance back to the start of the block (for aligned blocks).
struct Header {
    std::size_t sizeAndOwner;
    std::size_t offset;
};
const std::size_t OursBit = ~(~std::size_t{0} >> 1);

void* Track(void* block, std::size_t offset, std::size_t size) {
    Header* header = reinterpret_cast<Header*>(static_cast<char*>(block) + offset) - 1;
    bool ours = outside == 0;
    header->sizeAndOwner = size | (ours ? OursBit : 0);
    header->offset = offset;
    if (ours) {
        liveOurs += size;
        if (liveOurs > peakOurs) peakOurs = liveOurs;
    }
    return header + 1;
}

void* Allocate(std::size_t size, std::size_t alignment) {
    std::size_t offset = alignment > sizeof(Header) ? alignment : sizeof(Header);
    void* block = alignment > alignof(std::max_align_t)
                      ? std::aligned_alloc(alignment, (offset + size + alignment - 1) / alignment * alignment)
                      : std::malloc(offset + size);
    return block ? Track(block, offset, size) : nullptr;
}

void Release(void* pointer) {
    if (!pointer) return;
    Header* header = static_cast<Header*>(pointer) - 1;
    if (header->sizeAndOwner & OursBit) liveOurs -= header->sizeAndOwner & ~OursBit;
    std::free(static_cast<char*>(pointer) - header->offset);
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment) {
    void* p = Allocate(size, alignment);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

void* operator new(std::size_t n) { return AllocateOrThrow(n, 0); }
void* operator new[](std::size_t n) { return AllocateOrThrow(n, 0); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n, 0); }
void* operator new(std::size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return AllocateOrThrow(n, static_cast<std::size_t>(a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(n, static_cast<std::size_t>(a));
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
    return Allocate(n, static_cast<std::size_t>(a));
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }

// --- the wrapped calls ---------------------------------------------------------

// The linker sends the product's calls to __wrap_NAME; __real_NAME is the
// original.
extern "C" {
BridgeStatus __real_BridgeCountDevices(DWORD*);
BridgeStatus __real_BridgeGetDeviceString(DWORD, void*, DWORD);
BridgeStatus __real_BridgeOpen(DWORD, HANDLE*);
BridgeStatus __real_BridgeClose(HANDLE);
BridgeStatus __real_BridgeRead(HANDLE, void*, DWORD, DWORD*, void*);
BridgeStatus __real_BridgeWrite(HANDLE, void*, DWORD, DWORD*, void*);
BridgeStatus __real_BridgeFlush(HANDLE, DWORD, DWORD);
BridgeStatus __real_BridgeCheckRxQueue(HANDLE, DWORD*, DWORD*);
BOOL __real_TextOutW(HDC, int, int, LPCWSTR, int);
int __real_MessageBoxW(HWND, LPCWSTR, LPCWSTR, UINT);
void __real_Sleep(DWORD);
DWORD __real_GetTickCount();
BOOL __real_PostMessageW(HWND, UINT, WPARAM, LPARAM);
void __real_EnterCriticalSection(CRITICAL_SECTION*);
void __real_LeaveCriticalSection(CRITICAL_SECTION*);
void __real_InitializeCriticalSection(CRITICAL_SECTION*);
void __real_DeleteCriticalSection(CRITICAL_SECTION*);
HDC __real_GetDC(HWND);
int __real_ReleaseDC(HWND, HDC);
}

namespace {

enum class Fn : std::uint8_t {
    Count, String, Open, Close, Read, Write, Flush, Check,
    TextOut, Box, Sleep, Tick, Post, Enter, Leave, Init, Delete, GetDc, ReleaseDc,
};

struct Call {
    Fn fn;
    std::uint32_t a = 0, b = 0, c = 0;
    void* p = nullptr;
    std::size_t data = 0;
};

bool recording = false;
std::vector<Call> calls;
std::vector<BYTE> bytes;
std::vector<std::wstring> texts;

// Marks a wrapped call: its allocations are not ours.
struct Outside {
    Outside() { ++outside; }
    ~Outside() { --outside; }
    Outside(const Outside&) = delete;
    Outside& operator=(const Outside&) = delete;
};

bool Keep() { return recording && outside == 1; }

void Keep(Call call) { calls.push_back(call); }

std::size_t KeepText(LPCWSTR text, std::size_t count) {
    texts.emplace_back(text, text + count);
    return texts.size() - 1;
}

}  // namespace

extern "C" {

BridgeStatus __wrap_BridgeCountDevices(DWORD* count) {
    Outside mark;
    if (Keep()) Keep({Fn::Count});
    return __real_BridgeCountDevices(count);
}

BridgeStatus __wrap_BridgeGetDeviceString(DWORD index, void* buffer, DWORD kind) {
    Outside mark;
    if (Keep()) Keep({Fn::String, index, kind});
    return __real_BridgeGetDeviceString(index, buffer, kind);
}

BridgeStatus __wrap_BridgeOpen(DWORD index, HANDLE* handle) {
    Outside mark;
    if (Keep()) Keep({Fn::Open, index});
    return __real_BridgeOpen(index, handle);
}

BridgeStatus __wrap_BridgeClose(HANDLE handle) {
    Outside mark;
    if (Keep()) Keep({Fn::Close, 0, 0, 0, handle});
    return __real_BridgeClose(handle);
}

BridgeStatus __wrap_BridgeRead(HANDLE handle, void* buffer, DWORD wanted, DWORD* read, void* overlapped) {
    Outside mark;
    if (Keep()) Keep({Fn::Read, wanted, 0, 0, handle});
    return __real_BridgeRead(handle, buffer, wanted, read, overlapped);
}

BridgeStatus __wrap_BridgeWrite(HANDLE handle, void* buffer, DWORD length, DWORD* written, void* overlapped) {
    Outside mark;
    if (Keep()) {
        Keep({Fn::Write, length, 0, 0, handle, bytes.size()});
        bytes.insert(bytes.end(), static_cast<BYTE*>(buffer), static_cast<BYTE*>(buffer) + length);
    }
    return __real_BridgeWrite(handle, buffer, length, written, overlapped);
}

BridgeStatus __wrap_BridgeFlush(HANDLE handle, DWORD transmit, DWORD receive) {
    Outside mark;
    if (Keep()) Keep({Fn::Flush, transmit, receive, 0, handle});
    return __real_BridgeFlush(handle, transmit, receive);
}

BridgeStatus __wrap_BridgeCheckRxQueue(HANDLE handle, DWORD* waiting, DWORD* status) {
    Outside mark;
    if (Keep()) Keep({Fn::Check, 0, 0, 0, handle});
    return __real_BridgeCheckRxQueue(handle, waiting, status);
}

BOOL __wrap_TextOutW(HDC dc, int x, int y, LPCWSTR text, int count) {
    Outside mark;
    if (Keep()) Keep({Fn::TextOut, static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y), 0, dc,
                      KeepText(text, static_cast<std::size_t>(count))});
    return __real_TextOutW(dc, x, y, text, count);
}

int __wrap_MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    Outside mark;
    if (Keep()) {
        std::size_t t = KeepText(text, std::char_traits<wchar_t>::length(text));
        std::size_t c = KeepText(caption, std::char_traits<wchar_t>::length(caption));
        Keep({Fn::Box, type, static_cast<std::uint32_t>(c), 0, owner, t});
    }
    return __real_MessageBoxW(owner, text, caption, type);
}

void __wrap_Sleep(DWORD milliseconds) {
    Outside mark;
    if (Keep()) Keep({Fn::Sleep, milliseconds});
    __real_Sleep(milliseconds);
}

DWORD __wrap_GetTickCount() {
    Outside mark;
    if (Keep()) Keep({Fn::Tick});
    return __real_GetTickCount();
}

BOOL __wrap_PostMessageW(HWND window, UINT message, WPARAM w, LPARAM l) {
    Outside mark;
    if (Keep()) Keep({Fn::Post, message, static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(l), window});
    return __real_PostMessageW(window, message, w, l);
}

void __wrap_EnterCriticalSection(CRITICAL_SECTION* section) {
    Outside mark;
    if (Keep()) Keep({Fn::Enter, 0, 0, 0, section});
    __real_EnterCriticalSection(section);
}

void __wrap_LeaveCriticalSection(CRITICAL_SECTION* section) {
    Outside mark;
    if (Keep()) Keep({Fn::Leave, 0, 0, 0, section});
    __real_LeaveCriticalSection(section);
}

void __wrap_InitializeCriticalSection(CRITICAL_SECTION* section) {
    Outside mark;
    if (Keep()) Keep({Fn::Init, 0, 0, 0, section});
    __real_InitializeCriticalSection(section);
}

void __wrap_DeleteCriticalSection(CRITICAL_SECTION* section) {
    Outside mark;
    if (Keep()) Keep({Fn::Delete, 0, 0, 0, section});
    __real_DeleteCriticalSection(section);
}

HDC __wrap_GetDC(HWND window) {
    Outside mark;
    if (Keep()) Keep({Fn::GetDc, 0, 0, 0, window});
    return __real_GetDC(window);
}

int __wrap_ReleaseDC(HWND window, HDC dc) {
    Outside mark;
    if (Keep()) Keep({Fn::ReleaseDc, 0, 0, 0, window, reinterpret_cast<std::size_t>(dc)});
    return __real_ReleaseDC(window, dc);
}

}  // extern "C"

// --- the replay -------------------------------------------------------------

namespace {

// Empty stand-ins of the same shapes, kept out of line so the replay loop
// pays for a real call as it does with the real functions.
#define SINK asm volatile("" ::: "memory")
__attribute__((noinline)) BridgeStatus Stub1(void*) { SINK; return 0; }
__attribute__((noinline)) BridgeStatus Stub3(void*, void*, void*) { SINK; return 0; }
__attribute__((noinline)) BridgeStatus Stub5(void*, void*, DWORD, void*, void*) { SINK; return 0; }
__attribute__((noinline)) BOOL StubText(HDC, int, int, LPCWSTR, int) { SINK; return 1; }

template <bool Stubs>
void ReplayAll() {
    BYTE scratch[256];
    DWORD a = 0;
    DWORD b = 0;
    HANDLE handle = nullptr;
    for (const Call& call : calls) {
        HANDLE h = static_cast<HANDLE>(call.p);
        auto* section = static_cast<CRITICAL_SECTION*>(call.p);
        if constexpr (Stubs) {
            switch (call.fn) {
            case Fn::Read:
            case Fn::Write:
                Stub5(h, scratch, call.a, &a, nullptr);
                break;
            case Fn::TextOut:
                StubText(static_cast<HDC>(call.p), static_cast<int>(call.a), static_cast<int>(call.b),
                         texts[call.data].c_str(), static_cast<int>(texts[call.data].size()));
                break;
            case Fn::String:
            case Fn::Check:
            case Fn::Flush:
            case Fn::Box:
            case Fn::Post:
                Stub3(h, &a, &b);
                break;
            default:
                Stub1(h);
                break;
            }
            continue;
        }
        switch (call.fn) {
        case Fn::Count: __real_BridgeCountDevices(&a); break;
        case Fn::String: __real_BridgeGetDeviceString(call.a, scratch, call.b); break;
        case Fn::Open: __real_BridgeOpen(call.a, &handle); break;
        case Fn::Close: __real_BridgeClose(h); break;
        case Fn::Read: __real_BridgeRead(h, scratch, call.a, &a, nullptr); break;
        case Fn::Write: __real_BridgeWrite(h, bytes.data() + call.data, call.a, &a, nullptr); break;
        case Fn::Flush: __real_BridgeFlush(h, call.a, call.b); break;
        case Fn::Check: __real_BridgeCheckRxQueue(h, &a, &b); break;
        case Fn::TextOut:
            __real_TextOutW(static_cast<HDC>(call.p), static_cast<int>(call.a), static_cast<int>(call.b),
                            texts[call.data].c_str(), static_cast<int>(texts[call.data].size()));
            break;
        case Fn::Box:
            __real_MessageBoxW(static_cast<HWND>(call.p), texts[call.data].c_str(), texts[call.b].c_str(), call.a);
            break;
        case Fn::Sleep: __real_Sleep(call.a); break;
        case Fn::Tick: __real_GetTickCount(); break;
        case Fn::Post: __real_PostMessageW(static_cast<HWND>(call.p), call.a, call.b, call.c); break;
        case Fn::Enter: __real_EnterCriticalSection(section); break;
        case Fn::Leave: __real_LeaveCriticalSection(section); break;
        case Fn::Init: __real_InitializeCriticalSection(section); break;
        case Fn::Delete: __real_DeleteCriticalSection(section); break;
        case Fn::GetDc: __real_GetDC(static_cast<HWND>(call.p)); break;
        case Fn::ReleaseDc:
            __real_ReleaseDC(static_cast<HWND>(call.p), reinterpret_cast<HDC>(call.data));
            break;
        }
    }
}

}  // namespace

namespace probes {

std::size_t LiveOurBytes() { return liveOurs; }

void StartPeak() { peakOurs = peakBase = liveOurs; }

std::size_t PeakOurBytes() { return peakOurs - peakBase; }

void Record(bool on) { recording = on; }

void ForgetRecord() {
    calls.clear();
    bytes.clear();
    texts.clear();
}

std::size_t RecordedCalls() { return calls.size(); }

void Replay(bool stubs) {
    Outside mark;  // the replay's own allocations are the unit's and host's
    if (stubs)
        ReplayAll<true>();
    else
        ReplayAll<false>();
}

std::uint64_t CpuNs() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

}  // namespace probes

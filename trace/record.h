// The trace's records (FORMAT.md), formatted as JSON lines into a buffer that
// hands whole lines to a sink. Knows nothing of Windows, so the host tests it;
// the caller does the locking.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace trace {

// An out-argument or pointer-sized argument; `given` false: a null pointer.
struct Out {
    bool given;
    uint64_t value;
};
inline Out Given(uint64_t value) { return Out{true, value}; }
inline Out Null() { return Out{false, 0}; }

// What every call record carries.
struct Call {
    uint64_t t;       // microseconds from the first call to the start of this one
    uint64_t dur;     // microseconds in the maker's library
    uint32_t thread;
    uint32_t status;
    bool nolib;       // failed without reaching a library
};

// A file named in the first record; `error` set for a maker's library that cannot be used.
struct FileFacts {
    std::string path;  // UTF-8
    bool read = false;  // size and sha256 are known
    uint64_t size = 0;
    std::string sha256;
    std::string error;
};

struct StartFacts {
    std::string utc;      // "2026-12-11T10:04:05.123Z"
    std::string windows;  // "10.0.19045"
    int bits = 0;
    uint64_t qpcHz = 0;
    FileFacts program;
    FileFacts maker;
};

// One record line, built on the stack; spills to the heap only when long
// (hex of a big transfer), so short records cost no allocation.
class Line {
public:
    void Put(const char* text, size_t size);
    void Put(const char* text);
    void Put(char c) { Put(&c, 1); }
    void Number(uint64_t value);
    void HexBytes(const unsigned char* bytes, size_t size);
    void Handle(uint64_t value);  // "0x1A2B"
    void JsonString(const std::string& text);
    const char* Data() const { return spilled_ ? spill_.data() : fixed_; }
    size_t Size() const { return spilled_ ? spill_.size() : used_; }

private:
    char fixed_[512];
    size_t used_ = 0;
    bool spilled_ = false;
    std::string spill_;
};

class Recorder {
public:
    typedef void (*Sink)(void* context, const char* data, size_t size);
    // `buffer` holds whole lines until the sink takes them; sink may be null.
    Recorder(char* buffer, size_t capacity, Sink sink, void* context);

    void Start(const StartFacts& facts);
    void Count(const Call& call, Out count);
    // `buffer`: the 256 bytes the call filled, or null.
    void String(const Call& call, uint32_t index, uint32_t kind, const unsigned char* buffer);
    void Open(const Call& call, uint32_t index, Out handle);
    void Close(const Call& call, uint64_t handle);
    // `buffer` null: no bytes recorded.
    void Read(const Call& call, uint64_t handle, const unsigned char* buffer, uint32_t ask, Out got, Out last);
    void Write(const Call& call, uint64_t handle, const unsigned char* buffer, uint32_t length, Out written,
               Out last);
    void Flush(const Call& call, uint64_t handle, uint32_t transmit, uint32_t receive);
    // Checks with the same outcome on the same thread and handle join one
    // record; true when this one began a new run.
    bool Check(const Call& call, uint64_t handle, Out waiting, Out queueStatus);

    // Ends a run of checks and hands every buffered line to the sink.
    void Drain();
    // Hands the buffered lines to the sink and leaves a run of checks open.
    void WriteOut();
    // The last record, then Drain. Allocates nothing: it runs at process end.
    void Finish(uint64_t t);

    uint64_t Calls() const { return calls_; }
    size_t Buffered() const { return used_; }

private:
    struct Run {
        bool open = false;
        Call first{};
        uint64_t handle = 0;
        Out waiting{}, queueStatus{};
        uint64_t n = 0, last = 0;
    };
    void Begin(Line& line, const char* op, const Call& call);
    void Emit(const Line& line);
    void EndRun();

    char* buffer_;
    size_t capacity_;
    size_t used_ = 0;
    Sink sink_;
    void* context_;
    Run run_;
    uint64_t calls_ = 0;
};

}  // namespace trace

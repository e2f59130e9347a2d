// The trace's records (FORMAT.md), formatted as JSON lines and added whole to
// the spool; a line that finds no room is dropped and counted, and the count
// goes out on the next line that finds room. Knows nothing of Windows, so the
// host tests it; the caller does the locking.
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

// A read or write record holds at most this many of the call's bytes.
const size_t MaxRecordedBytes = 4096;

// One record line, built on the stack, room enough for any call's record
// (its bytes cut at MaxRecordedBytes): only a start record, with its paths,
// may spill to the heap, so calls cost no allocation.
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
    char fixed_[2 * MaxRecordedBytes + 512];
    size_t used_ = 0;
    bool spilled_ = false;
    std::string spill_;
};

class Spool;

class Recorder {
public:
    explicit Recorder(Spool& spool) : spool_(spool) {}

    void Start(const StartFacts& facts);
    void Count(const Call& call, Out count);
    // `buffer`: the 256 bytes the call filled, or null; read only when the call succeeded.
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

    // Ends a run of checks: its line joins those waiting for the writer.
    void Drain();
    // The last record, into `line`, for the process end to write itself.
    // Allocates nothing. Call Drain first.
    void Finish(uint64_t t, Line& line);

    uint64_t Calls() const { return calls_; }
    uint64_t Dropped() const { return droppedTotal_; }

private:
    struct Run {
        bool open = false;
        Call first{};
        uint64_t handle = 0;
        Out waiting{}, queueStatus{};
        uint64_t n = 0, last = 0;
    };
    void Begin(Line& line, const char* op, const Call& call);
    // Closes the record's line and adds it to the spool.
    void Emit(Line& line);
    void EndRun();

    Spool& spool_;
    Run run_;
    uint64_t calls_ = 0;
    uint64_t dropped_ = 0;  // since the last line that found room
    uint64_t droppedTotal_ = 0;
};

}  // namespace trace

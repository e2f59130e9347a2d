// The way from formatted lines to the trace file. The program's threads only
// add whole lines to a spool of two buffers, under the bookkeeping lock; the
// library's writer thread takes a full buffer and writes it outside the lock,
// so a slow disk never holds a forwarded call. Knows nothing of Windows: the
// lock and the file come in as small interfaces, so the host tests them.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace trace {

class Lock {
public:
    virtual void Enter() = 0;
    virtual void Leave() = 0;

protected:
    ~Lock() = default;
};

// The trace file as the writer sees it.
class FileLayer {
public:
    // True when all `size` bytes reached the file, after the last ones written.
    virtual bool Write(const char* data, size_t size) = 0;
    // The file ends after its first `size` bytes; the next write goes there.
    virtual bool CutTo(uint64_t size) = 0;

protected:
    ~FileLayer() = default;
};

// Two buffers of whole lines: one filling, the other (when taken) being
// written. Every member but the process end's runs under the lock. The
// process can stop the writer thread at any instruction, so each change of
// hands is one store, in an order that leaves no line in both places.
class Spool {
public:
    Spool(char* first, char* second, size_t capacity);

    // The whole line or, when the filling buffer has no room, nothing.
    bool Add(const char* data, size_t size);
    // True once when the filling buffer holds half its room or more: a
    // fast program fills it sooner than the writer's timed turn comes, and
    // the writer should take it now.
    bool ShouldWake();

    // The writer's side. Hands over the filling buffer when it holds lines
    // and no other is taken; `fileSize` is the length of the file the
    // writer has confirmed, where these lines will start.
    bool Take(uint64_t fileSize, const char*& data, size_t& size);
    void Written();

    // For the process end: the lines taken but perhaps not written (with
    // where they start in the file), and those not yet taken.
    bool Taken(const char*& data, size_t& size, uint64_t& at) const;
    void Filling(const char*& data, size_t& size) const;

private:
    char* buffers_[2];
    size_t capacity_;
    std::atomic<size_t> used_[2];
    std::atomic<int> filling_{0};
    std::atomic<int> taken_{-1};  // the buffer the writer holds, or -1
    bool woken_ = false;  // ShouldWake said so for the filling buffer
    uint64_t takenAt_ = 0;
};

// Writes whole lines and knows how much of the file is confirmed: always up
// to the end of a line. A write that fails or reaches the disk only in part
// (a full disk) cuts the file back to that length and ends the writing.
class FileWriter {
public:
    explicit FileWriter(FileLayer& file) : file_(file) {}
    bool Put(const char* data, size_t size);
    // Cuts the file back to `size`; a later Put writes from there.
    void RestartAt(uint64_t size);
    uint64_t Confirmed() const { return confirmed_; }
    bool Stopped() const { return stopped_; }

private:
    FileLayer& file_;
    std::atomic<uint64_t> confirmed_{0};
    std::atomic<bool> stopped_{false};
};

class Recorder;

// One turn of the writer thread: ends a run of checks when asked (the timed
// flush), takes the lines waiting and writes them outside the lock. False
// when there was nothing to write.
bool WriteTurn(Lock& lock, Recorder& recorder, Spool& spool, FileWriter& writer, bool endRun);

// The process end, with no lock (a stopped thread may hold it) and no
// allocation: the writer thread may have stopped anywhere, inside a write
// too. The file is cut back to where the lines it held last start, and they
// are written again from there, then the rest and the last record: no line
// torn, none twice.
void WriteAtEnd(Recorder& recorder, Spool& spool, FileWriter& writer, uint64_t t);

}  // namespace trace

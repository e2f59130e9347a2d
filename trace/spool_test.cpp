// From records to the file: the writer writes outside the lock, so calls go
// on while a write blocks, and what it cannot take in time is dropped and
// counted; a full disk and a writer stopped by the process's end leave only
// whole lines, none twice.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "trace/record.h"
#include "trace/spool.h"

namespace {

using trace::Given;
using trace::Null;

class MutexLock : public trace::Lock {
public:
    void Enter() override { mutex_.lock(); }
    void Leave() override { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// A file that writes at its position, as a file does. `room` bounds it like a
// full disk: a write past it puts what fits and fails. With `gated`, every
// write waits inside until the test opens the gate.
class FakeFile : public trace::FileLayer {
public:
    bool Write(const char* data, size_t size) override {
        std::unique_lock<std::mutex> hold(mutex_);
        inside_ = true;
        changed_.notify_all();
        changed_.wait(hold, [this] { return !gated_; });
        inside_ = false;
        size_t fits = position_ + size <= room ? size : room - position_;
        content_.replace(position_, std::min(fits, content_.size() - position_), data, fits);
        position_ += fits;
        return fits == size;
    }
    bool CutTo(uint64_t size) override {
        std::lock_guard<std::mutex> hold(mutex_);
        content_.resize(size);
        position_ = size;
        return true;
    }
    void Gate(bool closed) {
        std::lock_guard<std::mutex> hold(mutex_);
        gated_ = closed;
        changed_.notify_all();
    }
    // True once a write waits at the gate; false after 10 s.
    bool WaitInside() {
        std::unique_lock<std::mutex> hold(mutex_);
        return changed_.wait_for(hold, std::chrono::seconds(10), [this] { return inside_; });
    }
    bool Inside() {
        std::lock_guard<std::mutex> hold(mutex_);
        return inside_;
    }
    // Part of a write, as a write that the process's end stopped leaves it.
    void WritePart(const char* data, size_t size) {
        content_.replace(position_, std::min(size, content_.size() - position_), data, size);
        position_ += size;
    }
    std::string Content() {
        std::lock_guard<std::mutex> hold(mutex_);
        return content_;
    }
    size_t room = SIZE_MAX;

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool gated_ = false;
    bool inside_ = false;
    std::string content_;
    size_t position_ = 0;
};

// The library's parts as the trace library joins them, with buffers small
// enough to fill.
struct Library {
    explicit Library(size_t capacity)
        : first(capacity), second(capacity), spool(first.data(), second.data(), capacity), recorder(spool),
          writer(file) {}
    // A forwarded call's bookkeeping, as an export does it.
    void Call(uint64_t t) {
        lock.Enter();
        recorder.Count(trace::Call{t, 3, 7, 0, false}, Given(1));
        lock.Leave();
    }
    void WriteAll() {
        while (trace::WriteTurn(lock, recorder, spool, writer, true)) {
        }
    }
    std::vector<char> first, second;
    MutexLock lock;
    FakeFile file;
    trace::Spool spool;
    trace::Recorder recorder;
    trace::FileWriter writer;
};

std::string CountLine(uint64_t t, const std::string& dropped = "") {
    return "{\"op\":\"count\",\"t\":" + std::to_string(t) + ",\"dur\":3,\"th\":7,\"st\":0,\"count\":1" + dropped +
           "}\n";
}

TEST(TraceSpool, CallsGoOnWhileTheWriteBlocksAndTheDroppedAreCounted) {
    const size_t lineSize = CountLine(10).size();  // every t below has two digits
    Library lib(3 * lineSize + lineSize / 2);
    lib.Call(10);
    lib.file.Gate(true);
    std::thread writerThread([&lib] { lib.WriteAll(); });
    ASSERT_TRUE(lib.file.WaitInside());
    // The writer holds the first buffer inside its write: three lines fill
    // the second, the next seven find no room.
    for (int t = 11; t <= 20; ++t) lib.Call(t);
    EXPECT_TRUE(lib.file.Inside()) << "the calls completed while the write was still blocked";
    EXPECT_EQ(lib.recorder.Dropped(), 7u);
    lib.file.Gate(false);
    writerThread.join();
    lib.Call(21);
    lib.WriteAll();
    trace::WriteAtEnd(lib.recorder, lib.spool, lib.writer, 99);
    EXPECT_EQ(lib.file.Content(), CountLine(10) + CountLine(11) + CountLine(12) + CountLine(13) +
                                      CountLine(21, ",\"dropped\":7") +
                                      "{\"op\":\"end\",\"t\":99,\"calls\":12,\"dropped\":7}\n");
}

// The writer is woken once when the filling buffer is half full, and again
// only for the next buffer.
TEST(TraceSpool, AHalfFullBufferWakesTheWriterOnce) {
    const size_t lineSize = CountLine(10).size();
    Library lib(4 * lineSize);
    std::vector<bool> wakes;
    for (int t = 10; t < 14; ++t) {
        lib.Call(t);
        wakes.push_back(lib.spool.ShouldWake());
    }
    lib.WriteAll();
    for (int t = 14; t < 17; ++t) {
        lib.Call(t);
        wakes.push_back(lib.spool.ShouldWake());
    }
    EXPECT_EQ(wakes, (std::vector<bool>{false, true, false, false, false, true, false}));
}

// A disk that fills in the middle of a line: the file is cut back to its
// last whole line and nothing more is written, the last record neither.
TEST(TraceSpool, AFullDiskLeavesOnlyWholeLines) {
    Library lib(1 << 12);
    lib.Call(10);
    lib.Call(11);
    lib.WriteAll();
    lib.file.room = 2 * CountLine(10).size() + 5;
    lib.Call(12);
    lib.WriteAll();
    EXPECT_TRUE(lib.writer.Stopped());
    lib.Call(13);
    lib.WriteAll();
    trace::WriteAtEnd(lib.recorder, lib.spool, lib.writer, 99);
    EXPECT_EQ(lib.file.Content(), CountLine(10) + CountLine(11));
}

// The process's end stops the writer thread wherever it is; the end writes
// every line once and whole.
TEST(TraceSpool, TheEndNeitherTearsNorRepeatsALine) {
    enum Stop { AfterTake, InsideTheWrite, AfterTheWrite, AfterWritten };
    for (Stop stop : {AfterTake, InsideTheWrite, AfterTheWrite, AfterWritten}) {
        SCOPED_TRACE(stop);
        Library lib(1 << 12);
        lib.Call(10);
        lib.WriteAll();
        lib.Call(11);
        lib.Call(12);
        // One turn of the writer, stopped at `stop`.
        const char* data;
        size_t size;
        ASSERT_TRUE(lib.spool.Take(lib.writer.Confirmed(), data, size));
        if (stop == InsideTheWrite) lib.file.WritePart(data, size - 7);
        if (stop >= AfterTheWrite) lib.writer.Put(data, size);
        if (stop == AfterWritten) lib.spool.Written();
        lib.Call(13);
        trace::WriteAtEnd(lib.recorder, lib.spool, lib.writer, 99);
        EXPECT_EQ(lib.file.Content(), CountLine(10) + CountLine(11) + CountLine(12) + CountLine(13) +
                                          "{\"op\":\"end\",\"t\":99,\"calls\":4}\n");
    }
}

}  // namespace

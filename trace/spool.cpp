#include "trace/spool.h"

#include <cstring>

#include "trace/record.h"

namespace trace {

Spool::Spool(char* first, char* second, size_t capacity) : buffers_{first, second}, capacity_(capacity) {
    used_[0] = 0;
    used_[1] = 0;
}

bool Spool::Add(const char* data, size_t size) {
    int f = filling_;
    size_t used = used_[f];
    if (size > capacity_ - used) return false;
    std::memcpy(buffers_[f] + used, data, size);
    used_[f] = used + size;  // only after the whole line is in
    return true;
}

bool Spool::ShouldWake() {
    if (woken_ || used_[filling_] < capacity_ / 2) return false;
    woken_ = true;
    return true;
}

bool Spool::Take(uint64_t fileSize, const char*& data, size_t& size) {
    int f = filling_;
    if (taken_ >= 0 || used_[f] == 0) return false;
    takenAt_ = fileSize;
    taken_ = f;        // stopped here: taken and filling are one buffer; Filling gives nothing
    filling_ = 1 - f;  // the other was emptied by Written
    woken_ = false;
    data = buffers_[f];
    size = used_[f];
    return true;
}

void Spool::Written() {
    int t = taken_;
    taken_ = -1;  // stopped here: the buffer is neither taken nor filling, so nothing repeats
    used_[t] = 0;
}

bool Spool::Taken(const char*& data, size_t& size, uint64_t& at) const {
    int t = taken_;
    if (t < 0) return false;
    data = buffers_[t];
    size = used_[t];
    at = takenAt_;
    return true;
}

void Spool::Filling(const char*& data, size_t& size) const {
    int f = filling_;
    data = buffers_[f];
    size = f == taken_ ? 0 : used_[f].load();
}

bool FileWriter::Put(const char* data, size_t size) {
    if (stopped_) return false;
    if (file_.Write(data, size)) {
        confirmed_ = confirmed_ + size;
        return true;
    }
    // Only whole lines may stay in the file; nothing after a failure, so
    // that no later line follows a gap that the file does not show.
    stopped_ = true;
    file_.CutTo(confirmed_);
    return false;
}

void FileWriter::RestartAt(uint64_t size) {
    if (stopped_) return;
    if (!file_.CutTo(size)) {
        stopped_ = true;
        return;
    }
    confirmed_ = size;
}

bool WriteTurn(Lock& lock, Recorder& recorder, Spool& spool, FileWriter& writer, bool endRun) {
    const char* data = nullptr;
    size_t size = 0;
    lock.Enter();
    if (endRun) recorder.Drain();
    bool took = spool.Take(writer.Confirmed(), data, size);
    lock.Leave();
    if (!took) return false;
    writer.Put(data, size);
    lock.Enter();
    spool.Written();
    lock.Leave();
    return true;
}

void WriteAtEnd(Recorder& recorder, Spool& spool, FileWriter& writer, uint64_t t) {
    recorder.Drain();
    Line end;
    recorder.Finish(t, end);
    const char* data = nullptr;
    size_t size = 0;
    uint64_t at = 0;
    if (spool.Taken(data, size, at)) {
        writer.RestartAt(at);
        writer.Put(data, size);
    } else {
        writer.RestartAt(writer.Confirmed());
    }
    spool.Filling(data, size);
    if (size > 0) writer.Put(data, size);
    writer.Put(end.Data(), end.Size());
}

}  // namespace trace

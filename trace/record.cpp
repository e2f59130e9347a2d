#include "trace/record.h"

#include <cstring>

#include "trace/spool.h"

namespace trace {

// --- Line --------------------------------------------------------------------

void Line::Put(const char* text, size_t size) {
    if (!spilled_ && used_ + size <= sizeof fixed_) {
        std::memcpy(fixed_ + used_, text, size);
        used_ += size;
        return;
    }
    if (!spilled_) {
        spill_.assign(fixed_, used_);
        spilled_ = true;
    }
    spill_.append(text, size);
}

void Line::Put(const char* text) { Put(text, std::strlen(text)); }

void Line::Number(uint64_t value) {
    char digits[20];
    int n = 0;
    do digits[sizeof digits - ++n] = static_cast<char>('0' + value % 10);
    while ((value /= 10) != 0);
    Put(digits + sizeof digits - n, n);
}

namespace {
const char HexDigits[] = "0123456789ABCDEF";
}

void Line::HexBytes(const unsigned char* bytes, size_t size) {
    char chunk[128];
    while (size > 0) {
        size_t take = size < sizeof chunk / 2 ? size : sizeof chunk / 2;
        for (size_t i = 0; i < take; ++i) {
            chunk[2 * i] = HexDigits[bytes[i] >> 4];
            chunk[2 * i + 1] = HexDigits[bytes[i] & 0x0F];
        }
        Put(chunk, 2 * take);
        bytes += take;
        size -= take;
    }
}

void Line::Handle(uint64_t value) {
    char digits[16];
    int n = 0;
    do digits[sizeof digits - ++n] = HexDigits[value & 0xF];
    while ((value >>= 4) != 0);
    Put("\"0x", 3);
    Put(digits + sizeof digits - n, n);
    Put('"');
}

void Line::JsonString(const std::string& text) {
    Put('"');
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            Put('\\');
            Put(static_cast<char>(c));
        } else if (c < 0x20) {
            char escaped[7] = {'\\', 'u', '0', '0', HexDigits[c >> 4], HexDigits[c & 0xF], 0};
            Put(escaped, 6);
        } else {
            Put(static_cast<char>(c));
        }
    }
    Put('"');
}

// --- Recorder ----------------------------------------------------------------

namespace {

void Key(Line& line, const char* key) {
    line.Put(",\"");
    line.Put(key);
    line.Put("\":");
}

void NumberOrNull(Line& line, const char* key, Out value) {
    Key(line, key);
    if (value.given)
        line.Number(value.value);
    else
        line.Put("null");
}

void HandleOrNull(Line& line, const char* key, Out value) {
    Key(line, key);
    if (value.given)
        line.Handle(value.value);
    else
        line.Put("null");
}

void HexOrNull(Line& line, const char* key, const unsigned char* bytes, size_t size) {
    Key(line, key);
    if (!bytes) {
        line.Put("null");
        return;
    }
    line.Put('"');
    line.HexBytes(bytes, size);
    line.Put('"');
}

void File(Line& line, const char* key, const FileFacts& file) {
    Key(line, key);
    line.Put("{\"path\":");
    line.JsonString(file.path);
    if (file.read) {
        line.Put(",\"size\":");
        line.Number(file.size);
        line.Put(",\"sha256\":\"");
        line.Put(file.sha256.data(), file.sha256.size());
        line.Put('"');
    }
    if (!file.error.empty()) {
        line.Put(",\"error\":");
        line.JsonString(file.error);
    }
    line.Put('}');
}

// The bytes of a transfer, at most MaxRecordedBytes of them, and the mark of
// those cut off.
void Transfer(Line& line, const unsigned char* bytes, uint64_t size) {
    bool cut = size > MaxRecordedBytes;
    HexOrNull(line, "hex", bytes, static_cast<size_t>(cut ? MaxRecordedBytes : size));
    if (bytes && cut) line.Put(",\"cut\":true");
}

void DroppedKey(Line& line, uint64_t dropped) {
    if (dropped == 0) return;
    Key(line, "dropped");
    line.Number(dropped);
}

}  // namespace

void Recorder::Emit(Line& line) {
    DroppedKey(line, dropped_);
    line.Put("}\n");
    if (spool_.Add(line.Data(), line.Size())) {
        dropped_ = 0;
        return;
    }
    ++dropped_;
    ++droppedTotal_;
}

void Recorder::Begin(Line& line, const char* op, const Call& call) {
    EndRun();
    ++calls_;
    line.Put("{\"op\":\"");
    line.Put(op);
    line.Put("\",\"t\":");
    line.Number(call.t);
    Key(line, "dur");
    line.Number(call.dur);
    Key(line, "th");
    line.Number(call.thread);
    Key(line, "st");
    line.Number(call.status);
    if (call.nolib) line.Put(",\"nolib\":true");
}

void Recorder::Start(const StartFacts& facts) {
    Line line;
    line.Put("{\"op\":\"start\",\"format\":1,\"utc\":");
    line.JsonString(facts.utc);
    line.Put(",\"windows\":");
    line.JsonString(facts.windows);
    Key(line, "bits");
    line.Number(static_cast<uint64_t>(facts.bits));
    Key(line, "qpc_hz");
    line.Number(facts.qpcHz);
    File(line, "program", facts.program);
    File(line, "maker", facts.maker);
    Emit(line);
}

void Recorder::Count(const Call& call, Out count) {
    Line line;
    Begin(line, "count", call);
    NumberOrNull(line, "count", count);
    Emit(line);
}

void Recorder::String(const Call& call, uint32_t index, uint32_t kind, const unsigned char* buffer) {
    const size_t size = 256;
    Line line;
    Begin(line, "string", call);
    Key(line, "index");
    line.Number(index);
    Key(line, "kind");
    line.Number(kind);
    // A failed call leaves the buffer as the caller gave it: uninitialised
    // memory of the caller's, nothing of the bridge's.
    if (call.status == 0) {
        const void* zero = buffer ? std::memchr(buffer, 0, size) : nullptr;
        size_t length = zero ? static_cast<const unsigned char*>(zero) - buffer : size;
        HexOrNull(line, "str", buffer, length);
        if (buffer) line.Put(zero ? ",\"term\":true" : ",\"term\":false");
    }
    Emit(line);
}

void Recorder::Open(const Call& call, uint32_t index, Out handle) {
    Line line;
    Begin(line, "open", call);
    Key(line, "index");
    line.Number(index);
    HandleOrNull(line, "handle", handle);
    Emit(line);
}

void Recorder::Close(const Call& call, uint64_t handle) {
    Line line;
    Begin(line, "close", call);
    HandleOrNull(line, "handle", Given(handle));
    Emit(line);
}

void Recorder::Read(const Call& call, uint64_t handle, const unsigned char* buffer, uint32_t ask, Out got,
                    Out last) {
    Line line;
    Begin(line, "read", call);
    HandleOrNull(line, "handle", Given(handle));
    Key(line, "ask");
    line.Number(ask);
    NumberOrNull(line, "got", got);
    // The bytes the call says it left; never past what was asked for.
    uint64_t shown = got.given ? (got.value < ask ? got.value : ask) : 0;
    Transfer(line, buffer, shown);
    HandleOrNull(line, "ovl", last);
    Emit(line);
}

void Recorder::Write(const Call& call, uint64_t handle, const unsigned char* buffer, uint32_t length, Out written,
                     Out last) {
    Line line;
    Begin(line, "write", call);
    HandleOrNull(line, "handle", Given(handle));
    Key(line, "len");
    line.Number(length);
    Transfer(line, buffer, length);
    NumberOrNull(line, "out", written);
    HandleOrNull(line, "ovl", last);
    Emit(line);
}

void Recorder::Flush(const Call& call, uint64_t handle, uint32_t transmit, uint32_t receive) {
    Line line;
    Begin(line, "flush", call);
    HandleOrNull(line, "handle", Given(handle));
    Key(line, "flags");
    line.Put('[');
    line.Number(transmit);
    line.Put(',');
    line.Number(receive);
    line.Put(']');
    Emit(line);
}

namespace {
bool Same(Out a, Out b) { return a.given == b.given && a.value == b.value; }
}  // namespace

bool Recorder::Check(const Call& call, uint64_t handle, Out waiting, Out queueStatus) {
    Run& r = run_;
    if (r.open && r.first.thread == call.thread && r.handle == handle && r.first.status == call.status &&
        r.first.nolib == call.nolib && Same(r.waiting, waiting) && Same(r.queueStatus, queueStatus)) {
        ++r.n;
        r.last = call.t;
        r.first.dur += call.dur;
        ++calls_;
        return false;
    }
    EndRun();
    r.open = true;
    r.first = call;
    r.handle = handle;
    r.waiting = waiting;
    r.queueStatus = queueStatus;
    r.n = 1;
    r.last = call.t;
    ++calls_;
    return true;
}

void Recorder::EndRun() {
    if (!run_.open) return;
    run_.open = false;
    Line line;
    Call call = run_.first;
    // Begin counts a call; the run's calls were counted as they came.
    --calls_;
    Begin(line, "check", call);
    HandleOrNull(line, "handle", Given(run_.handle));
    NumberOrNull(line, "waiting", run_.waiting);
    NumberOrNull(line, "qstat", run_.queueStatus);
    Key(line, "n");
    line.Number(run_.n);
    Key(line, "last");
    line.Number(run_.last);
    Emit(line);
}

void Recorder::Drain() { EndRun(); }

void Recorder::Finish(uint64_t t, Line& line) {
    line.Put("{\"op\":\"end\",\"t\":");
    line.Number(t);
    Key(line, "calls");
    line.Number(calls_);
    DroppedKey(line, droppedTotal_);
    line.Put("}\n");
}

}  // namespace trace

// The trace library's own cost per call, without Windows: formatting a
// page-program write and its read, and joining a busy poll's checks.
#include <benchmark/benchmark.h>

#include <vector>

#include "trace/record.h"
#include "trace/spool.h"

namespace {

std::vector<char> first(1 << 18), second(1 << 18);
trace::Spool spool(first.data(), second.data(), first.size());
trace::Recorder recorder(spool);

// Empties the spool as the writer would, so that no line is dropped.
void Written() {
    const char* data;
    size_t size;
    if (spool.Take(0, data, size)) spool.Written();
}

void WriteOf40Bytes(benchmark::State& state) {
    unsigned char frame[40] = {0x01, 0x24, 0xD7};
    uint64_t t = 0;
    for (auto _ : state) {
        recorder.Write(trace::Call{t++, 3, 7, 0, false}, 0xC0FFEE, frame, 40, trace::Given(40), trace::Null());
        Written();
    }
}
BENCHMARK(WriteOf40Bytes);

void ReadOf1Byte(benchmark::State& state) {
    unsigned char reply[1] = {0xD7};
    uint64_t t = 0;
    for (auto _ : state) {
        recorder.Read(trace::Call{t++, 3, 7, 0, false}, 0xC0FFEE, reply, 1, trace::Given(1), trace::Null());
        Written();
    }
}
BENCHMARK(ReadOf1Byte);

void CheckJoiningARun(benchmark::State& state) {
    uint64_t t = 0;
    for (auto _ : state) recorder.Check(trace::Call{t++, 1, 7, 0, false}, 0xC0FFEE, trace::Given(0), trace::Given(0));
}
BENCHMARK(CheckJoiningARun);

}  // namespace

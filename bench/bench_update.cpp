// Benchmarks of the update against the simulated unit on the virtual clock:
// a full 896 KiB "1A70" image through WriteImageFile (bridge already open),
// and a whole "1A70" update with its four OSD parts through UpdateWorker.
// The counters and the lower bound are described in bench/README.md.
//
// Our CPU time: every call out of our code (the eight bridge operations and
// the host layer's stand-ins for Windows services) goes through a wrapper
// (bench/probes.cpp). One untimed run records those calls with their
// arguments. Each iteration then makes (1) the real run, (2) a replay of the
// recorded calls against a fresh unit and host layer without the product,
// which does all of the unit's and host's work again and nothing of ours, and
// (3) the same replay against empty functions, which costs only the replay
// loop. Ours = (1) - (2) + (3). A first replay is checked to reproduce the
// run's frames and virtual time, so the unit did the same work both times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <functional>
#include <optional>

#include "bench/probes.h"
#include "bench/workload.h"
#include "flash/flash_programming.h"
#include "tests/support/sim_timing.h"
#include "update/update_worker.h"

namespace {

using workload::Image;
using workload::KiB;

const Image& MainImage = samples::FullMain;
const Image (&Parts)[4] = samples::FullParts;
std::vector<unsigned char> mainPayload;
std::vector<unsigned char> partPayloads[4];

// The lower bound of one image's virtual time (bench/README.md), from the
// record the tests expect of it.
double ImageBoundMs(const sim::Settings& s) {
    expected::Stream stream;
    stream.Image(MainImage.id, mainPayload);
    return expected::LowerBoundOf(stream.steps, expected::TimingOf(s)).ms;
}

double UpdateBoundMs(const sim::Settings& s) {
    expected::Stream stream;
    stream.Update(MainImage.id, mainPayload, samples::PartIds, partPayloads);
    return expected::LowerBoundOf(stream.steps, expected::TimingOf(s)).ms;
}

struct Run {
    bool open;                    // the bridge is opened before the measured part
    std::function<bool()> body;   // the measured part; true when it ended as it should
    std::function<bool()> check;  // the flash afterwards
    double boundMs;
    std::size_t largestPayload;
};

void Measure(benchmark::State& state, const Run& run) {
    const sim::Settings settings;  // the unit's defaults

    workload::Fresh(settings, run.open);
    const DWORD start = host::Now();
    probes::ForgetRecord();
    probes::Record(true);
    bool ended = run.body();
    probes::Record(false);
    const DWORD end = host::Now();
    const std::size_t frames = sim::FramesOf(sim::FrameKind::Program).size();
    const std::size_t allFrames = sim::Frames().size();
    if (!ended || !run.check() || frames == 0) {
        state.SkipWithError("the run did not write what it should");
        return;
    }
    workload::Fresh(settings, run.open);
    probes::Replay(false);
    if (sim::Frames().size() != allFrames || host::Now() != end) {
        state.SkipWithError("the replay did not reproduce the unit's work");
        return;
    }

    std::uint64_t full = 0;
    std::uint64_t replay = 0;
    std::uint64_t loop = 0;
    std::size_t peak = 0;
    int iterations = 0;
    for (auto _ : state) {
        state.PauseTiming();
        workload::Fresh(settings, run.open);
        state.ResumeTiming();
        probes::StartPeak();
        std::uint64_t t0 = probes::CpuNs();
        benchmark::DoNotOptimize(run.body());
        std::uint64_t t1 = probes::CpuNs();
        std::size_t runPeak = probes::PeakOurBytes();
        state.PauseTiming();
        full += t1 - t0;
        peak = std::max(peak, runPeak);
        workload::Fresh(settings, run.open);
        t0 = probes::CpuNs();
        probes::Replay(false);
        t1 = probes::CpuNs();
        replay += t1 - t0;
        probes::Replay(true);
        loop += probes::CpuNs() - t1;
        ++iterations;
        state.ResumeTiming();
    }

    const double perFrame = 1.0 / iterations / static_cast<double>(frames);
    const double budget = static_cast<double>(run.largestPayload + 64 * KiB);
    state.counters["virtual_ms"] = end - start;
    state.counters["bound_ms"] = run.boundMs;
    state.counters["ratio"] = (end - start) / run.boundMs;
    state.counters["program_frames"] = static_cast<double>(frames);
    state.counters["calls_per_frame"] = static_cast<double>(probes::RecordedCalls()) / static_cast<double>(frames);
    state.counters["our_ns_per_frame"] = (static_cast<double>(full) - static_cast<double>(replay) + static_cast<double>(loop)) * perFrame;
    state.counters["unit_host_ns_per_frame"] = (static_cast<double>(replay) - static_cast<double>(loop)) * perFrame;
    state.counters["peak_bytes"] = static_cast<double>(peak);
    state.counters["peak_budget"] = budget;
    state.counters["peak_share"] = static_cast<double>(peak) / budget;
}

bool Trapped(const std::function<void()>& body) {
    return !host::RunTrappingExit(body).has_value();
}

void WriteMainImage(benchmark::State& state) {
    Run run;
    run.open = true;
    run.body = [] {
        BOOL result = FALSE;
        return Trapped([&] { result = WriteImageFile(MainImage.name.c_str()); }) && result == TRUE;
    };
    run.check = [] { return workload::RegionHolds(sim::Flash(), MainImage, mainPayload); };
    run.boundMs = ImageBoundMs(sim::Settings{});
    run.largestPayload = MainImage.size;
    Measure(state, run);
}

void WholeUpdate(benchmark::State& state) {
    Run run;
    run.open = false;
    run.body = [] {
        DWORD result = 1;
        return Trapped([&] { result = UpdateWorker(nullptr); }) && result == 0;
    };
    run.check = [] {
        // Parts share regions, so each is checked at the next write mode.
        const auto& snapshots = sim::WriteModeSnapshots();
        if (snapshots.size() != 5 || host::DestroyRequests() != 1) return false;
        if (!workload::RegionHolds(snapshots[0], MainImage, mainPayload)) return false;
        for (int i = 0; i < 4; ++i)
            if (!workload::RegionHolds(snapshots[i + 1], Parts[i], partPayloads[i])) return false;
        return true;
    };
    run.boundMs = UpdateBoundMs(sim::Settings{});
    run.largestPayload = MainImage.size;
    Measure(state, run);
}

}  // namespace

int main(int argc, char** argv) {
    workload::EnterFolder();
    mainPayload = workload::Write(MainImage);
    for (int i = 0; i < 4; ++i) partPayloads[i] = workload::Write(Parts[i]);
    benchmark::RegisterBenchmark("WriteImageFile/1A70_896KiB", WriteMainImage)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("UpdateWorker/1A70_and_four_parts", WholeUpdate)->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

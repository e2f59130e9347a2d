// What the benchmark links around the product: every call the product makes
// into the simulated unit (the eight bridge operations) and into the host
// layer's stand-ins for Windows services goes through a wrapper made with the
// linker's --wrap (bench/CMakeLists.txt). The wrappers mark "outside our
// code" for the allocation counter, can record the calls, and the record can
// be replayed without the product, to tell the unit's and host's own CPU time
// from ours.
#pragma once
#include <cstddef>
#include <cstdint>

namespace probes {

// --- allocations made by our code (global operator new, outside wrappers) ---
std::size_t LiveOurBytes();
// Starts a new peak at the bytes live now; PeakOurBytes() is the rise since.
void StartPeak();
std::size_t PeakOurBytes();

// --- the calls out of our code --------------------------------------------
void Record(bool on);  // while on, every wrapped call is kept, in order
void ForgetRecord();
std::size_t RecordedCalls();
// Makes the recorded calls again, with the same arguments, against the real
// unit and host layer (stubs = false) or against empty functions (stubs =
// true: what the replay loop itself costs).
void Replay(bool stubs);

// Thread CPU time in nanoseconds.
std::uint64_t CpuNs();

}  // namespace probes

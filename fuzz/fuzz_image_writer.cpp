// libFuzzer target: WriteImageFile on an image file that the fuzzer makes,
// against a fresh simulated unit whose flash starts with a pattern that is
// not the erased value, so every cell the writer touches shows.
//
// Input:
//   byte 0: bits 0-1 the identifier: "1A60", "1A65", "1A70", or 3 = raw (the
//           rest of the input is the whole file, identifier included);
//           bit 2: stretched payload (bytes of the length follow);
//           bit 3: one injected unit fault (three bytes follow).
//   byte 1: the flash's starting value (0xFF is taken as 0xFE).
//   [stretched: 3 bytes, little-endian: the payload length, up to 2 MiB + 64;
//    the remaining input is repeated to that length]
//   [fault: kind (bit 7: the same fault again on the next frame of that kind,
//    which for a piece is its resend), occurrence - 1, fault]
//   the rest: the payload (or, raw, the file).
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "device/device_link.h"
#include "flash/flash_programming.h"
#include "fuzz/require.h"
#include "platform/host_platform.h"
#include "sim/host_environment.h"
#include "sim/sample_images.h"
#include "sim/sim.h"
#include "tests/support/expected.h"
#include "tests/support/program_state.h"

extern const char* const FuzzTarget = "fuzz_image_writer";

namespace {


const std::size_t LongestStretch = sim::FlashSize + 64;

// Faults after which the unit's answers stay true to what the flash did: a
// unit that acknowledges a piece it dropped, or calls a busy flash idle,
// would fool any writer, so those are left out.
struct FaultChoice {
    sim::FrameKind kind;
    std::vector<sim::Fault> faults;
};
const FaultChoice FaultChoices[] = {
    {sim::FrameKind::Program, {sim::Fault::NoReply, sim::Fault::LateReply, sim::Fault::WrongReply, sim::Fault::ShortRead}},
    {sim::FrameKind::Erase,
     {sim::Fault::NoReply, sim::Fault::LateReply, sim::Fault::WrongReply, sim::Fault::ShortRead, sim::Fault::StuckBusy}},
    {sim::FrameKind::WriteEnable,
     {sim::Fault::NoReply, sim::Fault::LateReply, sim::Fault::WrongReply, sim::Fault::ShortRead, sim::Fault::StuckBusy}},
    {sim::FrameKind::Status, {sim::Fault::NoReply, sim::Fault::LateReply, sim::Fault::ShortRead, sim::Fault::StuckBusy}},
    {sim::FrameKind::Any, {sim::Fault::NoReply, sim::Fault::LateReply, sim::Fault::ShortRead}},
};

struct Case {
    std::vector<unsigned char> file;
    BYTE fill = 0;
    std::optional<sim::FrameFault> fault;
    bool again = false;  // the fault also hits the next frame of its kind
};

std::optional<Case> Decode(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return std::nullopt;
    Case c;
    const std::uint8_t selector = data[0];
    c.fill = data[1] == 0xFF ? 0xFE : data[1];
    std::size_t at = 2;
    std::size_t stretch = 0;
    bool stretched = (selector & 0x04) != 0;
    if (stretched) {
        if (size < at + 3) return std::nullopt;
        std::size_t value = data[at] | (data[at + 1] << 8) | (static_cast<std::size_t>(data[at + 2]) << 16);
        stretch = value % (LongestStretch + 1);
        at += 3;
    }
    if (selector & 0x08) {
        if (size < at + 3) return std::nullopt;
        const FaultChoice& choice = FaultChoices[(data[at] & 0x7F) % (sizeof FaultChoices / sizeof FaultChoices[0])];
        c.fault = sim::FrameFault{choice.kind, 1 + data[at + 1], choice.faults[data[at + 2] % choice.faults.size()]};
        c.again = (data[at] & 0x80) != 0;
        at += 3;
    }
    std::vector<unsigned char> rest(data + at, data + size);
    if (stretched) {
        std::vector<unsigned char> tiled(stretch, 0);
        if (!rest.empty())
            for (std::size_t i = 0; i < stretch; ++i) tiled[i] = rest[i % rest.size()];
        rest.swap(tiled);
    }
    int id = selector & 0x03;
    c.file = id == 3 ? rest : sim::ImageBytes(expected::Regions[id].id, rest);
    return c;
}

// Where each identifier goes, from the tests' own table, not the product's.
const expected::Region* RegionOf(const std::vector<unsigned char>& file) {
    if (file.size() < 4) return nullptr;
    for (const expected::Region& r : expected::Regions)
        if (std::memcmp(r.id.data(), file.data(), 4) == 0) return &r;
    return nullptr;
}

std::string folder;
std::string outputPath;
std::string startFolder;

void RemoveFolder() {
    unlink((folder + "/fuzz.bin").c_str());
    unlink(outputPath.c_str());
    rmdir(folder.c_str());
}

// The image goes to a folder of this process's own, which is the working
// folder while the writer runs (libFuzzer itself needs the one it started
// in); standard output goes to a file there so the "Wrong ID" line can be
// checked.
void SetUpOnce() {
    if (!folder.empty()) return;
    char pattern[] = "/tmp/sorvik-fuzz-XXXXXX";
    if (!mkdtemp(pattern)) Violated("cannot make a temp folder");
    folder = pattern;
    char here[4096];
    if (!getcwd(here, sizeof here)) Violated("cannot tell the working folder");
    startFolder = here;
    outputPath = folder + "/stdout.txt";
    if (!std::freopen(outputPath.c_str(), "w+", stdout)) Violated("cannot redirect standard output");
    std::atexit(RemoveFolder);
}

std::string TakeOutput() {
    std::fflush(stdout);
    std::vector<unsigned char> bytes = sim::ReadFileBytes(outputPath);
    if (ftruncate(fileno(stdout), 0) != 0) Violated("cannot empty standard output");
    std::rewind(stdout);
    return std::string(bytes.begin(), bytes.end());
}

bool InRegion(DWORD address, DWORD length, const expected::Region& r) {
    return address >= r.base && address + length <= r.base + r.Size();
}

bool BoxesAre(const std::vector<expected::Box>& boxes) {
    const std::vector<host::Box> shown = host::Boxes();
    if (shown.size() != boxes.size()) return false;
    for (std::size_t i = 0; i < boxes.size(); ++i)
        if (!(expected::Box{shown[i].text, shown[i].caption, shown[i].type} == boxes[i])) return false;
    return true;
}

// Outcomes that the injected fault alone decides, for an image that fits.
void CheckFaultOutcome(const Case& c, const expected::Region& region, std::size_t payload,
                       const std::optional<int>& exit, BOOL result) {
    const sim::FrameFault& f = *c.fault;
    const std::vector<host::Draw> draws = host::Draws();
    const std::size_t programs = sim::FramesOf(sim::FrameKind::Program).size();
    // Any of these faults on a write enable or a sector erase of the region
    // fails the erase: its box, then the fatal stop with code 6.
    const bool erase = f.kind == sim::FrameKind::WriteEnable || f.kind == sim::FrameKind::Erase;
    if (erase && f.occurrence <= region.sectorCount) {
        const bool enableRefused = f.kind == sim::FrameKind::WriteEnable && f.fault != sim::Fault::StuckBusy;
        REQUIRE(exit && *exit == 1, "a failed erase did not end the process");
        REQUIRE(!draws.empty() && draws.back().text == expected::FatalTexts[expected::FatalErase],
                "a failed erase did not end with the text of code 6");
        REQUIRE(BoxesAre({enableRefused ? expected::WriteEnableFailedBox : expected::SectorEraseFailedBox,
                          expected::FatalBox}),
                "a failed erase did not show its box and the fatal box");
        REQUIRE(programs == 0, "a piece was sent after a failed erase");
        return;
    }
    // A piece not acknowledged is sent once more: once is survived, twice in
    // a row ends the write with false and its box.
    const std::size_t pieces = (payload + expected::PieceBytes - 1) / expected::PieceBytes;
    if (f.kind == sim::FrameKind::Program && static_cast<std::size_t>(f.occurrence) <= pieces) {
        REQUIRE(!exit, "a failed piece ended the process");
        if (c.again) {
            REQUIRE(result == FALSE, "a piece that failed twice did not yield false");
            REQUIRE(BoxesAre({expected::FlashWriteFailedBox}), "a piece that failed twice did not show its box");
            REQUIRE(!draws.empty() && draws.back().text == expected::WriteRetransmit,
                    "the retransmit text is not the last text");
            REQUIRE(programs == static_cast<std::size_t>(f.occurrence) + 1, "frames were sent after the second failure");
        } else {
            REQUIRE(result == TRUE, "a piece that failed once was not written on its resend");
            REQUIRE(host::Boxes().empty(), "a piece that failed once showed a box");
            REQUIRE(programs == pieces + 1, "a piece that failed once was not sent exactly once more");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::optional<Case> c = Decode(data, size);
    if (!c) return -1;  // too short to say what to do: not kept in the corpus
    SetUpOnce();
    if (chdir(folder.c_str()) != 0) Violated("cannot enter the temp folder");
    if (!sim::WriteFileBytes("fuzz.bin", c->file)) Violated("cannot write the image file");

    host::Reset();
    ResetProgramState();
    sim::Settings settings;
    settings.flashFill = c->fill;
    settings.eraseMs = 20;  // short erases keep runs fast; stale replies stay truthful
    if (c->fault) {
        settings.frameFaults = {*c->fault};
        if (c->again) settings.frameFaults.push_back({c->fault->kind, c->fault->occurrence + 1, c->fault->fault});
    }
    sim::Configure(settings, &sim::HostEnvironment());
    OpenDevice();
    REQUIRE(AppState.DeviceHandle != INVALID_HANDLE_VALUE, "the healthy unit did not open");
    TakeOutput();

    BOOL result = 2;
    std::optional<int> exit = host::RunTrappingExit([&] { result = WriteImageFile(L"fuzz.bin"); });
    if (!exit) CloseDevice();  // a fatal stop has closed it already
    const std::string output = TakeOutput();
    if (chdir(startFolder.c_str()) != 0) Violated("cannot return to the working folder");

    const expected::Region* region = RegionOf(c->file);
    const std::size_t payload = c->file.size() >= 4 ? c->file.size() - 4 : 0;
    const bool fits = region && payload <= region->Size();
    const std::vector<BYTE>& flash = sim::Flash();

    REQUIRE(host::LockViolations().empty(), "lock rules broken");
    REQUIRE(host::LocksAlive() == 0, "the device lock outlived the connection");
    REQUIRE(!exit || *exit == 1, "the process ended with a code other than 1");
    REQUIRE(!exit || c->fault, "a healthy unit ended the process");
    REQUIRE(exit || result == TRUE || result == FALSE, "the result is not a boolean");
    REQUIRE(AppState.OsdPartsFlag == (region && region->id == expected::OsdId ? 1 : 0),
            "OsdPartsFlag does not follow the identifier");
    REQUIRE(output == (region ? "" : expected::WrongId), "standard output is not the Wrong ID line alone");

    // Whole ranges are compared with memcmp: a byte-wise loop over 2 MiB
    // would cost more than the write itself under the fuzzer's tracing.
    static std::vector<BYTE> untouched;
    untouched.assign(flash.size(), c->fill);
    if (!fits) {
        // A wrong identifier or an oversized payload: nothing reaches the unit.
        REQUIRE(!exit && result == FALSE, "a refused file did not yield false");
        REQUIRE(sim::Frames().empty(), "a refused file sent frames");
        REQUIRE(flash == untouched, "a refused file changed the flash");
        return 0;
    }

    const DWORD base = region->base;
    const DWORD end = base + region->Size();
    REQUIRE(std::memcmp(flash.data(), untouched.data(), base) == 0 &&
                std::memcmp(flash.data() + end, untouched.data() + end, flash.size() - end) == 0,
            "flash outside the region changed");
    for (const sim::Frame& f : sim::Frames()) {
        DWORD address = (static_cast<DWORD>(f.bytes[4]) << 16) | (f.bytes[5] << 8) | f.bytes[6];
        if (f.kind == sim::FrameKind::Program) REQUIRE(InRegion(address, f.bytes[1], *region), "a piece aimed outside the region");
        if (f.kind == sim::FrameKind::Erase)
            REQUIRE(InRegion(address, expected::SectorBytes, *region), "an erase aimed outside the region");
        REQUIRE(f.kind != sim::FrameKind::Unknown, "a frame the unit does not know");
    }
    if (!exit && result == TRUE) {
        REQUIRE(std::memcmp(flash.data() + base, c->file.data() + 4, payload) == 0, "true, but the region does not hold the payload");
        const std::vector<BYTE> erased(end - base - payload, 0xFF);
        REQUIRE(erased.empty() || std::memcmp(flash.data() + base + payload, erased.data(), erased.size()) == 0,
                "true, but the rest of the region is not erased");
    }
    if (!c->fault) REQUIRE(!exit && result == TRUE, "a healthy unit and a fitting image did not yield true");
    if (c->fault) CheckFaultOutcome(*c, *region, payload, exit, result);
    return 0;
}

// A fresh host layer, simulated unit and program state for each test, run in
// a working folder of its own; the lock rules are checked after every test.
#pragma once
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "platform/host_platform.h"
#include "sim/host_environment.h"
#include "sim/sample_images.h"
#include "sim/sim.h"
#include "tests/support/region_check.h"
#include "tests/support/stream.h"

class UnitTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // A fresh unit with these settings (the default: one healthy unit "2025").
    void Attach(const sim::Settings& settings = sim::Settings{});
    // Opens the bridge through the product and forgets the frames of opening.
    void OpenUnit(const sim::Settings& settings = sim::Settings{});

    // Writes an image file into the working folder; returns its payload.
    std::vector<unsigned char> MakeImage(const std::string& name, const std::string& id,
                                         std::size_t size, std::uint32_t seed = 7);

    // Every box shown: text, caption and type.
    std::vector<expected::Box> BoxesShown() const;
    std::vector<std::wstring> DrawnAt(int y) const;

    std::string folder_;
    std::string previous_;
};

// A fault on a frame and one on its retransmission, and the result they must give.
struct TwoFaults {
    sim::Fault first;
    sim::Fault second;
    BOOL result;
};

// A box as shown: text, caption and type.
expected::Box Shown(const host::Box& box);

// The host layer's ordered record against the one expected; on a difference,
// where it starts and the events around it.
testing::AssertionResult SameEvents(const std::vector<std::string>& expectedEvents);

// The simulated unit on the host layer's clock that also notes its frames
// (with the replies it queued) and the bridge's close among the host layer's
// events, so the order of everything can be checked.
sim::Environment& RecordingEnvironment();

// The library calls of one operation, in order, with their arguments.
std::vector<sim::Call> CallsOf(BridgeOp op);


// The frame bytes as the unit received them.
std::vector<std::vector<BYTE>> FrameBytes();
std::vector<BYTE> Bytes(std::initializer_list<int> values);

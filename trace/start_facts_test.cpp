// The maker's library's architecture from its header, and the texts of the
// first record and of the file name.
#include <gtest/gtest.h>

#include <vector>

#include "trace/start_facts.h"

namespace {

// The first 0x200 bytes of a file; what would lie past them is left out.
std::vector<unsigned char> Header(unsigned machine, unsigned peAt = 0x80) {
    std::vector<unsigned char> h(0x200, 0);
    auto put = [&h](std::size_t at, unsigned value) {
        if (at < h.size()) h[at] = static_cast<unsigned char>(value);
    };
    put(0, 'M');
    put(1, 'Z');
    put(0x3C, peAt);
    put(0x3D, peAt >> 8);
    put(peAt, 'P');
    put(peAt + 1, 'E');
    put(peAt + 4, machine);
    put(peAt + 5, machine >> 8);
    return h;
}

TEST(TraceStartFacts, ArchitectureFromTheMachineField) {
    struct Case {
        std::vector<unsigned char> head;
        int bits;
    } cases[] = {
        {Header(0x014C), 32},
        {Header(0x8664), 64},
        {Header(0x8664, 0x100), 64},
        {Header(0xAA64), 0},           // ARM64: not ours to judge
        {Header(0x014C, 0x1FF), 0},    // the PE header would run past the bytes read
        {std::vector<unsigned char>(0x200, 0), 0},  // no "MZ"
        {std::vector<unsigned char>{'M', 'Z'}, 0},  // too short
    };
    for (const Case& c : cases) EXPECT_EQ(trace::PeBits(c.head.data(), c.head.size()), c.bits);
    std::vector<unsigned char> notPe = Header(0x014C);
    notPe[0x81] = 'X';
    EXPECT_EQ(trace::PeBits(notPe.data(), notPe.size()), 0);
}

TEST(TraceStartFacts, ArchitectureErrorTexts) {
    EXPECT_EQ(trace::ArchitectureError(64, 32), "wrong architecture: a 64-bit library for a 32-bit program");
    EXPECT_EQ(trace::ArchitectureError(32, 64), "wrong architecture: a 32-bit library for a 64-bit program");
    EXPECT_EQ(trace::ArchitectureError(32, 32), "");
    EXPECT_EQ(trace::ArchitectureError(0, 64), "");
}

TEST(TraceStartFacts, FileNameAndTimeTexts) {
    trace::DateTime when{2026, 1, 2, 3, 4, 5, 7};
    EXPECT_EQ(trace::TraceFileName(when, 1), "SiUSBXp-trace-20260102-030405.jsonl");
    EXPECT_EQ(trace::TraceFileName(when, 2), "SiUSBXp-trace-20260102-030405-2.jsonl");
    EXPECT_EQ(trace::TraceFileName(when, 13), "SiUSBXp-trace-20260102-030405-13.jsonl");
    EXPECT_EQ(trace::UtcText(when), "2026-01-02T03:04:05.007Z");
    EXPECT_EQ(trace::UtcText(trace::DateTime{2026, 12, 31, 23, 59, 59, 999}), "2026-12-31T23:59:59.999Z");
    EXPECT_EQ(trace::VersionText(10, 0, 19045), "10.0.19045");
}

}  // namespace

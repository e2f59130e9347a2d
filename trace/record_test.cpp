// The records as the reader expects them (FORMAT.md), written out line by line.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "trace/record.h"
#include "trace/spool.h"

namespace {

using trace::Given;
using trace::Null;

// The recorder over a spool whose lines the test takes as the writer would.
struct Fixture {
    explicit Fixture(size_t capacity = 1 << 16)
        : first(capacity), second(capacity), spool(first.data(), second.data(), capacity), recorder(spool) {}
    // The lines handed over so far.
    std::string Taken() {
        std::string all;
        const char* data;
        size_t size;
        while (spool.Take(0, data, size)) {
            all.append(data, size);
            spool.Written();
        }
        return all;
    }
    std::string Drained() {
        recorder.Drain();
        return Taken();
    }
    std::vector<char> first, second;
    trace::Spool spool;
    trace::Recorder recorder;
};

trace::Call At(uint64_t t, uint64_t dur = 3, uint32_t status = 0, uint32_t thread = 7) {
    return trace::Call{t, dur, thread, status, false};
}

TEST(TraceRecord, EachOperationsLine) {
    Fixture f;
    unsigned char serial[256] = {'2', '0', '2', '5', 0, 'x'};
    unsigned char full[256];
    for (unsigned char& c : full) c = 'A';
    const unsigned char sent[] = {0x01, 0x04, 0xD0, 0x06};
    const unsigned char got[] = {0xDA, 0x01, 0xEE};
    f.recorder.Count(At(10, 2), Given(1));
    f.recorder.String(At(20), 0, 0, serial);
    f.recorder.String(At(21), 1, 2, full);
    f.recorder.String(At(22), 1, 2, nullptr);
    f.recorder.String(At(23, 3, 31), 1, 0, full);  // failed: the buffer is not the bridge's
    f.recorder.Open(At(30), 0, Given(0x1A2B));
    f.recorder.Flush(At(40), 0x1A2B, 1, 1);
    f.recorder.Write(At(50), 0x1A2B, sent, 4, Given(4), Null());
    f.recorder.Read(At(60), 0x1A2B, got, 2, Given(3), Given(0xBEEF));
    f.recorder.Close(At(70), 0x1A2B);
    f.recorder.Count(At(80, 1, 255), Null());
    std::string fullHex;
    for (int i = 0; i < 256; ++i) fullHex += "41";
    EXPECT_EQ(f.Drained(),
              "{\"op\":\"count\",\"t\":10,\"dur\":2,\"th\":7,\"st\":0,\"count\":1}\n"
              "{\"op\":\"string\",\"t\":20,\"dur\":3,\"th\":7,\"st\":0,\"index\":0,\"kind\":0,\"str\":\"32303235\",\"term\":true}\n"
              "{\"op\":\"string\",\"t\":21,\"dur\":3,\"th\":7,\"st\":0,\"index\":1,\"kind\":2,\"str\":\"" + fullHex +
                  "\",\"term\":false}\n"
              "{\"op\":\"string\",\"t\":22,\"dur\":3,\"th\":7,\"st\":0,\"index\":1,\"kind\":2,\"str\":null}\n"
              "{\"op\":\"string\",\"t\":23,\"dur\":3,\"th\":7,\"st\":31,\"index\":1,\"kind\":0}\n"
              "{\"op\":\"open\",\"t\":30,\"dur\":3,\"th\":7,\"st\":0,\"index\":0,\"handle\":\"0x1A2B\"}\n"
              "{\"op\":\"flush\",\"t\":40,\"dur\":3,\"th\":7,\"st\":0,\"handle\":\"0x1A2B\",\"flags\":[1,1]}\n"
              "{\"op\":\"write\",\"t\":50,\"dur\":3,\"th\":7,\"st\":0,\"handle\":\"0x1A2B\",\"len\":4,\"hex\":\"0104D006\",\"out\":4,\"ovl\":null}\n"
              "{\"op\":\"read\",\"t\":60,\"dur\":3,\"th\":7,\"st\":0,\"handle\":\"0x1A2B\",\"ask\":2,\"got\":3,\"hex\":\"DA01\",\"ovl\":\"0xBEEF\"}\n"
              "{\"op\":\"close\",\"t\":70,\"dur\":3,\"th\":7,\"st\":0,\"handle\":\"0x1A2B\"}\n"
              "{\"op\":\"count\",\"t\":80,\"dur\":1,\"th\":7,\"st\":255,\"count\":null}\n");
}

TEST(TraceRecord, FailingWithoutLibraryIsMarked) {
    Fixture f;
    f.recorder.Open(trace::Call{5, 0, 9, 255, true}, 0, Given(0));
    f.recorder.Open(At(6), 0, Null());
    EXPECT_EQ(f.Drained(),
              "{\"op\":\"open\",\"t\":5,\"dur\":0,\"th\":9,\"st\":255,\"nolib\":true,\"index\":0,\"handle\":\"0x0\"}\n"
              "{\"op\":\"open\",\"t\":6,\"dur\":3,\"th\":7,\"st\":0,\"index\":0,\"handle\":null}\n");
}

TEST(TraceRecord, StartRecordWithAndWithoutTheMaker) {
    Fixture f;
    trace::StartFacts facts;
    facts.utc = "2026-12-11T10:04:05.123Z";
    facts.windows = "10.0.19045";
    facts.bits = 32;
    facts.qpcHz = 10000000;
    facts.program = {"C:\\Sorvik \"x\"\\SorvikFpgaUpdate.exe", true, 1130496, "ab12", ""};
    facts.maker = {"C:\\Sorvik\\SiUSBXp-maker.dll", false, 0, "", "not found"};
    f.recorder.Start(facts);
    facts.maker = {"C:\\Sorvik\\SiUSBXp-maker.dll", true, 123456, "cd34",
                   "wrong architecture: a 64-bit library for a 32-bit program"};
    f.recorder.Start(facts);
    const std::string head =
        "{\"op\":\"start\",\"format\":1,\"utc\":\"2026-12-11T10:04:05.123Z\",\"windows\":\"10.0.19045\",\"bits\":32,"
        "\"qpc_hz\":10000000,\"program\":{\"path\":\"C:\\\\Sorvik \\\"x\\\"\\\\SorvikFpgaUpdate.exe\",\"size\":1130496,"
        "\"sha256\":\"ab12\"},";
    EXPECT_EQ(f.Drained(),
              head + "\"maker\":{\"path\":\"C:\\\\Sorvik\\\\SiUSBXp-maker.dll\",\"error\":\"not found\"}}\n" + head +
                  "\"maker\":{\"path\":\"C:\\\\Sorvik\\\\SiUSBXp-maker.dll\",\"size\":123456,\"sha256\":\"cd34\","
                  "\"error\":\"wrong architecture: a 64-bit library for a 32-bit program\"}}\n");
}

TEST(TraceRecord, ControlCharactersInPathsAreEscaped) {
    trace::Line line;
    line.JsonString(std::string("a\x01\nb", 4));
    EXPECT_EQ(std::string(line.Data(), line.Size()), "\"a\\u0001\\u000Ab\"");
}

// A run of checks with one outcome is one record; a new outcome, another
// thread, another call or a flush ends it.
TEST(TraceRecord, ChecksWithTheSameOutcomeJoin) {
    Fixture f;
    EXPECT_TRUE(f.recorder.Check(At(100, 2), 0x10, Given(0), Given(0)));
    EXPECT_FALSE(f.recorder.Check(At(103, 1), 0x10, Given(0), Given(0)));
    f.recorder.Check(At(105, 4), 0x10, Given(0), Given(0));
    EXPECT_TRUE(f.recorder.Check(At(110, 1), 0x10, Given(1), Given(0)));  // bytes came
    f.recorder.Check(At(111, 1, 0, 8), 0x10, Given(1), Given(0));  // another thread
    f.recorder.Check(At(112, 1, 3), 0x10, Given(1), Given(0));     // another status
    f.recorder.Check(At(113, 1, 3), 0x10, Given(1), Null());       // a null out-argument
    f.recorder.Check(At(114, 1, 3), 0x11, Given(1), Null());       // another handle
    f.recorder.Close(At(120), 0x10);
    f.recorder.Check(At(130), 0x10, Given(0), Given(2));
    f.recorder.Check(At(131), 0x10, Given(0), Given(2));
    EXPECT_EQ(f.Drained(),
              "{\"op\":\"check\",\"t\":100,\"dur\":7,\"th\":7,\"st\":0,\"handle\":\"0x10\",\"waiting\":0,\"qstat\":0,\"n\":3,\"last\":105}\n"
              "{\"op\":\"check\",\"t\":110,\"dur\":1,\"th\":7,\"st\":0,\"handle\":\"0x10\",\"waiting\":1,\"qstat\":0,\"n\":1,\"last\":110}\n"
              "{\"op\":\"check\",\"t\":111,\"dur\":1,\"th\":8,\"st\":0,\"handle\":\"0x10\",\"waiting\":1,\"qstat\":0,\"n\":1,\"last\":111}\n"
              "{\"op\":\"check\",\"t\":112,\"dur\":1,\"th\":7,\"st\":3,\"handle\":\"0x10\",\"waiting\":1,\"qstat\":0,\"n\":1,\"last\":112}\n"
              "{\"op\":\"check\",\"t\":113,\"dur\":1,\"th\":7,\"st\":3,\"handle\":\"0x10\",\"waiting\":1,\"qstat\":null,\"n\":1,\"last\":113}\n"
              "{\"op\":\"check\",\"t\":114,\"dur\":1,\"th\":7,\"st\":3,\"handle\":\"0x11\",\"waiting\":1,\"qstat\":null,\"n\":1,\"last\":114}\n"
              "{\"op\":\"close\",\"t\":120,\"dur\":3,\"th\":7,\"st\":0,\"handle\":\"0x10\"}\n"
              "{\"op\":\"check\",\"t\":130,\"dur\":6,\"th\":7,\"st\":0,\"handle\":\"0x10\",\"waiting\":0,\"qstat\":2,\"n\":2,\"last\":131}\n");
    f.recorder.Check(At(140), 0x10, Given(0), Given(2));
    EXPECT_EQ(f.Drained(),
              "{\"op\":\"check\",\"t\":140,\"dur\":3,\"th\":7,\"st\":0,\"handle\":\"0x10\",\"waiting\":0,\"qstat\":2,\"n\":1,\"last\":140}\n")
        << "a flush ends the run: the next check starts a new record";
}

TEST(TraceRecord, EndCountsEveryCall) {
    Fixture f;
    f.recorder.Count(At(1), Given(0));
    for (int i = 0; i < 5; ++i) f.recorder.Check(At(10 + i, 1), 0x10, Given(0), Given(0));
    f.recorder.Drain();
    trace::Line end;
    f.recorder.Finish(99, end);
    EXPECT_EQ(f.Taken() + std::string(end.Data(), end.Size()),
              "{\"op\":\"count\",\"t\":1,\"dur\":3,\"th\":7,\"st\":0,\"count\":0}\n"
              "{\"op\":\"check\",\"t\":10,\"dur\":5,\"th\":7,\"st\":0,\"handle\":\"0x10\",\"waiting\":0,\"qstat\":0,\"n\":5,\"last\":14}\n"
              "{\"op\":\"end\",\"t\":99,\"calls\":6}\n");
}

// A transfer's record holds its first 4096 bytes and says when there were
// more; the recorder reads no byte past them, whatever size the call names.
TEST(TraceRecord, TransfersAreCutAt4096Bytes) {
    std::vector<unsigned char> bytes(4097, 0x5A);
    std::string hex4096;
    for (int i = 0; i < 4096; ++i) hex4096 += "5A";
    struct Case {
        const char* name;
        bool write;
        uint32_t size;  // len, or ask
        uint64_t got;
        bool cut;
    };
    const Case cases[] = {
        {"write of 4096", true, 4096, 0, false},
        {"write of 4097", true, 4097, 0, true},
        {"read of 4096 of 5000 asked", false, 5000, 4096, false},
        {"read of 4097", false, 4097, 4097, true},
        {"read of 512 MiB", false, 512u << 20, 512u << 20, true},
        {"read that claims more than it asked", false, 4097, 1u << 30, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        if (c.write)
            f.recorder.Write(At(1), 0x10, bytes.data(), c.size, Given(c.size), Null());
        else
            f.recorder.Read(At(1), 0x10, bytes.data(), c.size, Given(c.got), Null());
        std::string line = f.Drained();
        EXPECT_NE(line.find("\"hex\":\"" + hex4096 + (c.cut ? "\",\"cut\":true," : "\",")), std::string::npos)
            << line.substr(0, 120);
    }
}

// Lines go to the spool whole; one that finds no room is dropped, and the
// next that finds room says how many went before it.
TEST(TraceRecord, ALineWithoutRoomIsDroppedAndCounted) {
    const std::string count = "{\"op\":\"count\",\"t\":1,\"dur\":3,\"th\":7,\"st\":0,\"count\":1}\n";
    Fixture f(2 * count.size() + 20);
    for (int i = 0; i < 5; ++i) f.recorder.Count(At(1), Given(1));
    EXPECT_EQ(f.recorder.Dropped(), 3u);
    std::string first = f.Taken();
    f.recorder.Count(At(1), Given(1));
    f.recorder.Count(At(1), Given(1));
    EXPECT_EQ(first + f.Taken(), count + count +
                                     "{\"op\":\"count\",\"t\":1,\"dur\":3,\"th\":7,\"st\":0,\"count\":1,\"dropped\":3}\n" +
                                     count);
    trace::Line end;
    f.recorder.Finish(9, end);
    EXPECT_EQ(std::string(end.Data(), end.Size()), "{\"op\":\"end\",\"t\":9,\"calls\":7,\"dropped\":3}\n");
}

}  // namespace

// The maker's library's architecture from its header, and the texts of the
// first record and of the file name.
#include <gtest/gtest.h>

#include <algorithm>
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

TEST(TraceStartFacts, TheProfileFolderIsHidden) {
    const std::string profile = "C:\\Users\\Jörg Meier";
    struct Case {
        const char* path;
        const char* shown;
    };
    const Case cases[] = {
        {"C:\\Users\\Jörg Meier\\Desktop\\Sorvik\\SiUSBXp-maker.dll", "%USERPROFILE%\\Desktop\\Sorvik\\SiUSBXp-maker.dll"},
        {"c:\\users\\JöRG MEIER\\x.exe", "%USERPROFILE%\\x.exe"},  // ASCII letters in either case
        {"C:\\Users\\Jörg Meier", "%USERPROFILE%"},
        {"C:\\Users\\Jörg Meier2\\x.exe", "C:\\Users\\Jörg Meier2\\x.exe"},  // another account
        {"C:\\Users\\Jörg\\x.exe", "C:\\Users\\Jörg\\x.exe"},
        {"D:\\C:\\Users\\Jörg Meier\\x.exe", "D:\\C:\\Users\\Jörg Meier\\x.exe"},  // only at the start
        {"C:\\Sorvik\\x.exe", "C:\\Sorvik\\x.exe"},
    };
    for (const Case& c : cases) EXPECT_EQ(trace::HideProfile(c.path, profile), c.shown) << c.path;
    EXPECT_EQ(trace::HideProfile("C:\\Users\\Ann\\x.exe", "C:\\Users\\Ann\\"), "%USERPROFILE%\\x.exe");
    EXPECT_EQ(trace::HideProfile("C:\\x.exe", ""), "C:\\x.exe") << "no profile folder known";
}

TEST(TraceStartFacts, OnlyAbsolutePathsAreTakenForOurFolder) {
    struct Case {
        const wchar_t* path;
        bool absolute;
    };
    const Case cases[] = {
        {L"C:\\Sorvik\\", true},          {L"c:/Sorvik/", true},   {L"\\\\server\\share\\", true},
        {L"\\\\?\\C:\\Sorvik\\", true},   {L"", false},            {L"Sorvik\\", false},
        {L"C:Sorvik\\", false},           {L"\\Sorvik\\", false},  {L"1:\\Sorvik\\", false},
    };
    for (const Case& c : cases) EXPECT_EQ(trace::IsAbsolutePath(c.path), c.absolute) << c.absolute;
}

// The trace library's mark, wherever the pieces of a file read cut it.
TEST(TraceStartFacts, TheMarkIsFoundAcrossPieces) {
    const std::string mark = "#trace-library-of-the-SORVIK-update:5b1e07c94d2a";
    struct Case {
        const char* name;
        std::string bytes;
        bool found;
    };
    const std::string noise(300, '\0');
    const Case cases[] = {
        {"in the middle", noise + mark + noise, true},
        {"at the end", noise + mark, true},
        {"after a false start", noise + mark.substr(0, 20) + mark + noise, true},
        {"after a false start on the mark's first byte", "##" + mark.substr(0, 9) + mark, true},
        {"all but its last byte", noise + mark.substr(0, mark.size() - 1) + noise, false},
        {"one byte differs", noise + mark.substr(0, 30) + "X" + mark.substr(31), false},
        {"none", noise, false},
    };
    for (const Case& c : cases) {
        for (size_t piece : {size_t{1}, size_t{7}, size_t{64}, c.bytes.size()}) {
            trace::MarkFinder finder;
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(c.bytes.data());
            for (size_t at = 0; at < c.bytes.size(); at += piece)
                finder.Feed(bytes + at, std::min(piece, c.bytes.size() - at));
            EXPECT_EQ(finder.Found(), c.found) << c.name << ", pieces of " << piece;
        }
    }
}

}  // namespace

// Writes what the tests expect as JSON, for the end-to-end suite's model:
//   export_expected table
//     the texts, boxes, file names, regions and pauses it compares with;
//   export_expected record DIR [--fault KIND:N:FAULT]... [--devices LIST]
//                   [--open ok|fails] [--round-trip-ms N] [--erase-ms N]
//                   [--program-ms N]
//     the ordered record of an update of the image files in DIR (by their
//     fixed names) on a unit with those faults and serials, whose bridge
//     opens or not once found, its exit code, and its lower time bound at
//     that timing.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/lower_bound.h"
#include "tests/support/stream.h"

namespace ex = expected;

namespace {

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20) {  // a line feed, as JSON writes it
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
            continue;
        }
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}
std::string Quoted(const std::wstring& text) { return Quoted(ex::Narrow(text)); }

std::string Hex(const std::vector<BYTE>& bytes) {
    std::string out;
    char two[3];
    for (BYTE b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

std::string BoxJson(const ex::Box& box) {
    return "[" + Quoted(box.text) + ", " + Quoted(box.caption) + ", " + std::to_string(box.type) + "]";
}

template <typename T, typename F>
std::string List(const T& items, F each) {
    std::string out = "[";
    for (const auto& item : items) out += (out.size() > 1 ? ", " : "") + each(item);
    return out + "]";
}

void Table() {
    std::ostringstream out;
    out << "{\"main\": " << Quoted(ex::MainImage) << ",\n";
    out << " \"parts\": " << List(ex::OsdParts, [](const std::wstring& n) { return Quoted(n); }) << ",\n";
    out << " \"intro\": " << List(ex::Intro, [](const ex::Line& l) {
        return "[" + std::to_string(l.y) + ", " + Quoted(l.text) + "]";
    }) << ",\n";
    out << " \"updating\": " << Quoted(ex::Updating) << ",\n";
    out << " \"progress_lead\": " << Quoted(ex::ProgressLead) << ",\n";  // what every progress text begins with
    out << " \"writing_part\": " << List(ex::WritingPart, [](const std::wstring& t) { return Quoted(t); }) << ",\n";
    out << " \"fatal_texts\": {";
    for (int code = 1; code <= 8; ++code)
        out << (code > 1 ? ", " : "") << "\"" << code << "\": " << Quoted(ex::FatalTexts[code]);
    out << "},\n";
    out << " \"box_ok\": " << BoxJson(ex::UpdateOkBox) << ",\n";
    out << " \"box_fatal\": " << BoxJson(ex::FatalBox) << ",\n";
    // The boxes about a file, with %s where its name goes.
    out << " \"box_missing\": " << BoxJson(ex::FileMissingBox(L"%s")) << ",\n";
    out << " \"box_too_large\": " << BoxJson(ex::FileTooLargeBox(L"%s")) << ",\n";
    out << " \"box_wrong_id\": " << BoxJson(ex::WrongIdBox(L"%s")) << ",\n";
    out << " \"box_not_connected\": " << BoxJson(ex::NotConnectedBox) << ",\n";
    out << " \"box_open_failed\": " << BoxJson(ex::OpenFailedBox) << ",\n";
    out << " \"wrong_id\": " << Quoted(ex::WrongId.substr(0, ex::WrongId.size() - 1)) << ",\n";
    out << " \"open_ordinal\": " << ex::OpenOrdinal << ",\n";
    out << " \"fatal_image\": " << ex::FatalImage << ",\n";
    out << " \"regions\": {";
    for (const ex::Region& r : ex::Regions)
        out << (&r != ex::Regions ? ", " : "") << Quoted(r.id) << ": [" << r.base << ", " << int(r.firstSector)
            << ", " << int(r.sectorCount) << "]";
    out << "},\n";
    out << " \"osd_id\": " << Quoted(ex::OsdId) << ",\n";
    out << " \"sector_bytes\": " << ex::SectorBytes << ",\n";
    out << " \"flash_bytes\": " << ex::FlashBytes << ",\n";
    out << " \"write_mode\": " << int(ex::Write) << ",\n";
    out << " \"pause_ms\": " << ex::PauseMs << "}\n";
    std::fputs(out.str().c_str(), stdout);
}

std::string StepJson(const ex::Step& s) {
    using T = ex::Step::Type;
    switch (s.type) {
    case T::Draw:
        return "[\"draw\", " + std::to_string(s.y) + ", " + Quoted(s.text) + "]";
    case T::Box:
        return "[\"box\", " + BoxJson(s.box) + "]";
    case T::Sleep:
        return "[\"sleep\", " + std::to_string(s.ms) + "]";
    case T::Close:
        return "[\"close\"]";
    case T::Destroy:
        return "[\"destroy\"]";
    case T::Exit:
        return "[\"exit\", " + std::to_string(s.status) + "]";
    case T::Written:
        return "[\"written\", " + Quoted(s.text) + "]";
    case T::Output:
        return "[\"output\", " + Quoted(s.text) + "]";
    case T::Frame:
        break;
    }
    std::string info = "{\"code\": " + std::to_string(s.code);
    if (s.kind == ex::kind::Erase) info += ", \"sector\": " + std::to_string(s.sector);
    if (s.kind == ex::kind::Program)
        info += ", \"address\": " + std::to_string(s.address) + ", \"data\": \"" + Hex(s.data) + "\"";
    return "[\"frame\", " + Quoted(s.kind) + ", " + Quoted(s.fault) + ", " + info + "}]";
}

bool ReadFile(const std::string& path, std::vector<BYTE>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

int Usage() {
    std::fputs("usage: export_expected table | record DIR [--fault KIND:N:FAULT]... [--devices LIST] "
               "[--open ok|fails] [--round-trip-ms N] [--erase-ms N] [--program-ms N]\n", stderr);
    return 2;
}

int Record(int argc, char** argv) {
    ex::Stream stream;
    ex::Timing timing;
    for (int i = 3; i < argc; i += 2) {
        if (i + 1 >= argc) return Usage();
        const std::string option = argv[i], value = argv[i + 1];
        ex::FrameFault fault;
        if (option == "--fault" && ex::ParseFault(value, fault)) {
            stream.faults.push_back(fault);
        } else if (option == "--open" && (value == "ok" || value == "fails")) {
            stream.opens = value == "ok";
        } else if (option == "--devices") {
            stream.connected = ("," + value + ",").find("," + ex::Serial + ",") != std::string::npos;
        } else if (option == "--round-trip-ms") {
            timing.roundTripMs = std::atof(value.c_str());
        } else if (option == "--erase-ms") {
            timing.eraseMs = std::atof(value.c_str());
        } else if (option == "--program-ms") {
            timing.programMs = std::atof(value.c_str());
        } else {
            return Usage();
        }
    }
    ex::Files files;
    std::vector<std::wstring> names = {ex::MainImage};
    names.insert(names.end(), std::begin(ex::OsdParts), std::end(ex::OsdParts));
    for (const std::wstring& name : names) {
        std::vector<BYTE> bytes;
        if (ReadFile(std::string(argv[2]) + "/" + ex::Narrow(name), bytes)) files[name] = bytes;
    }
    stream.Update(files);
    const ex::LowerBound bound = ex::LowerBoundOf(stream.steps, timing);
    std::string out = "{\"exit_code\": " + (stream.exitCode ? std::to_string(*stream.exitCode) : "null") + ",\n";
    out += " \"bound\": {\"ms\": " + std::to_string(bound.ms) + ", \"commands\": " + std::to_string(bound.commands) +
           ", \"pauses\": " + std::to_string(bound.pauses) + ", \"erase_runs\": " + std::to_string(bound.eraseRuns) +
           ", \"sectors\": " + std::to_string(bound.sectors) + ", \"programs\": " + std::to_string(bound.programs) +
           "},\n \"record\": [\n";
    for (std::size_t i = 0; i < stream.steps.size(); ++i)
        out += (i ? ",\n" : "") + StepJson(stream.steps[i]);
    out += "]}\n";
    return std::fputs(out.c_str(), stdout) < 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "table" && argc == 2) {
        Table();
        return 0;
    }
    if (command == "record" && argc >= 3) return Record(argc, argv);
    return Usage();
}

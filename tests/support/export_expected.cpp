// Writes what the tests expect as JSON, for the end-to-end suite's model:
//   export_expected table
//     the window, texts, boxes, file names, regions and pauses it compares with;
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
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/lower_bound.h"
#include "tests/support/stream.h"

namespace ex = expected;
using Json = nlohmann::ordered_json;

namespace {

std::string Hex(const std::vector<BYTE>& bytes) {
    std::string out;
    char two[3];
    for (BYTE b : bytes) {
        std::snprintf(two, sizeof two, "%02x", b);
        out += two;
    }
    return out;
}

Json BoxJson(const ex::Box& box) { return Json::array({ex::Narrow(box.text), ex::Narrow(box.caption), box.type}); }

template <typename T>
Json Texts(const T& texts) {
    Json out = Json::array();
    for (const std::wstring& text : texts) out.push_back(ex::Narrow(text));
    return out;
}

int Print(const Json& json) { return std::puts(json.dump(1).c_str()) < 0 ? 1 : 0; }

int Table() {
    Json t;
    t["window"] = {{"title", ex::Narrow(ex::WindowTitle)}, {"class", ex::Narrow(ex::WindowClass)},
                   {"size", {ex::WindowWidth, ex::WindowHeight}}, {"about", Texts(ex::AboutTexts)}};
    t["main"] = ex::Narrow(ex::MainImage);
    t["parts"] = Texts(ex::OsdParts);
    t["intro"] = Json::array();
    for (const ex::Line& line : ex::Intro) t["intro"].push_back({line.y, ex::Narrow(line.text)});
    t["updating"] = ex::Narrow(ex::Updating);
    t["progress_lead"] = ex::Narrow(ex::ProgressLead);  // what every progress text begins with
    t["writing_part"] = Texts(ex::WritingPart);
    for (int code = 1; code <= 8; ++code) t["fatal_texts"][std::to_string(code)] = ex::Narrow(ex::FatalTexts[code]);
    // Every box whose text is fixed, by name.
    const std::pair<const char*, const ex::Box&> boxes[] = {
        {"serial_string", ex::SerialStringBox},   {"not_connected", ex::NotConnectedBox},
        {"open_failed", ex::OpenFailedBox},       {"close_failed", ex::CloseFailedBox},
        {"send_failed", ex::SendFailedBox},       {"queue_failed", ex::QueueFailedBox},
        {"read_failed", ex::ReadFailedBox},       {"mode_failed", ex::ModeFailedBox},
        {"speed_failed", ex::SpeedFailedBox},     {"write_enable_failed", ex::WriteEnableFailedBox},
        {"sector_erase_failed", ex::SectorEraseFailedBox}, {"flash_write_failed", ex::FlashWriteFailedBox},
        {"fatal", ex::FatalBox},                  {"update_ok", ex::UpdateOkBox}};
    for (const auto& [name, box] : boxes) t["boxes"][name] = BoxJson(box);
    t["fatal_codes"] = {{"speed", ex::FatalSpeed}, {"mode", ex::FatalMode}, {"erase", ex::FatalErase},
                        {"image", ex::FatalImage}};
    t["serial"] = ex::Serial;
    t["box_ok"] = BoxJson(ex::UpdateOkBox);
    t["box_fatal"] = BoxJson(ex::FatalBox);
    // The boxes about a file, with %s where its name goes.
    t["box_missing"] = BoxJson(ex::FileMissingBox(L"%s"));
    t["box_too_large"] = BoxJson(ex::FileTooLargeBox(L"%s"));
    t["box_wrong_id"] = BoxJson(ex::WrongIdBox(L"%s"));
    t["box_not_connected"] = BoxJson(ex::NotConnectedBox);
    t["box_open_failed"] = BoxJson(ex::OpenFailedBox);
    t["wrong_id"] = ex::WrongId.substr(0, ex::WrongId.size() - 1);
    t["open_ordinal"] = ex::OpenOrdinal;
    t["fatal_image"] = ex::FatalImage;
    for (const ex::Region& r : ex::Regions) t["regions"][r.id] = {r.base, r.firstSector, r.sectorCount};
    t["osd_id"] = ex::OsdId;
    t["sector_bytes"] = ex::SectorBytes;
    t["flash_bytes"] = ex::FlashBytes;
    t["write_mode"] = ex::Write;
    t["pause_ms"] = ex::PauseMs;
    t["trace_itself_error"] = ex::TraceItselfError;
    t["trace_no_library_status"] = ex::TraceNoLibraryStatus;
    return Print(t);
}

Json StepJson(const ex::Step& s) {
    using T = ex::Step::Type;
    switch (s.type) {
    case T::Draw:
        return {"draw", s.y, ex::Narrow(s.text)};
    case T::Box:
        return {"box", BoxJson(s.box)};
    case T::Sleep:
        return {"sleep", s.ms};
    case T::Close:
        return Json::array({"close"});
    case T::Destroy:
        return Json::array({"destroy"});
    case T::Exit:
        return {"exit", s.status};
    case T::Written:
        return {"written", ex::Narrow(s.text)};
    case T::Output:
        return {"output", ex::Narrow(s.text)};
    case T::Frame:
        break;
    }
    Json info = {{"code", s.code}};
    if (s.kind == ex::kind::Erase) info["sector"] = s.sector;
    if (s.kind == ex::kind::Program) {
        info["address"] = s.address;
        info["data"] = Hex(s.data);
    }
    return {"frame", s.kind, s.fault, info};
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
    Json out;
    out["exit_code"] = stream.exitCode ? Json(*stream.exitCode) : Json(nullptr);
    out["bound"] = {{"ms", bound.ms},           {"commands", bound.commands},   {"pauses", bound.pauses},
                    {"erase_runs", bound.eraseRuns}, {"sectors", bound.sectors}, {"programs", bound.programs}};
    out["record"] = Json::array();
    for (const ex::Step& step : stream.steps) out["record"].push_back(StepJson(step));
    return Print(out);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "table" && argc == 2) return Table();
    if (command == "record" && argc >= 3) return Record(argc, argv);
    return Usage();
}

// Writes sample image files into a folder: the main image and the four OSD
// parts, with deterministic pseudo-random payloads.
//   make_images <folder> [--main-id 1A70] [--main-size N] [--part-size N]
//               [--part-ids 1A60,1A65,1A60,1A65] [--seed N]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim/sample_images.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: make_images <folder> [--main-id ID] [--main-size N] "
                             "[--part-size N] [--part-ids A,B,C,D] [--seed N]\n");
        return 2;
    }
    std::string folder = argv[1];
    std::string mainId = "1A70";
    std::size_t mainSize = 896 * 1024;
    std::size_t partSize = 64 * 1024;
    std::vector<std::string> partIds = {"1A60", "1A65", "1A60", "1A65"};
    std::uint32_t seed = 1;
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string option = argv[i];
        std::string value = argv[i + 1];
        if (option == "--main-id") {
            mainId = value;
        } else if (option == "--main-size") {
            mainSize = std::strtoul(value.c_str(), nullptr, 0);
        } else if (option == "--part-size") {
            partSize = std::strtoul(value.c_str(), nullptr, 0);
        } else if (option == "--seed") {
            seed = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 0));
        } else if (option == "--part-ids") {
            partIds.clear();
            for (std::size_t start = 0; start <= value.size();) {
                std::size_t comma = value.find(',', start);
                if (comma == std::string::npos) comma = value.size();
                partIds.push_back(value.substr(start, comma - start));
                start = comma + 1;
            }
        } else {
            std::fprintf(stderr, "make_images: unknown option %s\n", option.c_str());
            return 2;
        }
    }
    if (partIds.size() != 4) {
        std::fprintf(stderr, "make_images: --part-ids needs four identifiers\n");
        return 2;
    }
    struct File {
        std::string name;
        std::string id;
        std::size_t size;
    };
    std::vector<File> files = {{"SORVIK-FPGA-1.45-1013.bin", mainId, mainSize}};
    for (int part = 0; part < 4; ++part)
        files.push_back({"SORVIK.0.1.OSD.0" + std::to_string(part + 1) + ".bin", partIds[part], partSize});
    for (std::size_t i = 0; i < files.size(); ++i) {
        const File& f = files[i];
        auto bytes = sim::ImageBytes(f.id, sim::SamplePayload(seed + static_cast<std::uint32_t>(i), f.size));
        if (!sim::WriteFileBytes(folder + "/" + f.name, bytes)) {
            std::fprintf(stderr, "make_images: cannot write %s/%s\n", folder.c_str(), f.name.c_str());
            return 1;
        }
        std::printf("%s  %s  %zu payload bytes\n", f.name.c_str(), f.id.c_str(), f.size);
    }
    return 0;
}

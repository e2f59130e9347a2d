#include "sim/sample_images.h"

#include <fstream>
#include <iterator>

namespace sim {

std::vector<unsigned char> SamplePayload(std::uint32_t seed, std::size_t size) {
    std::vector<unsigned char> payload(size);
    std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
    for (unsigned char& byte : payload) {
        state ^= state << 13;  // xorshift32
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<unsigned char>(state >> 24);
    }
    return payload;
}

std::vector<unsigned char> ImageBytes(const std::string& id, const std::vector<unsigned char>& payload) {
    std::vector<unsigned char> bytes(id.begin(), id.end());
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(file);
}

std::vector<unsigned char> ReadFileBytes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

}  // namespace sim

// Sample image files: a four-character identifier and a deterministic
// pseudo-random payload, so the utility can be tried without real images.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

std::vector<unsigned char> SamplePayload(std::uint32_t seed, std::size_t size);
// The file's bytes: the identifier, then the payload.
std::vector<unsigned char> ImageBytes(const std::string& id, const std::vector<unsigned char>& payload);
bool WriteFileBytes(const std::string& path, const std::vector<unsigned char>& bytes);
std::vector<unsigned char> ReadFileBytes(const std::string& path);

}  // namespace sim

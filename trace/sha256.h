// SHA-256 of the program and the maker's library, so support can tell which
// builds a trace came from. Our own small implementation (FIPS 180-4).
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace trace {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, size_t size);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string HexDigest();

private:
    void Block(const uint8_t* block);

    uint32_t state_[8];
    uint8_t pending_[64];
    size_t pendingSize_ = 0;
    uint64_t totalBytes_ = 0;
};

}  // namespace trace

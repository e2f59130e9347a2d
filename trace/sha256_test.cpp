// SHA-256 against the standard's own test vectors (FIPS 180-4 examples and
// the NIST byte-oriented vectors).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "trace/sha256.h"

namespace {

std::string Digest(const std::string& message, size_t piece) {
    trace::Sha256 hash;
    for (size_t at = 0; at < message.size(); at += piece) hash.Update(message.data() + at, std::min(piece, message.size() - at));
    return hash.HexDigest();
}

struct Vector {
    std::string message;
    const char* digest;
};

TEST(Sha256, StandardVectorsWholeAndInPieces) {
    const Vector vectors[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const Vector& v : vectors) {
        for (size_t piece : {size_t(1), size_t(63), size_t(64), size_t(1000001)}) {
            if (piece == 1 && v.message.size() > 1000) continue;
            EXPECT_EQ(Digest(v.message, piece), v.digest) << v.message.size() << " bytes in pieces of " << piece;
        }
    }
}

// Lengths round the padding's boundary: 55 bytes fit one block, 56 need two.
TEST(Sha256, PaddingBoundaries) {
    EXPECT_EQ(Digest(std::string(55, 'a'), 55), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318");
    EXPECT_EQ(Digest(std::string(56, 'a'), 56), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a");
    EXPECT_EQ(Digest(std::string(64, 'a'), 64), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

}  // namespace

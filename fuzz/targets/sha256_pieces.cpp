// The stream-and-pieces digest against OpenSSL's one-shot digests, for both
// engines (the x86 kernels where the processor has them). Input: one byte
// choosing the piece size (64 to 2048 bytes), one byte seeding the sizes of
// the update calls, then the stream.
#include <openssl/evp.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/sha256.hpp"

using namespace tarvik;

namespace {

std::string one_shot(const uint8_t* data, size_t size) {
    unsigned char md[32];
    unsigned int n = 0;
    if (EVP_Digest(data, size, md, &n, EVP_sha256(), nullptr) != 1) std::abort();
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < n; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

void require(bool ok, const char* engine, const char* what, size_t piece_size, size_t size) {
    if (ok) return;
    std::fprintf(stderr, "[sha256_pieces] %s engine: %s differs (piece size %zu, stream of %zu bytes)\n", engine,
                 what, piece_size, size);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const size_t piece_size = 64 * (1 + data[0] % 32);
    uint32_t split = data[1] * 2654435761u + 1;
    data += 2;
    size -= 2;
    std::vector<std::string> expected;
    for (size_t at = 0; at < size; at += piece_size)
        expected.push_back(one_shot(data + at, std::min(piece_size, size - at)));
    const std::string whole = one_shot(data, size);
    for (auto engine : {Sha256WithPieces::Engine::fastest, Sha256WithPieces::Engine::openssl}) {
        const char* name = engine == Sha256WithPieces::Engine::fastest ? "fastest" : "openssl";
        Sha256WithPieces h(piece_size, engine);
        // Twice over the same object: finish() starts a new stream.
        for (int round = 0; round < 2; ++round) {
            for (size_t at = 0; at < size;) {
                split = split * 1103515245u + 12345u;
                const size_t n = std::min<size_t>(size - at, (split >> 16) % (2 * piece_size + 70));
                h.update(data + at, n);
                at += n;
            }
            std::vector<std::string> pieces;
            require(h.finish(pieces) == whole, name, "stream digest", piece_size, size);
            require(pieces == expected, name, "piece digests", piece_size, size);
        }
    }
    return 0;
}

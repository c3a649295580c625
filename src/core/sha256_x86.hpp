// SHA-256 compression with the x86 SHA instructions, for one chain or for two
// chains fed the same bytes. The rounds of one chain wait on each other (each
// instruction needs the last one's result), so a second chain interleaved
// with the first runs in the gaps: two digests of the same data cost about
// what one does, and the message schedule is computed once for both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarvik {

// The processor has the SHA, SSSE3 and SSE4.1 instructions the kernels use
// (false on other architectures and compilers).
bool sha256_x86_available();

// Compresses blocks 64-byte blocks of data into state (eight words, the
// standard order). Only when sha256_x86_available().
void sha256_x86_blocks(std::uint32_t state[8], const unsigned char* data, size_t blocks);

// The same blocks compressed into two states at once.
void sha256_x86_blocks_twice(std::uint32_t first[8], std::uint32_t second[8], const unsigned char* data,
                             size_t blocks);

}  // namespace tarvik

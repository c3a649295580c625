#include "core/sha256_x86.hpp"

#include <cstdlib>

#if (defined(__x86_64__) || defined(__i386__)) && (defined(__GNUC__) || defined(__clang__))
#define TARVIK_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace tarvik {

#ifdef TARVIK_SHA256_X86

namespace {

#define SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))

alignas(16) const std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// A state as the instructions hold it: words A, B, E, F in one register and
// C, D, G, H in the other.
struct Lanes {
    __m128i abef, cdgh;
};

SHA_TARGET inline Lanes load_state(const std::uint32_t* state) {
    __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);  // CDAB
    __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    return {_mm_alignr_epi8(dcba, efgh, 8), _mm_blend_epi16(efgh, dcba, 0xF0)};
}

SHA_TARGET inline void store_state(const Lanes& l, std::uint32_t* state) {
    __m128i feba = _mm_shuffle_epi32(l.abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(l.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

// Four rounds with message words 4i..4i+3.
SHA_TARGET inline void four_rounds(Lanes& l, __m128i words, int i) {
    const __m128i msg = _mm_add_epi32(words, _mm_load_si128(reinterpret_cast<const __m128i*>(kRound + 4 * i)));
    l.cdgh = _mm_sha256rnds2_epu32(l.cdgh, l.abef, msg);
    l.abef = _mm_sha256rnds2_epu32(l.abef, l.cdgh, _mm_shuffle_epi32(msg, 0x0E));
}

// Compresses the blocks into N states; the schedule of each block is shared.
template <int N>
SHA_TARGET void compress(std::uint32_t* const* states, const unsigned char* data, size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    Lanes lanes[N];
    for (int j = 0; j < N; ++j) lanes[j] = load_state(states[j]);
    for (; blocks; --blocks, data += 64) {
        Lanes before[N];
        for (int j = 0; j < N; ++j) before[j] = lanes[j];
        __m128i w[4];  // the last sixteen message words, four per register
        for (int i = 0; i < 4; ++i)
            w[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            if (i >= 4) {
                const __m128i mixed = _mm_add_epi32(_mm_sha256msg1_epu32(w[i & 3], w[(i + 1) & 3]),
                                                    _mm_alignr_epi8(w[(i + 3) & 3], w[(i + 2) & 3], 4));
                w[i & 3] = _mm_sha256msg2_epu32(mixed, w[(i + 3) & 3]);
            }
            for (int j = 0; j < N; ++j) four_rounds(lanes[j], w[i & 3], i);
        }
        for (int j = 0; j < N; ++j) {
            lanes[j].abef = _mm_add_epi32(lanes[j].abef, before[j].abef);
            lanes[j].cdgh = _mm_add_epi32(lanes[j].cdgh, before[j].cdgh);
        }
    }
    for (int j = 0; j < N; ++j) store_state(lanes[j], states[j]);
}

bool detect() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    if (!__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    const bool sha = b & (1u << 29);
    return ssse3 && sse41 && sha;
}

}  // namespace

bool sha256_x86_available() {
    static const bool available = detect();
    return available;
}

void sha256_x86_blocks(std::uint32_t state[8], const unsigned char* data, size_t blocks) {
    std::uint32_t* states[1] = {state};
    compress<1>(states, data, blocks);
}

void sha256_x86_blocks_twice(std::uint32_t first[8], std::uint32_t second[8], const unsigned char* data,
                             size_t blocks) {
    std::uint32_t* states[2] = {first, second};
    compress<2>(states, data, blocks);
}

#else

bool sha256_x86_available() { return false; }
void sha256_x86_blocks(std::uint32_t*, const unsigned char*, size_t) { std::abort(); }
void sha256_x86_blocks_twice(std::uint32_t*, std::uint32_t*, const unsigned char*, size_t) { std::abort(); }

#endif

}  // namespace tarvik

#include "stn_sha256.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define STN_SHA_NI 1
#endif


namespace {

const std::uint32_t kK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

std::uint32_t rotr(std::uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void compress_one(std::uint32_t h[8], const std::uint8_t block[64]) {
    std::uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
        w[i] = static_cast<std::uint32_t>(block[4 * i]) << 24 |
               static_cast<std::uint32_t>(block[4 * i + 1]) << 16 |
               static_cast<std::uint32_t>(block[4 * i + 2]) << 8 | block[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
        const std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        const std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; ++i) {
        const std::uint32_t t1 =
            k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[i] + w[i];
        const std::uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a; h[1] += b; h[2] += c; h[3] += d;
    h[4] += e; h[5] += f; h[6] += g; h[7] += k;
}

void compress_portable(std::uint32_t h[8], const std::uint8_t *blocks, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) compress_one(h, blocks + 64 * i);
}

#ifdef STN_SHA_NI
// The same with the CPU's SHA extensions: a report's chain hashes every
// line, and this is several times faster. Four rounds a step; the message
// words of step g come from the four steps before it (m[] holds them in turn).
__attribute__((target("sha,sse4.1"))) void compress_ni(std::uint32_t h[8],
                                                       const std::uint8_t *blocks,
                                                       std::size_t n) {
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&h[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&h[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);           // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);     // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);  // CDGH
    for (std::size_t b = 0; b < n; ++b) {
        const std::uint8_t *block = blocks + 64 * b;
        const __m128i abef = state0, cdgh = state1;
        __m128i m[4];
        for (int g = 0; g < 16; ++g) {
            if (g < 4) {
                m[g] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * g)), swap);
            } else {
                __m128i w = _mm_sha256msg1_epu32(m[g % 4], m[(g + 1) % 4]);
                w = _mm_add_epi32(w, _mm_alignr_epi8(m[(g + 3) % 4], m[(g + 2) % 4], 4));
                m[g % 4] = _mm_sha256msg2_epu32(w, m[(g + 3) % 4]);
            }
            __m128i msg = _mm_add_epi32(
                m[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i *>(&kK[4 * g])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&h[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&h[4]), state1);
}

bool cpu_has_sha() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) == 0 || (c & bit_SSE4_1) == 0 || (c & bit_SSSE3) == 0) {
        return false;
    }
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) != 0 && (b & bit_SHA) != 0;
}
#endif

using Compress = void (*)(std::uint32_t *, const std::uint8_t *, std::size_t);

Compress best_compress() {
#ifdef STN_SHA_NI
    static const bool has = cpu_has_sha();
    if (has) return compress_ni;
#endif
    return compress_portable;
}

void sha256_hex(Compress compress, const std::uint8_t *data, std::size_t len, std::string *hex) {
    std::uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::size_t done = len / 64 * 64;
    compress(h, data, len / 64);

    // Last bytes, the 0x80 marker, zeros, and the bit length (big-endian).
    std::uint8_t tail[128] = {};
    const std::size_t rest = len - done;
    for (std::size_t i = 0; i < rest; ++i) tail[i] = data[done + i];
    tail[rest] = 0x80;
    const std::size_t tail_len = rest < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(len) * 8;
    for (int i = 0; i < 8; ++i) tail[tail_len - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
    compress(h, tail, tail_len / 64);

    static const char kDigits[] = "0123456789abcdef";
    hex->resize(64);
    char *out = &(*hex)[0];
    for (std::uint32_t v : h) {
        for (int shift = 28; shift >= 0; shift -= 4) *out++ = kDigits[(v >> shift) & 0xF];
    }
}

}  // namespace

void stn_sha256_hex(const std::uint8_t *data, std::size_t len, std::string *hex) {
    sha256_hex(best_compress(), data, len, hex);
}

std::string stn_sha256_hex(const std::uint8_t *data, std::size_t len) {
    std::string hex;
    stn_sha256_hex(data, len, &hex);
    return hex;
}

bool stn_sha256_accelerated() { return best_compress() != compress_portable; }

std::string stn_sha256_hex_portable(const std::uint8_t *data, std::size_t len) {
    std::string hex;
    sha256_hex(compress_portable, data, len, &hex);
    return hex;
}

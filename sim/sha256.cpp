// SHA-256 of an object's data, for dumps.
#include <cpuid.h>
#include <immintrin.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "sim_state.h"

namespace sim {

namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void CompressPortable(uint32_t state[8], const uint8_t *chunk) {
    uint32_t w[64];
    for (int i = 0; i < 16; ++i)
        w[i] = (uint32_t(chunk[4 * i]) << 24) | (uint32_t(chunk[4 * i + 1]) << 16) | (uint32_t(chunk[4 * i + 2]) << 8) |
               uint32_t(chunk[4 * i + 3]);
    for (int i = 16; i < 64; ++i) {
        uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
        uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) + kRound[i] + w[i];
        uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// The same compression with the processor's SHA extensions: dumps of
// multi-gigabyte generated objects hash at memory speed instead of taking
// tens of seconds.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithShaExtensions(uint32_t state[8], const uint8_t *chunk) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0])), 0xB1);
    __m128i state1 = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4])), 0x1B);
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH
    const __m128i abefSaved = state0, cdghSaved = state1;

    __m128i m[4];
    for (int group = 0; group < 16; ++group) {
        if (group < 4)
            m[group] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(chunk + 16 * group)), byteSwap);
        __m128i message =
            _mm_add_epi32(m[group % 4], _mm_loadu_si128(reinterpret_cast<const __m128i *>(&kRound[4 * group])));
        state1 = _mm_sha256rnds2_epu32(state1, state0, message);
        if (group >= 3 && group <= 14) {
            __m128i &next = m[(group + 1) % 4];
            next = _mm_add_epi32(next, _mm_alignr_epi8(m[group % 4], m[(group + 3) % 4], 4));
            next = _mm_sha256msg2_epu32(next, m[group % 4]);
        }
        state0 = _mm_sha256rnds2_epu32(state0, state1, _mm_shuffle_epi32(message, 0x0E));
        if (group >= 1 && group <= 12) m[(group + 3) % 4] = _mm_sha256msg1_epu32(m[(group + 3) % 4], m[group % 4]);
    }
    state0 = _mm_add_epi32(state0, abefSaved);
    state1 = _mm_add_epi32(state1, cdghSaved);

    tmp = _mm_shuffle_epi32(state0, 0x1B);    // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1); // DCHG
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), _mm_blend_epi16(tmp, state1, 0xF0));  // DCBA
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), _mm_alignr_epi8(state1, tmp, 8));      // HGFE
}

using CompressFunction = void (*)(uint32_t[8], const uint8_t *);

bool HasShaExtensions() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    bool ssse3 = ecx & (1u << 9), sse41 = ecx & (1u << 19);
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return ssse3 && sse41 && (ebx & (1u << 29));
}

class Sha256 {
public:
    explicit Sha256(CompressFunction compress) : compress_(compress) {}

    void Update(const uint8_t *data, size_t size) {
        total_ += size;
        if (used_ > 0) {
            size_t take = std::min(size, sizeof block_ - used_);
            std::memcpy(block_ + used_, data, take);
            used_ += take;
            data += take;
            size -= take;
            if (used_ < sizeof block_) return;
            compress_(state_, block_);
            used_ = 0;
        }
        for (; size >= sizeof block_; data += sizeof block_, size -= sizeof block_) compress_(state_, data);
        std::memcpy(block_, data, size);
        used_ = size;
    }
    std::string Finish() {
        uint64_t bits = total_ * 8;
        uint8_t tail[72] = {0x80};
        size_t padding = (used_ < 56 ? 56 : 120) - used_;
        for (int i = 0; i < 8; ++i) tail[padding + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
        Update(tail, padding + 8);
        char hex[65];
        for (int i = 0; i < 8; ++i) std::snprintf(hex + 8 * i, 9, "%08x", static_cast<unsigned>(state_[i]));
        return std::string(hex, 64);
    }

private:
    CompressFunction compress_;
    uint32_t state_[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                          0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    uint8_t block_[64] = {};
    size_t used_ = 0;
    uint64_t total_ = 0;
};

std::string Hash(const ObjectData &data, CompressFunction compress) {
    Sha256 hash(compress);
    std::vector<uint8_t> chunk(1 << 20);
    for (uint64_t offset = 0; offset < data.size;) {
        size_t n = data.Read(offset, chunk.data(), chunk.size());
        if (n == 0) break;
        hash.Update(chunk.data(), n);
        offset += n;
    }
    return hash.Finish();
}

}  // namespace

std::string Sha256Hex(const ObjectData &data) {
    static const CompressFunction compress = HasShaExtensions() ? CompressWithShaExtensions : CompressPortable;
    if (!data.generated) return Hash(data, compress);
    // Generated data is the same for the same seed and size: hashed once,
    // so tests that look at a folder after every call do not rehash it.
    static std::mutex mutex;
    static std::map<std::pair<uint64_t, uint64_t>, std::string> known;
    std::pair<uint64_t, uint64_t> key(data.seed, data.size);
    {
        std::lock_guard<std::mutex> lock(mutex);
        auto found = known.find(key);
        if (found != known.end()) return found->second;
    }
    std::string hash = Hash(data, compress);
    std::lock_guard<std::mutex> lock(mutex);
    return known.emplace(key, hash).first->second;
}

std::string PortableSha256Hex(const ObjectData &data) { return Hash(data, CompressPortable); }

}  // namespace sim

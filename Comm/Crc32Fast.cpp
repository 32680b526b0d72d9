#include "Crc32Fast.h"

#include <unistd.h>

#include <cerrno>

// CRC32_PORTABLE_ONLY builds what other processors get: the table loop alone.
#if defined(__x86_64__) && !defined(CRC32_PORTABLE_ONLY)
#include <immintrin.h>
#define CRC32_HAVE_CLMUL 1
#endif

namespace crc32fast {
namespace {

constexpr uint32_t kReflectedPoly = 0xEDB88320u;

// x^n mod P in the reflected form of the register (bit 31 is x^0).
constexpr uint32_t XPowMod(unsigned n) {
  uint32_t v = 0x80000000u;
  for (unsigned i = 0; i < n; ++i) v = (v >> 1) ^ ((v & 1) ? kReflectedPoly : 0);
  return v;
}

// t[k][i]: the register change for byte i followed by k zero bytes.
constexpr int kSlices = 16;
struct SliceTables {
  uint32_t t[kSlices][256];
};

constexpr SliceTables MakeSliceTables() {
  SliceTables r{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c >> 1) ^ ((c & 1) ? kReflectedPoly : 0);
    r.t[0][i] = c;
  }
  for (int k = 1; k < kSlices; ++k)
    for (int i = 0; i < 256; ++i) r.t[k][i] = (r.t[k - 1][i] >> 8) ^ r.t[0][r.t[k - 1][i] & 0xFF];
  return r;
}

constexpr SliceTables kSlice = MakeSliceTables();

inline uint32_t Load32Le(const unsigned char* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// Four table lookups for each 32-bit word; the first word's bytes lie furthest
// from the end of the 16-byte step.
inline uint32_t SliceWord(uint32_t w, int after) {
  const auto& t = kSlice.t;
  return t[after + 3][w & 0xFF] ^ t[after + 2][(w >> 8) & 0xFF] ^ t[after + 1][(w >> 16) & 0xFF] ^
         t[after][w >> 24];
}

uint32_t UpdatePortable(uint32_t reg, const unsigned char* p, size_t n) {
  for (; n >= 16; p += 16, n -= 16) {
    reg = SliceWord(Load32Le(p) ^ reg, 12) ^ SliceWord(Load32Le(p + 4), 8) ^
          SliceWord(Load32Le(p + 8), 4) ^ SliceWord(Load32Le(p + 12), 0);
  }
  for (; n > 0; ++p, --n) reg = (reg >> 8) ^ kSlice.t[0][(reg ^ *p) & 0xFF];
  return reg;
}

#ifdef CRC32_HAVE_CLMUL
// Folding: a 16-byte lane holding the message polynomial A (its first byte's
// low bit is the highest power) is carried N bits further along the message
// by A * x^N mod P, computed from its two 64-bit halves with one carry-less
// multiplication each. The constants sit in the low 32 bits of each 64-bit
// half; the one-bit shift of a reflected product is taken into the powers.
struct FoldPowers {
  long long low_half, high_half;
};

constexpr FoldPowers MakeFoldPowers(unsigned n_bits) {
  return {XPowMod(n_bits + 31), XPowMod(n_bits - 33)};
}

constexpr FoldPowers kFold128 = MakeFoldPowers(128);
constexpr FoldPowers kFold512 = MakeFoldPowers(512);
constexpr FoldPowers kFold2048 = MakeFoldPowers(2048);

inline __m128i FoldConstants(const FoldPowers& k) {
  return _mm_set_epi64x(k.high_half, k.low_half);
}

__attribute__((target("pclmul"))) inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

inline __m128i Load128(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The register that a zero register reaches over the lane's 16 bytes: the
// lane's polynomial times x^32 mod P, i.e. the whole message so far.
inline uint32_t FinishLane(__m128i x) {
  alignas(16) unsigned char lane[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(lane), x);
  return UpdatePortable(0, lane, sizeof lane);
}

__attribute__((target("pclmul"))) uint32_t UpdatePclmul(uint32_t reg, const unsigned char* p,
                                                        size_t n) {
  if (n < 64) return UpdatePortable(reg, p, n);
  // The register enters as the first four message bytes XOR-ed with it.
  __m128i x0 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x1 = Load128(p + 16);
  __m128i x2 = Load128(p + 32);
  __m128i x3 = Load128(p + 48);
  p += 64;
  n -= 64;
  const __m128i k512 = FoldConstants(kFold512);
  for (; n >= 64; p += 64, n -= 64) {
    x0 = _mm_xor_si128(Fold(x0, k512), Load128(p));
    x1 = _mm_xor_si128(Fold(x1, k512), Load128(p + 16));
    x2 = _mm_xor_si128(Fold(x2, k512), Load128(p + 32));
    x3 = _mm_xor_si128(Fold(x3, k512), Load128(p + 48));
  }
  const __m128i k128 = FoldConstants(kFold128);
  __m128i x = _mm_xor_si128(Fold(x0, k128), x1);
  x = _mm_xor_si128(Fold(x, k128), x2);
  x = _mm_xor_si128(Fold(x, k128), x3);
  for (; n >= 16; p += 16, n -= 16) x = _mm_xor_si128(Fold(x, k128), Load128(p));
  return UpdatePortable(FinishLane(x), p, n);
}

#define CRC32_TARGET_512 __attribute__((target("avx512f,vpclmulqdq,pclmul")))

// Built without the broadcast and extract intrinsics, whose "undefined"
// source operands draw false warnings from g++ 12.
CRC32_TARGET_512 inline __m512i FoldConstants512(const FoldPowers& k) {
  return _mm512_set4_epi64(k.high_half, k.low_half, k.high_half, k.low_half);
}

CRC32_TARGET_512 inline __m512i Fold512(__m512i z, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(z, k, 0x00),
                                   _mm512_clmulepi64_epi128(z, k, 0x11), next, 0x96);
}

// Four 64-byte registers, each four 16-byte lanes, 256 bytes per round.
CRC32_TARGET_512 uint32_t UpdateVpclmul512(uint32_t reg, const unsigned char* p, size_t n) {
  if (n < 256) return UpdatePclmul(reg, p, n);
  __m512i z0 = _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, reg));
  __m512i z1 = _mm512_loadu_si512(p + 64);
  __m512i z2 = _mm512_loadu_si512(p + 128);
  __m512i z3 = _mm512_loadu_si512(p + 192);
  p += 256;
  n -= 256;
  const __m512i k2048 = FoldConstants512(kFold2048);
  for (; n >= 256; p += 256, n -= 256) {
    z0 = Fold512(z0, k2048, _mm512_loadu_si512(p));
    z1 = Fold512(z1, k2048, _mm512_loadu_si512(p + 64));
    z2 = Fold512(z2, k2048, _mm512_loadu_si512(p + 128));
    z3 = Fold512(z3, k2048, _mm512_loadu_si512(p + 192));
  }
  const __m512i k512 = FoldConstants512(kFold512);
  __m512i z = Fold512(z0, k512, z1);
  z = Fold512(z, k512, z2);
  z = Fold512(z, k512, z3);
  for (; n >= 64; p += 64, n -= 64) z = Fold512(z, k512, _mm512_loadu_si512(p));
  alignas(64) unsigned char lanes[64];
  _mm512_store_si512(lanes, z);
  const __m128i k128 = FoldConstants(kFold128);
  __m128i x = Load128(lanes);
  x = _mm_xor_si128(Fold(x, k128), Load128(lanes + 16));
  x = _mm_xor_si128(Fold(x, k128), Load128(lanes + 32));
  x = _mm_xor_si128(Fold(x, k128), Load128(lanes + 48));
  for (; n >= 16; p += 16, n -= 16) x = _mm_xor_si128(Fold(x, k128), Load128(p));
  return UpdatePortable(FinishLane(x), p, n);
}
#endif  // CRC32_HAVE_CLMUL

using UpdateFn = uint32_t (*)(uint32_t, const unsigned char*, size_t);

UpdateFn KernelFn(Kernel kernel) {
  if (kernel == Kernel::Auto) {
    if (KernelAvailable(Kernel::Vpclmul512)) return KernelFn(Kernel::Vpclmul512);
    if (KernelAvailable(Kernel::Pclmul)) return KernelFn(Kernel::Pclmul);
    return UpdatePortable;
  }
  if (!KernelAvailable(kernel)) return UpdatePortable;
#ifdef CRC32_HAVE_CLMUL
  if (kernel == Kernel::Pclmul) return UpdatePclmul;
  if (kernel == Kernel::Vpclmul512) return UpdateVpclmul512;
#endif
  return UpdatePortable;
}

UpdateFn AutoFn() {
  static const UpdateFn fn = KernelFn(Kernel::Auto);
  return fn;
}

}  // namespace

bool KernelAvailable(Kernel kernel) {
  switch (kernel) {
    case Kernel::Auto:
    case Kernel::Portable:
      return true;
#ifdef CRC32_HAVE_CLMUL
    case Kernel::Pclmul:
      __builtin_cpu_init();
      return __builtin_cpu_supports("pclmul");
    case Kernel::Vpclmul512:
      __builtin_cpu_init();
      return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("vpclmulqdq");
#endif
    default:
      return false;
  }
}

const char* AutoKernelName() {
  UpdateFn fn = AutoFn();
#ifdef CRC32_HAVE_CLMUL
  if (fn == UpdateVpclmul512) return "vpclmulqdq-512";
  if (fn == UpdatePclmul) return "pclmulqdq";
#endif
  return fn == UpdatePortable ? "slicing-by-16" : "?";
}

uint32_t Update(uint32_t reg, const unsigned char* data, size_t n) {
  return n == 0 ? reg : AutoFn()(reg, data, n);
}

uint32_t UpdateWith(Kernel kernel, uint32_t reg, const unsigned char* data, size_t n) {
  return n == 0 ? reg : KernelFn(kernel)(reg, data, n);
}

uint32_t UpdateFromFd(int fd, uint64_t begin, uint64_t end, uint32_t reg, bool* complete) {
  // Page-cache copies cost per call; 256 KiB blocks keep that small and the
  // buffer in the core's own cache. 8 MiB thread stacks hold it easily.
  constexpr size_t kBlock = 8192;
  constexpr size_t kChunk = 32 * kBlock;
  alignas(64) unsigned char buf[kChunk];
  bool ok = true;
  for (uint64_t pos = begin; ok && pos < end;) {
    size_t want = end - pos < kChunk ? size_t(end - pos) : kChunk;
    size_t got = 0;
    while (got < want) {
      ssize_t r = pread(fd, buf + got, want - got, off_t(pos + got));
      if (r > 0) {
        got += size_t(r);
      } else if (r < 0 && errno == EINTR) {
        continue;
      } else {
        ok = false;
        got -= got % kBlock;  // the failing block counts for nothing
        break;
      }
    }
    reg = Update(reg, buf, got);
    pos += got;
  }
  if (complete) *complete = ok;
  return reg;
}

}  // namespace crc32fast

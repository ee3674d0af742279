// The search for MPEG start codes, which every byte of the video passes through.
#include <cstddef>

#include "format/mpeg.h"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define KORVAT_X86_64 1
#endif

namespace korvat {
namespace {

std::size_t findPrefixFrom(const unsigned char* data, std::size_t n, std::size_t d) {
  for (; d + 3 <= n; ++d) {
    if (data[d + 2] == 0x01 && data[d + 1] == 0x00 && data[d] == 0x00) return d;
  }
  return n;
}

#if KORVAT_X86_64
// 16 positions at a time: every x86-64 processor has SSE2.
std::size_t findPrefixSse2(const unsigned char* data, std::size_t n) {
  const __m128i zero = _mm_setzero_si128(), one = _mm_set1_epi8(1);
  std::size_t d = 0;
  for (; d + 18 <= n; d += 16) {
    const __m128i first = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + d)), zero);
    const __m128i second = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + d + 1)), zero);
    const __m128i third = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + d + 2)), one);
    const int hits = _mm_movemask_epi8(_mm_and_si128(_mm_and_si128(first, second), third));
    if (hits != 0) return d + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(hits)));
  }
  return findPrefixFrom(data, n, d);
}

// 32 at a time, where the processor has AVX2.
__attribute__((target("avx2"))) std::size_t findPrefixAvx2(const unsigned char* data, std::size_t n) {
  const __m256i zero = _mm256_setzero_si256(), one = _mm256_set1_epi8(1);
  std::size_t d = 0;
  for (; d + 34 <= n; d += 32) {
    const __m256i first = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + d)), zero);
    const __m256i second = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + d + 1)), zero);
    const __m256i third = _mm256_cmpeq_epi8(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + d + 2)), one);
    const auto hits =
        static_cast<unsigned>(_mm256_movemask_epi8(_mm256_and_si256(_mm256_and_si256(first, second), third)));
    if (hits != 0) return d + static_cast<std::size_t>(__builtin_ctz(hits));
  }
  return findPrefixFrom(data, n, d);
}
#endif

}  // namespace

std::size_t findStartCodePrefix(const unsigned char* data, std::size_t n) {
#if KORVAT_X86_64
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2 ? findPrefixAvx2(data, n) : findPrefixSse2(data, n);
#else
  return findPrefixFrom(data, n, 0);
#endif
}

}  // namespace korvat

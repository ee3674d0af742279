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

// 64 at a time, each position's three tests joined in one mask, where the
// processor has AVX-512 for bytes.
__attribute__((target("avx512f,avx512bw"))) std::size_t findPrefixAvx512(const unsigned char* data, std::size_t n) {
  const __m512i zero = _mm512_setzero_si512(), one = _mm512_set1_epi8(1);
  std::size_t d = 0;
  for (; d + 66 <= n; d += 64) {
    const __mmask64 first = _mm512_cmpeq_epi8_mask(_mm512_loadu_si512(data + d), zero);
    const __mmask64 second = _mm512_mask_cmpeq_epi8_mask(first, _mm512_loadu_si512(data + d + 1), zero);
    const __mmask64 hits = _mm512_mask_cmpeq_epi8_mask(second, _mm512_loadu_si512(data + d + 2), one);
    if (hits != 0) return d + static_cast<std::size_t>(__builtin_ctzll(hits));
  }
  // The last positions: loads that leave out the bytes past the end.
  if (d + 3 > n) return n;
  const auto bytesFrom = [&](std::size_t offset) {
    const std::size_t left = n - d - offset;
    return left >= 64 ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
  };
  const __mmask64 first =
      _mm512_mask_cmpeq_epi8_mask(bytesFrom(0), _mm512_maskz_loadu_epi8(bytesFrom(0), data + d), zero);
  const __mmask64 second =
      _mm512_mask_cmpeq_epi8_mask(first & bytesFrom(1), _mm512_maskz_loadu_epi8(bytesFrom(1), data + d + 1), zero);
  const __mmask64 hits =
      _mm512_mask_cmpeq_epi8_mask(second & bytesFrom(2), _mm512_maskz_loadu_epi8(bytesFrom(2), data + d + 2), one);
  return hits != 0 ? d + static_cast<std::size_t>(__builtin_ctzll(hits)) : n;
}
#endif

}  // namespace

bool processorHas(PrefixSearch way) {
  switch (way) {
#if KORVAT_X86_64
    case PrefixSearch::Avx512:
      return __builtin_cpu_supports("avx512bw");
    case PrefixSearch::Avx2:
      return __builtin_cpu_supports("avx2");
    case PrefixSearch::Sse2:
      return true;
#else
    case PrefixSearch::Avx512:
    case PrefixSearch::Avx2:
    case PrefixSearch::Sse2:
      return false;
#endif
    case PrefixSearch::ByteByByte:
      break;
  }
  return true;
}

std::size_t findStartCodePrefix(PrefixSearch way, const unsigned char* data, std::size_t n) {
  switch (way) {
#if KORVAT_X86_64
    case PrefixSearch::Avx512:
      return findPrefixAvx512(data, n);
    case PrefixSearch::Avx2:
      return findPrefixAvx2(data, n);
    case PrefixSearch::Sse2:
      return findPrefixSse2(data, n);
#endif
    default:
      return findPrefixFrom(data, n, 0);
  }
}

void findStartCodePrefixes(const unsigned char* data, std::uint32_t n, std::vector<std::uint32_t>& at) {
  for (std::size_t p = 0; (p += findStartCodePrefix(data + p, n - p)) < n; ++p) at.push_back(static_cast<std::uint32_t>(p));
}

std::size_t findStartCodePrefix(const unsigned char* data, std::size_t n) {
  static const PrefixSearch widest = processorHas(PrefixSearch::Avx512) ? PrefixSearch::Avx512
                                     : processorHas(PrefixSearch::Avx2) ? PrefixSearch::Avx2
                                     : processorHas(PrefixSearch::Sse2) ? PrefixSearch::Sse2
                                                                        : PrefixSearch::ByteByByte;
  return findStartCodePrefix(widest, data, n);
}

}  // namespace korvat

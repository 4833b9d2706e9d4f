// SPDX-License-Identifier: MIT
/*
 * 32-byte vectors for the kernels (AVX2): the AVX2 kernels, and the
 * AVX-512 kernels for the last bytes of a text.  Internal linkage, as for
 * everything the kernels share (see textcodec_kernels_generic.h).
 */
#ifndef TEXTCODEC_VEC256_H
#define TEXTCODEC_VEC256_H

#include "textcodec_vec128.h"

#include <immintrin.h>

namespace
{

struct vec256 {
    typedef __m256i vec;
    typedef vec128 narrower;
    static constexpr size_t W = 32;

    static vec load(const char *p)
    {
        return _mm256_loadu_si256((const __m256i *)p);
    }
    static void copy(char *dst, const char *src, size_t k)
    {
        copy_exact(dst, src, k);
    }
    static void store(char *p, vec v)
    {
        _mm256_storeu_si256((__m256i *)p, v);
    }
    /* See plain_by_compares() for the same test on one byte. */
    static uint64_t special(vec v)
    {
        __m256i printable =
            _mm256_cmpgt_epi8(_mm256_add_epi8(v, _mm256_set1_epi8(1)), _mm256_set1_epi8(0x20));
        __m256i bad = _mm256_cmpeq_epi8(_mm256_or_si256(v, _mm256_set1_epi8(0x20)),
                                        _mm256_set1_epi8('|'));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('\'')));
        bad = _mm256_or_si256(bad, _mm256_cmpeq_epi8(v, _mm256_set1_epi8('/')));
        return ~(uint32_t)_mm256_movemask_epi8(_mm256_andnot_si256(bad, printable)) & 0xffffffffu;
    }
};

} // namespace

#endif

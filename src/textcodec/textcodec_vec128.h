// SPDX-License-Identifier: MIT
/*
 * Sixteen-byte vectors for the kernels (SSE2): the SSE2 kernels, and the
 * AVX2 kernels for the last bytes of a text.  Internal linkage, as for
 * everything the kernels share (see textcodec_kernels_generic.h).
 */
#ifndef TEXTCODEC_VEC128_H
#define TEXTCODEC_VEC128_H

#include <emmintrin.h>
#include <stdint.h>

namespace
{

struct vec128 {
    typedef __m128i vec;
    static constexpr size_t W = 16;

    static vec load(const char *p)
    {
        return _mm_loadu_si128((const __m128i *)p);
    }
    static void store(char *p, vec v)
    {
        _mm_storeu_si128((__m128i *)p, v);
    }
    /* See plain_by_compares() for the same test on one byte. */
    static uint64_t special(vec v)
    {
        __m128i printable = _mm_cmpgt_epi8(_mm_add_epi8(v, _mm_set1_epi8(1)), _mm_set1_epi8(0x20));
        __m128i bad = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('|'));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
        bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('/')));
        return (uint32_t)(_mm_movemask_epi8(_mm_andnot_si128(bad, printable)) ^ 0xffff);
    }
    static void store_prefix(char *p, vec v, unsigned k)
    {
        const __m128i lane = _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
        __m128i take = _mm_cmpgt_epi8(_mm_set1_epi8((char)k), lane);
        __m128i old = load(p);
        store(p, _mm_or_si128(_mm_and_si128(take, v), _mm_andnot_si128(take, old)));
    }
};

} // namespace

#endif

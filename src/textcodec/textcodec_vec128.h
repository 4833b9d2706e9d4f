// SPDX-License-Identifier: MIT
/*
 * Sixteen-byte vectors for the kernels (SSE2): the SSE2 kernels, and the
 * AVX2 kernels for the last bytes of a text.  Internal linkage, as for
 * everything the kernels share (see textcodec_kernels_generic.h).
 */
#ifndef TEXTCODEC_VEC128_H
#define TEXTCODEC_VEC128_H

#include "textcodec_kernels_generic.h"

#include <emmintrin.h>
#include <stdint.h>

namespace
{

struct vec128 {
    typedef __m128i vec;
    typedef void narrower;
    static constexpr size_t W = 16;

    static vec load(const char *p)
    {
        return _mm_loadu_si128((const __m128i *)p);
    }
    /* The W bytes at p, W-aligned, so within p's page: read past a text's end on purpose. */
    __attribute__((no_sanitize("address", "thread"))) static vec load_aligned(const char *p)
    {
        return _mm_load_si128((const __m128i *)p);
    }
    /* The W bytes at p, within p's page: read past a text's end on purpose. */
    __attribute__((no_sanitize("address", "thread"))) static vec load_unchecked(const char *p)
    {
        return _mm_loadu_si128((const __m128i *)p);
    }
    static void store(char *p, vec v)
    {
        _mm_storeu_si128((__m128i *)p, v);
    }
    static void store_in_page(char *p, vec v)
    {
        store(p, v);
    }
    static void copy(char *dst, const char *src, size_t k)
    {
        copy_exact(dst, src, k);
    }
    typedef __m128i mask;
    static constexpr bool nibble_lookup = false; // SSE2 has no byte shuffle
    static mask eq(vec v, char c)
    {
        return _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
    }
    /* Adding 1 makes exactly the bytes 0x20 to 0x7e positive and above 0x20. */
    static mask printable(vec v)
    {
        return _mm_cmpgt_epi8(_mm_add_epi8(v, _mm_set1_epi8(1)), _mm_set1_epi8(0x20));
    }
    static mask or_(mask a, mask b)
    {
        return _mm_or_si128(a, b);
    }
    static mask andnot(mask a, mask b)
    {
        return _mm_andnot_si128(b, a);
    }
    static uint64_t to_bits(mask m)
    {
        return (uint32_t)_mm_movemask_epi8(m);
    }
};

} // namespace

#endif

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
    /* The W bytes at p, W-aligned, so within p's page: read past a text's end on purpose. */
    __attribute__((no_sanitize("address", "thread"))) static vec load_aligned(const char *p)
    {
        return _mm256_load_si256((const __m256i *)p);
    }
    /* The W bytes at p, within p's page: read past a text's end on purpose. */
    __attribute__((no_sanitize("address", "thread"))) static vec load_unchecked(const char *p)
    {
        return _mm256_loadu_si256((const __m256i *)p);
    }
    static void store(char *p, vec v)
    {
        _mm256_storeu_si256((__m256i *)p, v);
    }
    static void store_in_page(char *p, vec v)
    {
        store(p, v);
    }
    static void copy(char *dst, const char *src, size_t k)
    {
        copy_exact(dst, src, k);
    }
    typedef __m256i mask;
    static constexpr bool nibble_lookup = true;
    static mask eq(vec v, char c)
    {
        return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c));
    }
    /* 0xff where the two entries share a bit. */
    static mask by_nibbles(vec v, const unsigned char *low, const unsigned char *high)
    {
        __m256i nibble = _mm256_set1_epi8(15);
        __m256i lo = _mm256_shuffle_epi8(_mm256_load_si256((const __m256i *)low),
                                         _mm256_and_si256(v, nibble));
        __m256i hi = _mm256_shuffle_epi8(_mm256_load_si256((const __m256i *)high),
                                         _mm256_and_si256(_mm256_srli_epi16(v, 4), nibble));
        return _mm256_xor_si256(_mm256_cmpeq_epi8(_mm256_and_si256(lo, hi), _mm256_setzero_si256()),
                                _mm256_set1_epi8(-1));
    }
    static uint64_t to_bits(mask m)
    {
        return (uint32_t)_mm256_movemask_epi8(m);
    }
};

} // namespace

#endif

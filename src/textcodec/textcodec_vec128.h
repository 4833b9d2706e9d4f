// SPDX-License-Identifier: MIT
/*
 * Sixteen-byte vectors for the kernels (SSE2): the SSE2 kernels, and the
 * AVX2 kernels for the last bytes of a text.  Internal linkage, as for
 * everything the kernels share (see textcodec_kernels_generic.h).
 */
#ifndef TEXTCODEC_VEC128_H
#define TEXTCODEC_VEC128_H

#include "textcodec_kernels_generic.h"
#include "textcodec_rules.h"

#include <emmintrin.h>
#include <stdint.h>

namespace
{

/*
 * The compare chain with which the 16- and 32-byte kernels find the plain
 * bytes, written out for one byte: printable (adding 1 makes exactly the
 * bytes 0x20 to 0x7e positive and above 0x20), not '\\' or '|' (the two
 * bytes that become '|' with bit 5 set), not '"', '\'' or '/'.
 */
constexpr bool plain_by_compares(unsigned char code)
{
    return (signed char)(code + 1) > 0x20 && (code | 0x20) != '|' && code != '"' &&
           code != '\'' && code != '/';
}

static_assert(finds_the_plain_bytes(plain_by_compares),
              "the vector compares must agree with the tables");

struct vec128 {
    typedef __m128i vec;
    typedef void narrower;
    static constexpr size_t W = 16;

    static vec load(const char *p)
    {
        return _mm_loadu_si128((const __m128i *)p);
    }
    static void copy(char *dst, const char *src, size_t k)
    {
        copy_exact(dst, src, k);
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
};

} // namespace

#endif

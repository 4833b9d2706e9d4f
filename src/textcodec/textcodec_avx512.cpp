// SPDX-License-Identifier: MIT
/*
 * The codec's kernels for AVX-512 (F and BW): 64 bytes at a time, and the
 * last bytes of a text with a masked load, which reads no byte outside its
 * mask, so that short texts (names) are done here too rather than byte by
 * byte.
 */
#include "textcodec_kernels_generic.h"

#include <immintrin.h>

namespace
{

/*
 * The compares with which the 64-byte kernels find the plain bytes,
 * written out for one byte: 0x20 to 0x7e, not '\\' or '|' (the two bytes
 * that become '|' with bit 5 set), not '"', '\'' or '/'.
 */
constexpr bool plain_by_range(unsigned char code)
{
    return code >= 0x20 && code <= 0x7e && (code | 0x20) != '|' && code != '"' && code != '\'' &&
           code != '/';
}

constexpr bool range_finds_the_plain_bytes()
{
    for (int code = 0; code < 256; code++) {
        if (plain_by_range((unsigned char)code) != is_plain((unsigned char)code))
            return false;
    }
    return true;
}
static_assert(range_finds_the_plain_bytes(), "the vector compares must agree with the tables");

struct vec512 {
    typedef __m512i vec;
    typedef void narrower;
    static constexpr size_t W = 64;
    static constexpr bool partial = true;

    static vec load(const char *p, size_t n)
    {
        if (n == W)
            return _mm512_loadu_si512(p);
        return _mm512_maskz_loadu_epi8((__mmask64)_bzhi_u64(~0ULL, (unsigned)n), p);
    }
    static void store(char *p, vec v)
    {
        _mm512_storeu_si512(p, v);
    }
    /* See plain_by_range() for the same test on one byte. */
    static uint64_t special(vec v)
    {
        __mmask64 printable = _mm512_cmpge_epu8_mask(v, _mm512_set1_epi8(0x20)) &
                              _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x7e));
        __mmask64 bad = _mm512_cmpeq_epi8_mask(_mm512_or_si512(v, _mm512_set1_epi8(0x20)),
                                               _mm512_set1_epi8('|')) |
                        _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) |
                        _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\'')) |
                        _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('/'));
        return (uint64_t)~(printable & ~bad);
    }
};

} // namespace

const struct textcodec_kernels textcodec_avx512_kernels = kernels_of<vec512>();

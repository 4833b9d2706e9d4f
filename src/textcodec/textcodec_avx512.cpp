// SPDX-License-Identifier: MIT
/*
 * The codec's kernels for AVX-512 (F and BW): 64 bytes at a time, then 32
 * and 16 for the last bytes of a text.  The runs between special bytes are
 * copied with a masked load and store, without a branch on their length.
 * Short texts are left to the narrower vectors: a masked 64-byte store
 * followed by the next call's masked load of a text nearby stalls.
 */
#include "textcodec_kernels_generic.h"
#include "textcodec_vec256.h"

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

static_assert(finds_the_plain_bytes(plain_by_range),
              "the vector compares must agree with the tables");

struct vec512 {
    typedef __m512i vec;
    typedef vec256 narrower;
    static constexpr size_t W = 64;

    static vec load(const char *p)
    {
        return _mm512_loadu_si512(p);
    }
    /* One masked load and one masked store: no branch on the length. */
    static void copy(char *dst, const char *src, size_t k)
    {
        __mmask64 bytes = (__mmask64)_bzhi_u64(~0ULL, (unsigned)k);
        _mm512_mask_storeu_epi8(dst, bytes, _mm512_maskz_loadu_epi8(bytes, src));
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

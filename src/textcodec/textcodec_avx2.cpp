// SPDX-License-Identifier: MIT
// The codec's kernels for AVX2: 32 bytes at a time, then 16 for the last
// bytes of a text.
#include "textcodec_kernels_generic.h"
#include "textcodec_vec128.h"

#include <immintrin.h>

namespace
{

struct vec256 {
    typedef __m256i vec;
    static constexpr size_t W = 32;

    static vec load(const char *p)
    {
        return _mm256_loadu_si256((const __m256i *)p);
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
    static void store_prefix(char *p, vec v, unsigned k)
    {
        const __m256i lane =
            _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19,
                             20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31);
        __m256i take = _mm256_cmpgt_epi8(_mm256_set1_epi8((char)k), lane);
        store(p, _mm256_blendv_epi8(load(p), v, take));
    }
};


/*
 * 32-byte steps, then 16-byte ones for the last bytes of the text or of
 * the room, where the wide kernel stopped.
 */
template <size_t (*wide)(const char *, size_t, size_t, struct textcodec_output *),
          size_t (*narrow)(const char *, size_t, size_t, struct textcodec_output *)>
size_t both(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    size_t at = wide(in, len, i, o);
    // The wide kernel stops at the end of its vectors or at a byte it leaves to the exact path.
    if (at + vec256::W > len || textcodec_room(o) < vec256::W + 3)
        at = narrow(in, len, at, o);
    return at;
}

size_t avx2_c_text_to_kel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return o->start != NULL
               ? both<plain_run<vec256, true>, plain_run<vec128, true>>(in, len, i, o)
               : both<plain_run<vec256, false>, plain_run<vec128, false>>(in, len, i, o);
}

size_t avx2_kel_text_to_raw(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return o->start != NULL
               ? both<decode_run<vec256, true>, decode_run<vec128, true>>(in, len, i, o)
               : both<decode_run<vec256, false>, decode_run<vec128, false>>(in, len, i, o);
}

size_t avx2_raw_text_to_kel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return o->start != NULL
               ? both<encode_run<vec256, true>, encode_run<vec128, true>>(in, len, i, o)
               : both<encode_run<vec256, false>, encode_run<vec128, false>>(in, len, i, o);
}

} // namespace

const struct textcodec_kernels textcodec_avx2_kernels = {
    avx2_c_text_to_kel,
    avx2_kel_text_to_raw,
    avx2_raw_text_to_kel,
};

// SPDX-License-Identifier: MIT
/*
 * The codec's kernels for AVX-512 (F and BW): 64 bytes at a time, the last
 * bytes of a text with masked loads, and every store masked to exactly the
 * bytes it writes.  A masked load reads no byte outside its mask, so a
 * kernel reads nothing past its input even in the last, short vector, and
 * short texts (names) are done here rather than byte by byte.
 */
#include "textcodec_kernels_generic.h"

#include <immintrin.h>

namespace
{

const size_t W = 64;

/* The first n bytes (n at most 64). */
inline __mmask64 first(size_t n)
{
    return (__mmask64)_bzhi_u64(~0ULL, (unsigned)n);
}

/* See plain_by_range() for the same test on one byte. */
inline __mmask64 special(__m512i v)
{
    __mmask64 printable = _mm512_cmpge_epu8_mask(v, _mm512_set1_epi8(0x20)) &
                          _mm512_cmple_epu8_mask(v, _mm512_set1_epi8(0x7e));
    __mmask64 bad = _mm512_cmpeq_epi8_mask(_mm512_or_si512(v, _mm512_set1_epi8(0x20)),
                                           _mm512_set1_epi8('|')) |
                    _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('"')) |
                    _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('\'')) |
                    _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8('/'));
    return ~(printable & ~bad);
}

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

/*
 * raw_text_to_kel.  A step writes the plain bytes before the first special
 * one (fewer than n) and its form (up to 4): n + 3 bytes of room.
 */
template <bool Write>
size_t encode(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    size_t room = textcodec_room(o);
    size_t made = 0;
    while (i < len) {
        size_t n = len - i < W ? len - i : W;
        if (room - made < n + 3)
            break;
        __mmask64 valid = first(n);
        __m512i v = _mm512_maskz_loadu_epi8(valid, in + i);
        __mmask64 found = special(v) & valid;
        if (found == 0) {
            if (Write)
                _mm512_mask_storeu_epi8(o->next + made, valid, v);
            made += n;
            i += n;
            continue;
        }
        unsigned k = (unsigned)_tzcnt_u64(found);
        const byte_form &f = kel_forms.of[(unsigned char)in[i + k]];
        if (Write) {
            _mm512_mask_storeu_epi8(o->next + made, first(k), v);
            put_form(o->next + made + k, f);
        }
        made += k + (size_t)f.len;
        i += k + 1;
    }
    if (Write)
        o->next += made;
    o->count += (int)made;
    return i;
}

/*
 * kel_text_to_raw.  A step writes the plain bytes before the first special
 * one and at most one decoded character: n bytes of room.
 */
template <bool Write>
size_t decode(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    size_t room = textcodec_room(o);
    size_t made = 0;
    while (i < len) {
        size_t n = len - i < W ? len - i : W;
        if (room - made < n)
            break;
        __mmask64 valid = first(n);
        __m512i v = _mm512_maskz_loadu_epi8(valid, in + i);
        __mmask64 found = special(v) & valid;
        unsigned k = found == 0 ? (unsigned)n : (unsigned)_tzcnt_u64(found);
        if (Write)
            _mm512_mask_storeu_epi8(o->next + made, first(k), v);
        made += k;
        i += k;
        if (found == 0)
            continue;
        char decoded;
        int span = in[i] == '\\' ? decode_common_escape(in + i, in + len, &decoded) : 0;
        if (span == 0)
            break;
        if (Write)
            o->next[made] = decoded;
        made += 1;
        i += (size_t)span;
    }
    if (Write)
        o->next += made;
    o->count += (int)made;
    return i;
}

/* c_text_to_kel: runs of plain bytes only. */
template <bool Write>
size_t plain(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    size_t room = textcodec_room(o);
    size_t made = 0;
    while (i < len) {
        size_t n = len - i < W ? len - i : W;
        if (room - made < n)
            break;
        __mmask64 valid = first(n);
        __m512i v = _mm512_maskz_loadu_epi8(valid, in + i);
        __mmask64 found = special(v) & valid;
        unsigned k = found == 0 ? (unsigned)n : (unsigned)_tzcnt_u64(found);
        if (Write)
            _mm512_mask_storeu_epi8(o->next + made, first(k), v);
        made += k;
        i += k;
        if (found != 0)
            break;
    }
    if (Write)
        o->next += made;
    o->count += (int)made;
    return i;
}

size_t avx512_c_text_to_kel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return either<plain<true>, plain<false>>(in, len, i, o);
}

size_t avx512_kel_text_to_raw(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return either<decode<true>, decode<false>>(in, len, i, o);
}

size_t avx512_raw_text_to_kel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return either<encode<true>, encode<false>>(in, len, i, o);
}

} // namespace

const struct textcodec_kernels textcodec_avx512_kernels = {
    avx512_c_text_to_kel,
    avx512_kel_text_to_raw,
    avx512_raw_text_to_kel,
};

// SPDX-License-Identifier: MIT
/*
 * 64-byte vectors for the kernels (AVX-512 F and BW), and the short-text
 * kernels that a masked load and a masked store make possible: the AVX-512
 * and AVX-512 VBMI2 kernels.  Internal linkage, as for everything the
 * kernels share (see textcodec_kernels_generic.h).
 */
#ifndef TEXTCODEC_VEC512_H
#define TEXTCODEC_VEC512_H

#include "textcodec_vec256.h"

#include <immintrin.h>
#include <stdint.h>

#if defined(__SANITIZE_ADDRESS__)
#define TEXTCODEC_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TEXTCODEC_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef TEXTCODEC_ADDRESS_SANITIZER
#include <sanitizer/asan_interface.h>
#endif

namespace
{

/* The first k bits (k <= 64). */
inline uint64_t first_bits(size_t k)
{
    return _bzhi_u64(~0ULL, (unsigned)k);
}

struct vec512 {
    typedef __m512i vec;
    typedef vec256 narrower;
    static constexpr size_t W = 64;

    static vec load(const char *p)
    {
        return _mm512_loadu_si512(p);
    }
    static void store(char *p, vec v)
    {
        _mm512_storeu_si512(p, v);
    }
    /* The bytes of mask only; the others are neither read nor written. */
    static vec masked_load(const char *p, uint64_t mask)
    {
        return _mm512_maskz_loadu_epi8((__mmask64)mask, p);
    }
    static void masked_store(char *p, uint64_t mask, vec v)
    {
        _mm512_mask_storeu_epi8(p, (__mmask64)mask, v);
    }
    /* One masked load and one masked store: no branch on the length. */
    static void copy(char *dst, const char *src, size_t k)
    {
        masked_store(dst, first_bits(k), masked_load(src, first_bits(k)));
    }
    typedef __mmask64 mask;
    static constexpr bool nibble_lookup = true;
    static mask by_nibbles(vec v, const unsigned char *low, const unsigned char *high)
    {
        __m512i nibble = _mm512_set1_epi8(15);
        __m512i lo = _mm512_shuffle_epi8(_mm512_load_si512(low), _mm512_and_si512(v, nibble));
        __m512i hi = _mm512_shuffle_epi8(_mm512_load_si512(high),
                                         _mm512_and_si512(_mm512_srli_epi16(v, 4), nibble));
        return _mm512_test_epi8_mask(lo, hi);
    }
    static mask eq(vec v, char c)
    {
        return _mm512_cmpeq_epi8_mask(v, _mm512_set1_epi8(c));
    }
    static mask or_(mask a, mask b)
    {
        return _kor_mask64(a, b);
    }
    static uint64_t to_bits(mask m)
    {
        return (uint64_t)m;
    }
};

/*
 * The bytes of a short text, for a short-text kernel: a masked load from
 * in to the end of its page (at most 64 bytes), so that it can never
 * fault; bytes past the terminator are loaded but never used.  It reads
 * past the terminator on purpose, so AddressSanitizer is told not to look
 * at the load; it is asked instead whether the text and its terminator
 * are addressable, and a text that is not goes the long way, whose
 * checked reads report it.  *len is the text's length, or 64 or more when
 * the text does not end among these bytes (or must go the long way).
 */
__attribute__((no_sanitize("address"))) inline __m512i load_short_text(const char *in, size_t *len)
{
    const size_t PAGE = 4096;
    size_t to_page_end = PAGE - ((uintptr_t)in & (PAGE - 1));
    uint64_t mask = to_page_end >= 64 ? ~0ULL : first_bits(to_page_end);
    // A plain load where the page allows: a masked one costs more.  The
    // intrinsics are used directly, so that no instrumented helper is called.
    __m512i v = to_page_end >= 64 ? _mm512_loadu_si512(in) : _mm512_maskz_loadu_epi8((__mmask64)mask, in);
    uint64_t nul = vec512::to_bits(vec512::eq(v, '\0')) & mask;
    *len = nul != 0 ? (size_t)__builtin_ctzll(nul) : 64;
#ifdef TEXTCODEC_ADDRESS_SANITIZER
    if (*len < 64 && __asan_region_is_poisoned(const_cast<char *>(in), *len + 1) != nullptr)
        *len = 64;
#endif
    return v;
}

/* Writes the first len bytes of v and a terminator at out, where they fit. */
inline int store_short(char *out, __m512i v, size_t len, int capacity)
{
    if (out == NULL)
        return (int)len;
    if (capacity < 0 || (size_t)capacity < len)
        return TEXTCODEC_LONG;
    vec512::masked_store(out, first_bits(len + 1), v);
    return (int)len;
}

/*
 * A short text without special bytes, as every converter copies it: its
 * length, having written it and its terminator (the loaded NUL) with one
 * masked store, or TEXTCODEC_LONG for a text that is longer, has a
 * special byte or does not fit.  Empty texts are the converters' own.
 */
inline int copy_short_plain(char *out, __m512i v, size_t len, int capacity)
{
    if (len == 0 || len >= 64 || (special_bytes<vec512>(v) & first_bits(len)) != 0)
        return TEXTCODEC_LONG;
    return store_short(out, v, len, capacity);
}

int short_c_text_to_kel(char *out, const char *in, int capacity)
{
    size_t len;
    __m512i v = load_short_text(in, &len);
    return copy_short_plain(out, v, len, capacity);
}

/*
 * raw_text_to_kel of a short text: the runs between special bytes with
 * masked stores of the loaded vector, each form as it stands in the
 * table, and the terminator with the last run.  A run of bytes a to k - 1
 * goes to out + shift + a, where shift is what the forms so far added.
 */
int short_raw_text_to_kel(char *out, const char *in, int capacity)
{
    size_t len;
    __m512i v = load_short_text(in, &len);
    if (len == 0 || len >= 64)
        return TEXTCODEC_LONG;
    uint64_t special = special_bytes<vec512>(v) & first_bits(len);
    if (special == 0)
        return copy_short_plain(out, v, len, capacity);
    // The specials written as a letter escape: 2 characters, not 4.
    uint64_t two = vec512::to_bits(any_of<vec512, letter_escaped>(v)) & special;
    size_t total = len + (size_t)__builtin_popcountll(two) +
                   3 * (size_t)__builtin_popcountll(special & ~two);
    if (out == NULL)
        return (int)total;
    if (capacity < 0 || (size_t)capacity < total)
        return TEXTCODEC_LONG;
    size_t shift = 0, at = 0;
    while (special != 0) {
        size_t k = (size_t)__builtin_ctzll(special);
        vec512::masked_store(out + shift, first_bits(k) & ~first_bits(at), v);
        const byte_form &f = kel_forms.of[(unsigned char)in[k]];
        put_escape_form(out + shift + k, f);
        shift += (size_t)f.len - 1;
        at = k + 1;
        special &= special - 1;
    }
    vec512::masked_store(out + shift, first_bits(len + 1) & ~first_bits(at), v);
    return (int)total;
}

} // namespace

#endif

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

namespace
{

/* The first k bits (k <= 64). */
inline uint64_t first_bits(size_t k)
{
    return _bzhi_u64(~0ULL, (unsigned)k);
}

/* Byte k of a vector of indices: k + by, for a permute that moves bytes down by that many. */
inline __m512i indices_from(int by)
{
    return _mm512_add_epi8(
        _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44,
                        43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24,
                        23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2,
                        1, 0),
        _mm512_set1_epi8((char)by));
}

/* Byte k of v rotated down by `by` (below 64): byte (k + by) mod 64 of v. */
inline __m512i rotate_down(__m512i v, size_t by)
{
#ifdef __AVX512VBMI__
    return _mm512_permutex2var_epi8(v, indices_from((int)by), v); // every index below 64: v alone
#else
    // Whole dwords by a permute, then the bytes left over by shifts within
    // them; a shift by 32 gives zero, as a whole dword needs.  (The maskz
    // forms, with every lane kept, because GCC 12 warns of the plain ones'
    // undefined start value.)
    const __mmask16 ALL = 0xFFFF;
    __m512i dwords = _mm512_add_epi32(_mm512_set_epi32(15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2, 1, 0),
                                      _mm512_set1_epi32((int)(by / 4)));
    __m512i low = _mm512_maskz_permutexvar_epi32(ALL, dwords, v);
    __m512i high = _mm512_maskz_permutexvar_epi32(ALL, _mm512_add_epi32(dwords, _mm512_set1_epi32(1)), v);
    __m512i bits = _mm512_set1_epi32((int)(8 * (by % 4)));
    return _mm512_or_si512(_mm512_maskz_srlv_epi32(ALL, low, bits),
                           _mm512_maskz_sllv_epi32(ALL, high, _mm512_sub_epi32(_mm512_set1_epi32(32), bits)));
#endif
}

struct vec512 {
    typedef __m512i vec;
    typedef vec256 narrower;
    static constexpr size_t W = 64;

    static vec load(const char *p)
    {
        return _mm512_loadu_si512(p);
    }
    /* The W bytes at p, W-aligned, so within p's page: read past a text's end on purpose. */
    __attribute__((no_sanitize("address", "thread"))) static vec load_aligned(const char *p)
    {
        return _mm512_load_si512(p);
    }
    static void store(char *p, vec v)
    {
        size_t here = to_page_end(p);
        if (__builtin_expect(here >= 64, 1))
            _mm512_storeu_si512(p, v);
        else
            split_store(p, here, v);
    }
    static void store_in_page(char *p, vec v)
    {
        _mm512_storeu_si512(p, v);
    }
    /*
     * The bytes of mask only: the others are never written, nor read
     * outside a page that holds bytes of mask, so that neither can fault.
     * A masked access is kept to the pages of the bytes it moves: one whose
     * masked-off bytes reach into a page that is not present costs the
     * processor a hundred cycles or more to suppress the fault, and a store
     * across a page costs tens even where both are present.
     */
    static vec masked_load(const char *p, uint64_t mask)
    {
        size_t here = to_page_end(p);
        if (__builtin_expect(here < 64 && mask != 0 && (mask >> here) == 0, 0))
            return split_load(p, here, mask);
        return _mm512_maskz_loadu_epi8((__mmask64)mask, p);
    }
    static void masked_store(char *p, uint64_t mask, vec v)
    {
        size_t here = to_page_end(p);
        if (__builtin_expect(here >= 64, 1))
            _mm512_mask_storeu_epi8(p, (__mmask64)mask, v);
        else
            store_across_page_end(p, here, mask, v);
    }
    // The rare ways, inline for the short kernels.  The bytes of mask lie
    // within the `here` (below 64) before p's page ends: the 64 bytes that end
    // there, moved down.
    __attribute__((always_inline)) static vec load_before_page_end(const char *p, size_t here, uint64_t mask)
    {
        return _mm512_maskz_mov_epi8((__mmask64)mask, rotate_down(load_aligned(p + here - 64), 64 - here));
    }
    // A masked load near a page end, out of the bulk loops' way.
    __attribute__((noinline, cold)) static vec split_load(const char *p, size_t here, uint64_t mask)
    {
        return load_before_page_end(p, here, mask);
    }
    // A whole store across a page, out of the bulk loops' way.
    __attribute__((noinline, cold)) static void split_store(char *p, size_t here, vec v)
    {
        store_across_page_end(p, here, ~0ULL, v);
    }
    // Each page's bytes by a store of its own: the 64 bytes that end at
    // the page end, and the 64 that start there.
    __attribute__((always_inline)) static void store_across_page_end(char *p, size_t here, uint64_t mask, vec v)
    {
        __m512i r = rotate_down(v, here);
        uint64_t in_this = mask << (64 - here), in_next = mask >> here;
        if (in_this != 0)
            _mm512_mask_storeu_epi8(p + here - 64, (__mmask64)in_this, r);
        if (in_next != 0)
            _mm512_mask_storeu_epi8(p + here, (__mmask64)in_next, r);
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
 * A short text, up to 127 bytes, as a short-text kernel sees it: its first
 * 64 bytes in lo, the next 64 in hi (zero when the text ends in lo), and
 * its length, or 128 when the text is longer or must go the long way.
 */
struct short_text {
    __m512i lo;
    __m512i hi;
    size_t len;
};

/*
 * The first 64 bytes at p, or those before p's page ends, and zeros after
 * them: loads that never leave p's page.  The plain load is the intrinsic
 * itself, so that no instrumented helper is called.
 */
__attribute__((no_sanitize("address", "thread"), always_inline)) inline __m512i
load_to_page_end(const char *p, uint64_t *loaded)
{
    size_t here = to_page_end(p);
    *loaded = here >= 64 ? ~0ULL : first_bits(here);
    if (__builtin_expect(here >= 64, 1))
        return _mm512_loadu_si512(p);
    return vec512::load_before_page_end(p, here, *loaded);
}

/*
 * Loads a short text: from in to the end of its page, and when no
 * terminator is among the first 64 bytes, the next 64 the same way.  Bytes
 * past the terminator are loaded but never used.  It reads past the
 * terminator on purpose, so the sanitizers are told not to look at the
 * loads; AddressSanitizer is asked instead whether the text and its
 * terminator are addressable, and a text that is not goes the long way,
 * whose checked reads report it.  A text that does not end within the
 * first load's page and 64 bytes goes the long way too.
 */
__attribute__((no_sanitize("address", "thread"))) inline short_text load_short_text(const char *in)
{
    short_text t;
    uint64_t loaded;
    t.lo = load_to_page_end(in, &loaded);
    t.hi = _mm512_setzero_si512();
    uint64_t nul = vec512::to_bits(vec512::eq(t.lo, '\0')) & loaded;
    if (nul != 0) {
        t.len = (size_t)__builtin_ctzll(nul);
    } else if (loaded != ~0ULL) {
        t.len = 128;
    } else {
        t.hi = load_to_page_end(in + 64, &loaded);
        nul = vec512::to_bits(vec512::eq(t.hi, '\0')) & loaded;
        t.len = nul != 0 ? 64 + (size_t)__builtin_ctzll(nul) : 128;
    }
#ifdef TEXTCODEC_ADDRESS_SANITIZER
    if (t.len < 128 && __asan_region_is_poisoned(const_cast<char *>(in), t.len + 1) != nullptr)
        t.len = 128;
#endif
    return t;
}

/* The bits of lo and of hi that hold the first len bytes of a text. */
inline uint64_t lo_bits(size_t len)
{
    return first_bits(len < 64 ? len : 64);
}
inline uint64_t hi_bits(size_t len)
{
    return len > 64 ? first_bits(len - 64) : 0;
}

/* The special bytes of a short text: bit k of lo for in[k], of hi for in[64 + k]. */
struct text_bits {
    uint64_t lo;
    uint64_t hi;
};

inline text_bits specials_of(const short_text &t)
{
    return {special_bytes<vec512>(t.lo) & lo_bits(t.len), special_bytes<vec512>(t.hi) & hi_bits(t.len)};
}

/* Writes the n < 128 bytes of lo and hi, and a terminator, at out. */
inline void store_text(char *out, __m512i lo, __m512i hi, size_t n)
{
    vec512::masked_store(out, lo_bits(n), lo);
    if (n > 64)
        vec512::masked_store(out + 64, hi_bits(n), hi);
    out[n] = '\0';
}

/* Writes the n < 128 bytes at src, and a terminator, at out: src lies within a loaded text. */
inline void copy_text(char *out, const char *src, size_t n)
{
    store_text(out, vec512::masked_load(src, lo_bits(n)), vec512::masked_load(src + 64, hi_bits(n)), n);
}

/*
 * A short text without special bytes, as every converter copies it: its
 * length, having written it and its terminator, or TEXTCODEC_LONG for a
 * text that is longer, has a special byte or does not fit.  Empty texts
 * are the converters' own.
 */
inline int copy_short_plain(char *out, const short_text &t, int capacity)
{
    text_bits special = specials_of(t);
    if (t.len == 0 || t.len >= 128 || (special.lo | special.hi) != 0)
        return TEXTCODEC_LONG;
    if (out == NULL)
        return (int)t.len;
    if (capacity < 0 || (size_t)capacity < t.len)
        return TEXTCODEC_LONG;
    store_text(out, t.lo, t.hi, t.len);
    return (int)t.len;
}

/*
 * c_text_to_kel of a short text whose only special bytes are its
 * enclosing quotes, if any: the text as it stands.
 */
TEXTCODEC_SHORT_TEXT_KERNEL short_c_text_to_kel(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    if (t.len == 0 || t.len >= 128)
        return TEXTCODEC_LONG;
    text_bits special = specials_of(t);
    if (in[0] == '"' && in[t.len - 1] == '"') {
        special.lo &= ~1ULL & ~(t.len <= 64 ? 1ULL << (t.len - 1) : 0);
        special.hi &= ~(t.len > 64 ? 1ULL << (t.len - 65) : 0);
    }
    if ((special.lo | special.hi) != 0)
        return TEXTCODEC_LONG;
    if (out == NULL)
        return (int)t.len;
    if (capacity < 0 || (size_t)capacity < t.len)
        return TEXTCODEC_LONG;
    store_text(out, t.lo, t.hi, t.len);
    return (int)t.len;
}

} // namespace

#endif

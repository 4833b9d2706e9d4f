// SPDX-License-Identifier: MIT
/*
 * The short-text kernels of the widths without masked loads and stores
 * (SSE2, AVX2), written once over their vector V: a text of up to 127
 * bytes is found and classified in 64-byte halves of plain loads, then
 * copied, or encoded or decoded run by run between its special bytes,
 * without a length pass or a call.  The AVX-512 levels have their own
 * (textcodec_vec512.h).  Internal linkage, as for everything the kernels
 * share (see textcodec_kernels_generic.h).
 */
#ifndef TEXTCODEC_SHORT_TEXT_H
#define TEXTCODEC_SHORT_TEXT_H

#include "textcodec_kernels_generic.h"

#include <stdint.h>

namespace
{

/*
 * A short text as these kernels see it: its length, or 128 when it is
 * longer or must go the long way, and a bit for each of its special
 * bytes, in[k] in bit k of lo, in[64 + k] in bit k of hi.
 */
struct text_scan {
    size_t len;
    uint64_t lo;
    uint64_t hi;
};

/*
 * The terminator and the special bytes among the 64 bytes at p, as bits;
 * those past the terminator stay in special, for the caller to drop.
 * The loads may read past the text, and are not checked (see below).
 */
template <class V>
__attribute__((no_sanitize("address", "thread"))) inline void scan_half(const char *p, uint64_t *nul,
                                                                        uint64_t *special)
{
    static_assert(64 % V::W == 0, "a half is whole vectors");
    *nul = 0;
    *special = 0;
    for (size_t k = 0; k < 64; k += V::W) {
        typename V::vec v = V::load_unchecked(p + k);
        *nul |= V::to_bits(V::eq(v, '\0')) << k;
        *special |= special_bytes<V>(v) << k;
    }
}

/*
 * Finds the end of a short text and its special bytes: the 64 bytes at
 * in, and when no terminator is among them, the next 64.  A half is
 * loaded only when it lies within in's page, so no load can fault; a
 * text whose halves would cross the page goes the long way (one in 64
 * page offsets or fewer).  The loads read past the terminator on
 * purpose, so the sanitizers are told not to look at them;
 * AddressSanitizer is asked instead whether the text and its terminator
 * are addressable, and a text that is not goes the long way, whose
 * checked reads report it.
 */
template <class V> __attribute__((no_sanitize("address", "thread"))) inline text_scan scan_short_text(const char *in)
{
    const size_t PAGE = 4096;
    size_t to_page_end = PAGE - ((uintptr_t)in & (PAGE - 1));
    text_scan s = {128, 0, 0};
    uint64_t nul, special;
    if (to_page_end < 64)
        return s;
    scan_half<V>(in, &nul, &special);
    if (nul != 0) {
        s.len = (size_t)__builtin_ctzll(nul);
        s.lo = special & ((1ULL << s.len) - 1);
    } else if (to_page_end >= 128) {
        s.lo = special;
        scan_half<V>(in + 64, &nul, &special);
        if (nul != 0) {
            s.len = 64 + (size_t)__builtin_ctzll(nul);
            s.hi = special & ((1ULL << (s.len - 64)) - 1);
        }
    }
#ifdef TEXTCODEC_ADDRESS_SANITIZER
    if (s.len < 128 && __asan_region_is_poisoned(const_cast<char *>(in), s.len + 1) != nullptr)
        s.len = 128;
#endif
    return s;
}

/*
 * The vector the short kernels hand to encode_sparse and decode_sparse:
 * they take a text in halves of up to 64 bytes, whose runs copy_exact
 * copies whole.
 */
struct text_half {
    static constexpr size_t W = 64;
    static void copy(char *dst, const char *src, size_t k)
    {
        copy_exact(dst, src, k);
    }
};

/*
 * Writes the n < 128 bytes at src and a terminator at out, and returns n;
 * in measure mode (out null) only returns it; returns TEXTCODEC_LONG for a
 * text that does not fit.
 */
inline int put_short_text(char *out, const char *src, size_t n, int capacity)
{
    if (out == NULL)
        return (int)n;
    if (capacity < 0 || (size_t)capacity < n)
        return TEXTCODEC_LONG;
    size_t first = n < 64 ? n : 64;
    copy_exact(out, src, first);
    copy_exact(out + first, src + first, n - first);
    out[n] = '\0';
    return (int)n;
}

/*
 * c_text_to_kel of a short text whose only special bytes are its
 * enclosing quotes, if any: the text as it stands.
 */
template <class V> TEXTCODEC_SHORT_TEXT_KERNEL short_c_text_to_kel_of(char *out, const char *in, int capacity)
{
    text_scan s = scan_short_text<V>(in);
    if (s.len == 0 || s.len >= 128)
        return TEXTCODEC_LONG;
    if (in[0] == '"' && in[s.len - 1] == '"') {
        size_t last = s.len - 1;
        s.lo &= ~1ULL & ~(last < 64 ? 1ULL << last : 0);
        s.hi &= ~(last >= 64 ? 1ULL << (last - 64) : 0);
    }
    if ((s.lo | s.hi) != 0)
        return TEXTCODEC_LONG;
    return put_short_text(out, in, s.len, capacity);
}

/* The forms of a half of n bytes with the given special bytes. */
template <bool Write> inline void encode_half(const char *half, size_t n, uint64_t special, progress *p)
{
    if (special != 0) {
        encode_sparse<text_half, Write>(half, n, special, p);
        return;
    }
    if (Write) {
        copy_exact(p->dst, half, n);
        p->dst += n;
    }
    p->made += n;
}

/*
 * raw_text_to_kel of a short text: each half copied run by run between
 * its special bytes, each of which is written in its form.  Every form
 * has at most 4 characters, so a buffer of len + 3 per special byte
 * always holds the text; a smaller one goes the long way, which says
 * whether it fits.
 */
template <class V> TEXTCODEC_SHORT_TEXT_KERNEL short_raw_text_to_kel_of(char *out, const char *in, int capacity)
{
    text_scan s = scan_short_text<V>(in);
    if (s.len == 0 || s.len >= 128)
        return TEXTCODEC_LONG;
    if ((s.lo | s.hi) == 0)
        return put_short_text(out, in, s.len, capacity);
    size_t first = s.len < 64 ? s.len : 64;
    progress p = {out, 0, 0};
    if (out == NULL) {
        encode_half<false>(in, first, s.lo, &p);
        encode_half<false>(in + first, s.len - first, s.hi, &p);
        return (int)p.made;
    }
    size_t most = s.len + 3 * (size_t)(__builtin_popcountll(s.lo) + __builtin_popcountll(s.hi));
    if (capacity < 0 || (size_t)capacity < most)
        return TEXTCODEC_LONG;
    encode_half<true>(in, first, s.lo, &p);
    encode_half<true>(in + first, s.len - first, s.hi, &p);
    out[p.made] = '\0';
    return (int)p.made;
}

/*
 * Decodes a body of n < 128 bytes whose special bytes are lo and hi, as
 * kel_text_to_raw's kernel does, in its two halves; an escape of the
 * first half may reach into the second, which then starts after it.
 * Returns false at anything that is not easy.
 */
template <bool Write> inline bool decode_halves(const char *body, size_t n, uint64_t lo, uint64_t hi, progress *p)
{
    bool hard = false;
    size_t at = decode_sparse<text_half, Write>(body, body + n, n < 64 ? n : 64, lo, p, &hard);
    if (!hard && at < n)
        decode_sparse<text_half, Write>(body + at, body + n, n - at, hi >> (at - 64), p, &hard);
    return !hard;
}

/*
 * kel_text_to_raw of a short text, quoted or not, whose escapes are all
 * common ones (a letter, three octal digits): the body decoded once to
 * see that all of it is easy and how long it becomes, then again into
 * the buffer, so that nothing is written for a text that goes the long
 * way.  An escape that would read the closing quote is not easy.
 */
template <class V> TEXTCODEC_SHORT_TEXT_KERNEL short_kel_text_to_raw_of(char *out, const char *in, int capacity)
{
    text_scan s = scan_short_text<V>(in);
    if (s.len == 0 || s.len >= 128)
        return TEXTCODEC_LONG;
    const char *body = in;
    size_t n = s.len;
    // Unbalanced quotes are the long way's to refuse: a text may end in
    // \" and yet open with none.
    if ((in[0] == '"') != (in[s.len - 1] == '"'))
        return TEXTCODEC_LONG;
    if (in[0] == '"') {
        if (s.len < 3)
            return TEXTCODEC_LONG;
        // The body's bits: all one place down, without the closing quote's.
        body = in + 1;
        n = s.len - 2;
        s.lo = s.lo >> 1 | s.hi << 63;
        s.hi >>= 1;
        if (n < 64)
            s.lo &= (1ULL << n) - 1;
        else
            s.hi &= (1ULL << (n - 64)) - 1;
    }
    if ((s.lo | s.hi) == 0)
        return put_short_text(out, body, n, capacity);
    progress p = {NULL, 0, 0};
    if (!decode_halves<false>(body, n, s.lo, s.hi, &p))
        return TEXTCODEC_LONG;
    if (out == NULL)
        return (int)p.made;
    if (capacity < 0 || (size_t)capacity < p.made)
        return TEXTCODEC_LONG;
    p.dst = out;
    p.made = 0;
    decode_halves<true>(body, n, s.lo, s.hi, &p);
    out[p.made] = '\0';
    return (int)p.made;
}

/* The kernels of a width without masked loads, its short-text kernels among them. */
template <class V> constexpr struct textcodec_kernels kernels_with_short_text()
{
    return kernels_of<V>(short_c_text_to_kel_of<V>, short_kel_text_to_raw_of<V>, short_raw_text_to_kel_of<V>);
}

} // namespace

#endif

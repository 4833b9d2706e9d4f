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

#include "textcodec_vec128.h"

#include <stdint.h>

#include <utility>

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
 * The loads may read past the text: V::load_unchecked, which the
 * sanitizers do not look at (see below).
 */
template <class V, size_t... k>
__attribute__((always_inline)) inline void scan_half(const char *p, uint64_t *nul, uint64_t *special, std::index_sequence<k...>)
{
    typename V::vec v[] = {V::load_unchecked(p + k * V::W)...};
    *nul = ((V::to_bits(V::eq(v[k], '\0')) << (k * V::W)) | ...);
    *special = ((special_bytes<V>(v[k]) << (k * V::W)) | ...);
}

template <class V> __attribute__((always_inline)) inline void scan_half(const char *p, uint64_t *nul, uint64_t *special)
{
    static_assert(64 % V::W == 0, "a half is whole vectors");
    scan_half<V>(p, nul, special, std::make_index_sequence<64 / V::W>());
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
template <class V> __attribute__((always_inline)) inline text_scan scan_short_text(const char *in)
{
    size_t here = to_page_end(in);
    text_scan s = {128, 0, 0};
    uint64_t nul, special;
    if (here < 64)
        return s;
    scan_half<V>(in, &nul, &special);
    if (nul != 0) {
        s.len = (size_t)__builtin_ctzll(nul);
        s.lo = special & ((1ULL << s.len) - 1);
    } else if (here >= 128) {
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

/* Copies k <= 128 bytes exactly, with at most four moves. */
inline void copy_short(char *dst, const char *src, size_t k)
{
    size_t first = k < 64 ? k : 64;
    copy_exact(dst, src, first);
    copy_exact(dst + first, src + first, k - first);
}

/*
 * Copies a run of k < 128 bytes of a text to dst.  covered is a point up
 * to which the writes after the run write every byte anyway, so where it
 * lies far enough, one move of 64 or 16 bytes copies the run and the
 * bytes after it, which are then overwritten: no branch on the run's
 * exact length.  The caller sees that src + (covered - dst) does not pass
 * the text's end.
 */
template <class V> inline void copy_run(char *dst, const char *src, size_t k, const char *covered)
{
    if (k <= 64 && covered - dst >= 64) {
        for (size_t j = 0; j < 64; j += V::W)
            V::store(dst + j, V::load(src + j));
    } else if (k <= 16 && covered - dst >= 16) {
        vec128::store(dst, vec128::load(src));
    } else {
        copy_short(dst, src, k);
    }
}

/* The first special byte of a short text at or after at, or 128 for none. */
inline size_t next_special(const text_scan &s, size_t at)
{
    uint64_t lo = at < 64 ? s.lo & ~0ULL << at : 0;
    uint64_t hi = at < 64 ? s.hi : at < 128 ? s.hi & ~0ULL << (at - 64) : 0;
    return lo != 0 ? (size_t)__builtin_ctzll(lo) : hi != 0 ? 64 + (size_t)__builtin_ctzll(hi) : 128;
}

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
    copy_short(out, src, n);
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

/*
 * The length of a short text's forms, and in write mode the forms and a
 * terminator at dst: the runs between special bytes copied by copy_run,
 * each special byte in its form.  Every form is at least as long as its
 * byte, so the writes cover dst + len at least, and a run's wide move
 * reads no further into the text than it writes into the output.
 */
template <class V, bool Write> inline size_t encode_short(char *dst, const char *in, const text_scan &s)
{
    char *out = dst;
    size_t made = 0, at = 0;
    for (size_t k = next_special(s, 0); k < 128; k = next_special(s, at)) {
        const byte_form &form = kel_forms.of[(unsigned char)in[k]];
        if (Write) {
            copy_run<V>(dst, in + at, k - at, out + s.len);
            put_escape_form(dst + (k - at), form);
            dst += k - at + (size_t)form.len;
        }
        made += k - at + (size_t)form.len;
        at = k + 1;
    }
    if (Write)
        copy_short(dst, in + at, s.len - at + 1);
    return made + s.len - at;
}

/*
 * raw_text_to_kel of a short text with special bytes.  Every form has at
 * most 4 characters, so a buffer of len + 3 per special byte always holds
 * the text, and the text is written at once; for a smaller one its length
 * is found first.  Apart from the kernel, so that a plain text never
 * pays for this one's frame.
 */
template <class V>
__attribute__((noinline)) int short_special_raw_text_to_kel(char *out, const char *in, int capacity, size_t len,
                                                            uint64_t lo, uint64_t hi)
{
    text_scan s = {len, lo, hi};
    if (out == NULL)
        return (int)encode_short<V, false>(out, in, s);
    size_t most = len + 3 * (size_t)(__builtin_popcountll(lo) + __builtin_popcountll(hi));
    if (capacity < 0 || ((size_t)capacity < most && (size_t)capacity < encode_short<V, false>(out, in, s)))
        return TEXTCODEC_LONG;
    return (int)encode_short<V, true>(out, in, s);
}

/* raw_text_to_kel of a short text. */
template <class V> TEXTCODEC_SHORT_TEXT_KERNEL short_raw_text_to_kel_of(char *out, const char *in, int capacity)
{
    text_scan s = scan_short_text<V>(in);
    if (s.len == 0 || s.len >= 128)
        return TEXTCODEC_LONG;
    if ((s.lo | s.hi) == 0)
        return put_short_text(out, in, s.len, capacity);
    return short_special_raw_text_to_kel<V>(out, in, capacity, s.len, s.lo, s.hi);
}

/*
 * Decodes a body of n < 128 bytes whose special bytes s holds, as
 * kel_text_to_raw's kernel does, without writing: returns how long the
 * text becomes, and in *last where its last run begins, after its last
 * escape; or -1 at anything that is not easy.
 */
inline int measure_decoded(const char *body, size_t n, const text_scan &s, size_t *last)
{
    size_t made = 0, at = 0;
    for (size_t k = next_special(s, 0); k < n; k = next_special(s, at)) {
        char decoded = 0;
        int span = body[k] == '\\' ? decode_common_escape(body + k, body + n, &decoded) : 0;
        if (span == 0)
            return -1;
        made += k - at + 1;
        at = k + (size_t)span;
    }
    *last = at;
    return (int)(made + n - at);
}

/*
 * Writes the decoded body, made characters, and a terminator at out, as
 * encode_short writes forms: the runs between escapes by copy_run, each
 * escape decoded, up to last, where the last run begins.  The writes
 * cover out + made, and a run's wide move reads no further into the body
 * than it writes into the output, as an escape has more bytes than its
 * character.
 */
template <class V> inline void decode_short(char *out, const char *body, size_t n, const text_scan &s, size_t made, size_t last)
{
    char *dst = out;
    size_t at = 0;
    for (size_t k = next_special(s, 0); k < last; k = next_special(s, at)) {
        char decoded = 0;
        int span = decode_common_escape(body + k, body + n, &decoded);
        copy_run<V>(dst, body + at, k - at, out + made);
        dst[k - at] = decoded;
        dst += k - at + 1;
        at = k + (size_t)span;
    }
    copy_short(dst, body + at, n - at);
    dst[n - at] = '\0';
}

/*
 * kel_text_to_raw of a short body with special bytes, if its escapes are
 * all common ones (a letter, three octal digits): the body decoded once
 * to see that all of it is easy and how long it becomes, then again into
 * the buffer.  An escape that would read the closing quote is not easy.
 * Apart from the kernel, as for raw_text_to_kel.
 */
template <class V>
__attribute__((noinline)) int short_special_kel_text_to_raw(char *out, const char *body, int capacity, size_t n,
                                                            uint64_t lo, uint64_t hi)
{
    text_scan s = {n, lo, hi};
    size_t last;
    int made = measure_decoded(body, n, s, &last);
    if (made < 0 || out == NULL)
        return made < 0 ? TEXTCODEC_LONG : made;
    if (capacity < made)
        return TEXTCODEC_LONG;
    decode_short<V>(out, body, n, s, (size_t)made, last);
    return made;
}

/* kel_text_to_raw of a short text, quoted or not. */
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
    return short_special_kel_text_to_raw<V>(out, body, capacity, n, s.lo, s.hi);
}

/* ---- kel_text_to_raw from escape to escape ----------------------------- */

/* The special bytes of the 64 at p, as bits. */
template <class V, size_t... k> inline uint64_t specials_of_64(const char *p, std::index_sequence<k...>)
{
    return ((special_bytes<V>(V::load(p + k * V::W)) << (k * V::W)) | ...);
}

/* The vector decode_sparse takes for a window of 64 bytes, whose runs copy_exact copies. */
struct text_runs {
    static void copy(char *dst, const char *src, size_t k)
    {
        copy_exact(dst, src, k);
    }
};

/*
 * Copies a run of k bytes, of a text whose next `certain` bytes from src
 * on are written at dst whatever follows (the run, an easy escape's
 * character, and the plain bytes after it): where those cover a move of
 * 16, 32 or 64 bytes, one move copies the run and some of what follows,
 * which is then written again; else the run exactly.
 */
template <class V> inline void copy_run_within(char *dst, const char *src, size_t k, size_t certain)
{
    if (k <= 16 && certain >= 16) {
        vec128::store(dst, vec128::load(src));
    } else if (k <= 32 && certain >= 32) {
        memcpy(dst, src, 32);
    } else if (k <= 64 && certain >= 64) {
        memcpy(dst, src, 64);
    } else {
        copy_short(dst, src, k);
    }
}

/*
 * kel_text_to_raw's kernel for the widths without masked stores: the
 * text is taken 64 bytes at a time from wherever the last escape ended,
 * so that the run after an escape is copied with the bytes before the
 * next one, and a run is copied by copy_run_within against the plain
 * bytes after its escape, which are written whatever comes next: the
 * exact path, or the next run, writes them, unless the room ends first,
 * and the window never reaches past the room.  A window without special
 * bytes is stored whole, then a plain run four vectors at a time; a dense
 * one, whose runs are too short for a spare move, is decoded as a block.
 * At an escape that is not easy the run before it is copied exactly and
 * the kernel returns; the last bytes of the text or of the room are the
 * block kernel's.
 */
template <class V, bool Write>
size_t kel_text_to_raw_by_escapes(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    progress p = {o->next, 0, textcodec_room(o)};
    // A window of 64 bytes never gives more than 64 characters.
    while (len - i >= 64 && p.left() >= 64) {
        const char *win = in + i;
        uint64_t special = specials_of_64<V>(win, std::make_index_sequence<64 / V::W>());
        if (special == 0) {
            if (Write) {
                memcpy(p.dst, win, 64);
                p.dst += 64;
            }
            p.made += 64;
            i = copy_plain_run<V, Write>(in, len, i + 64, &p);
            continue;
        }
        bool hard = false;
        if (__builtin_popcountll(special) > 8) {
            i += decode_sparse<text_runs, Write>(win, in + len, 64, special, &p, &hard);
            if (!hard)
                continue;
            commit(o, p.dst, p.made);
            return i;
        }
        size_t at = 0;
        while (special != 0) {
            size_t k = (size_t)__builtin_ctzll(special);
            char decoded = 0;
            int span = win[k] == '\\' ? decode_common_escape(win + k, in + len, &decoded) : 0;
            if (span == 0) {
                if (Write) {
                    copy_short(p.dst, win + at, k - at);
                    p.dst += k - at;
                }
                p.made += k - at;
                at = k;
                hard = true;
                break;
            }
            size_t end = k + (size_t)span;
            special = end < 64 ? special & ~0ULL << end : 0;
            if (Write) {
                size_t next = special != 0 ? (size_t)__builtin_ctzll(special) : 64;
                size_t plain_after = next > end ? next - end : 0;
                copy_run_within<V>(p.dst, win + at, k - at, k - at + 1 + plain_after);
                p.dst[k - at] = decoded;
                p.dst += k - at + 1;
            }
            p.made += k - at + 1;
            at = end;
        }
        i += at;
        if (hard) {
            commit(o, p.dst, p.made);
            return i;
        }
    }
    commit(o, p.dst, p.made);
    return i < len ? kel_text_to_raw_kernel<V, Write>(in, len, i, o) : i;
}

/* The kernels of a width without masked loads, its short-text kernels among them. */
template <class V> constexpr struct textcodec_kernels kernels_with_short_text()
{
    struct textcodec_kernels k =
        kernels_of<V>(short_c_text_to_kel_of<V>, short_kel_text_to_raw_of<V>, short_raw_text_to_kel_of<V>);
    k.kel_text_to_raw = either<kel_text_to_raw_by_escapes<V, true>, kel_text_to_raw_by_escapes<V, false>>;
    return k;
}

} // namespace

#endif

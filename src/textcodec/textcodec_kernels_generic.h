// SPDX-License-Identifier: MIT
/*
 * The kernels, written once over a vector of W bytes (V), which provides
 * a few primitives:
 *
 *   V::W                  the bytes of a vector, at most 64
 *   V::load(p)            the W bytes at p
 *   V::load_aligned(p)    the W bytes at p, W-aligned, unchecked by
 *                         AddressSanitizer and ThreadSanitizer
 *   V::load_unchecked(p)  the same, unaligned, for the short-text kernels
 *                         (textcodec_short_text.h) of SSE2 and AVX2
 *   V::store(p, v)        all W bytes of v to p
 *   V::store_in_page(p, v)  the same where they lie within one page (the
 *                         AVX-512 store splits one that does not)
 *   V::copy(dst, src, k)  k < W bytes from src to dst, and nothing else
 *   V::to_bits(m)         a mask as a bit for each byte
 *   V::nibble_lookup      whether the width looks bytes up by nibble:
 *                         then V::by_nibbles(v, low, high) gives the
 *                         bytes whose nibbles' entries in two tables of
 *                         16 share a bit; else it compares, with
 *   V::eq(v, c)           a mask of the bytes of v equal to c
 *   V::printable(v)       a mask of the bytes of v from 0x20 to 0x7e
 *   V::or_(a, b), V::andnot(a, b)   a | b, a & ~b of two masks
 *   V::narrower           the vector for the last bytes, or void
 *
 * A mask stays in the vector unit (a vector of 0 and 0xff bytes, or an
 * AVX-512 mask register) until the one move to bits.
 *
 * From these the class of special bytes (those that are not plain) is
 * written once, below, from the rules' list.  A kernel takes its input a
 * block of W bytes at a time: a block with no special byte is stored
 * whole; a sparse one is copied run by run between its special bytes; a
 * dense one is encoded through the table without a branch per byte.  At
 * anything that is not easy it returns, and the exact path takes over
 * there.  A kernel given len reads whole vectors only where all of their
 * bytes lie before len, so it never reads past its input; it leaves the
 * last bytes of a text to a narrower vector, and does the last bytes of
 * the text or of the room one at a time.  raw_text_to_kel's kernel, which
 * finds the terminator itself, reads aligned vectors instead, which may
 * go past the terminator but never past its page.  No kernel reads its
 * output back: a store in flight would stall the load.
 *
 * Included by one source file per instruction set, each compiled for it;
 * everything here has internal linkage, so no function compiled for a
 * wider set can be linked in for a narrower one.
 */
#ifndef TEXTCODEC_KERNELS_GENERIC_H
#define TEXTCODEC_KERNELS_GENERIC_H

#include "textcodec_convert.h"
#include "textcodec_kernels.h"
#include "textcodec_rules.h"
#include "textcodec_tables.h"

#include <stdint.h>
#include <string.h>

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

#include <type_traits>
#include <utility>

namespace
{

/* The bytes from p to the end of its page: 1 to 4096. */
inline size_t to_page_end(const void *p)
{
    const size_t PAGE = 4096;
    return PAGE - ((uintptr_t)p & (PAGE - 1));
}

/* ---- Helpers ---------------------------------------------------------- */

/*
 * Copies k bytes (k <= 64) with at most two overlapping moves of one width,
 * reading only the source.
 */
inline void copy_exact(char *dst, const char *src, size_t k)
{
    if (k >= 32) {
        memcpy(dst, src, 32);
        memcpy(dst + k - 32, src + k - 32, 32);
    } else if (k >= 16) {
        memcpy(dst, src, 16);
        memcpy(dst + k - 16, src + k - 16, 16);
    } else if (k >= 8) {
        memcpy(dst, src, 8);
        memcpy(dst + k - 8, src + k - 8, 8);
    } else if (k >= 4) {
        memcpy(dst, src, 4);
        memcpy(dst + k - 4, src + k - 4, 4);
    } else if (k >= 2) {
        memcpy(dst, src, 2);
        memcpy(dst + k - 2, src + k - 2, 2);
    } else if (k == 1) {
        dst[0] = src[0];
    }
}

/*
 * Writes the form of a byte that is not plain (2 or 4 characters) at p,
 * and no byte after it: the second half of a 4-character form goes to
 * p + 2, that of a 2-character one to a scratch pair, without a branch.
 */
inline void put_escape_form(char *p, const byte_form &f)
{
    static_assert(sizeof f.text == 4, "forms are padded to 4 bytes");
    char scratch[2];
    memcpy(p, f.text, 2);
    memcpy(f.len == 4 ? p + 2 : scratch, f.text + 2, 2);
}

/* Writes any byte's form (1, 2 or 4 characters) at p, and no byte after it. */
inline void put_form(char *p, char ch, const byte_form &f)
{
    if (f.len == 1)
        *p = ch;
    else
        put_escape_form(p, f);
}

/* The vector for the last bytes of a text: V::narrower, or none. */
template <class V> constexpr bool has_narrower()
{
    return !std::is_void<typename V::narrower>::value;
}

template <class V> struct narrower {
    typedef typename std::conditional<has_narrower<V>(), typename V::narrower, V>::type type;
};

/* Records in o the characters a kernel made and where its writing ended. */
inline void commit(struct textcodec_output *o, char *dst, size_t made)
{
    if (o->start != NULL)
        o->next = dst;
    o->count += (int)made;
}

/*
 * Where a kernel is in its output: the next byte to write (advanced only
 * when writing), how many characters it made, and the room it had.
 */
struct progress {
    char *dst;
    size_t made;
    size_t room;
    size_t left() const
    {
        return room - made;
    }
};

/*
 * Copies in[i..) four blocks at a time while none of them holds a special
 * byte and they fit both the input (len) and the room; returns where the
 * run ends.  Four blocks are classified together, so that a long plain
 * text costs one branch per 4W bytes.
 */
template <class V, bool Write>
inline size_t copy_plain_run(const char *in, size_t len, size_t i, progress *p)
{
    while (len - i >= 4 * V::W && p->left() >= 4 * V::W) {
        typename V::vec a = V::load(in + i), b = V::load(in + i + V::W);
        typename V::vec c = V::load(in + i + 2 * V::W), d = V::load(in + i + 3 * V::W);
        if ((special_bytes<V>(a) | special_bytes<V>(b) | special_bytes<V>(c) | special_bytes<V>(d)) != 0)
            break;
        if (Write) {
            // One look at the page for the four stores.
            if (to_page_end(p->dst) >= 4 * V::W) {
                V::store_in_page(p->dst, a);
                V::store_in_page(p->dst + V::W, b);
                V::store_in_page(p->dst + 2 * V::W, c);
                V::store_in_page(p->dst + 3 * V::W, d);
            } else {
                V::store(p->dst, a);
                V::store(p->dst + V::W, b);
                V::store(p->dst + 2 * V::W, c);
                V::store(p->dst + 3 * V::W, d);
            }
            p->dst += 4 * V::W;
        }
        p->made += 4 * V::W;
        i += 4 * V::W;
    }
    return i;
}

/* ---- raw_text_to_kel -------------------------------------------------- */

/*
 * A block of n bytes with s special bytes becomes at most n + 3s
 * characters (a form has at most 4).  The dense strategy stores 4 bytes
 * per byte, the form's and up to 3 after it that the next forms write
 * over (the last three forms are written exactly), so it needs 4n bytes
 * of room.
 */
template <class V> constexpr unsigned dense_block()
{
    return (unsigned)V::W / 8;
}

template <class V, bool Write> void encode_dense(const char *block, size_t n, progress *p)
{
    // A form stored as 4 bytes stays within the text while at least 3 more
    // characters follow it: so do all but the last three forms.
    static_assert(V::W >= 4, "a dense block has more than three forms");
    size_t start = p->made;
    size_t k = 0;
    for (; k + 3 < n; k++) {
        const byte_form &f = kel_forms.of[(unsigned char)block[k]];
        if (Write)
            memcpy(p->dst + (p->made - start), f.text, 4);
        p->made += (size_t)f.len;
    }
    for (; k < n; k++) {
        const byte_form &f = kel_forms.of[(unsigned char)block[k]];
        if (Write)
            put_form(p->dst + (p->made - start), block[k], f);
        p->made += (size_t)f.len;
    }
    if (Write)
        p->dst += p->made - start;
}

template <class V, bool Write>
void encode_sparse(const char *block, size_t n, uint64_t special, progress *p)
{
    size_t at = 0;
    do {
        size_t k = (size_t)__builtin_ctzll(special);
        const byte_form &f = kel_forms.of[(unsigned char)block[k]];
        if (Write) {
            V::copy(p->dst, block + at, k - at);
            put_escape_form(p->dst + (k - at), f);
            p->dst += k - at + (size_t)f.len;
        }
        p->made += k - at + (size_t)f.len;
        at = k + 1;
        special &= special - 1;
    } while (special != 0);
    if (Write) {
        V::copy(p->dst, block + at, n - at);
        p->dst += n - at;
    }
    p->made += n - at;
}

/*
 * raw_text_to_kel from in[i] to the terminator, in one read: the
 * terminator is found in the same loads that classify the bytes.  The
 * loads are aligned, so that none crosses a page: the first one takes
 * the block that holds in[i] and leaves the bytes before it aside.  Each
 * loads bytes past the terminator on purpose, within its page, so the
 * sanitizers are told not to look at the loads (bytes past the text may
 * belong to a freed block), and AddressSanitizer is asked instead,
 * block by block, whether the bytes of the text and its terminator are
 * addressable; at a block that is not, the kernel stops, and the exact
 * path's checked reads report it.  A block without special bytes is
 * stored whole.  Returns where it stopped: at the terminator, or where
 * the room ends within a block.
 */
template <class V, bool Write>
__attribute__((no_sanitize("address"))) size_t raw_text_to_kel_to_end(const char *in, size_t i,
                                                                      struct textcodec_output *o)
{
    progress p = {o->next, 0, textcodec_room(o)};
    const char *at = in + i;
    size_t skip = (size_t)((uintptr_t)at & (V::W - 1));
    const char *block = at - skip;
    for (;;) {
        typename V::vec v = V::load_aligned(block);
        // The terminator is a special byte too: a block with none has no
        // terminator either, and is not compared with it.
        static_assert(!is_plain(0), "the terminator is not plain");
        uint64_t special = special_bytes<V>(v) >> skip;
        uint64_t nul = special != 0 ? V::to_bits(V::eq(v, '\0')) >> skip : 0;
        size_t n = nul != 0 ? (size_t)__builtin_ctzll(nul) : V::W - skip;
#ifdef TEXTCODEC_ADDRESS_SANITIZER
        if (__asan_region_is_poisoned(const_cast<char *>(at), n + (nul != 0 ? 1 : 0)) != nullptr)
            break;
#endif
        special &= n < 64 ? (1ULL << n) - 1 : ~0ULL;
        if (special == 0) {
            if (p.left() < n)
                break;
            if (Write) {
                if (n == V::W)
                    V::store(p.dst, v);
                else
                    V::copy(p.dst, at, n);
                p.dst += n;
            }
            p.made += n;
        } else {
            unsigned specials = (unsigned)__builtin_popcountll(special);
            if (p.left() < n + 3 * (size_t)specials)
                break;
            if (specials > dense_block<V>() && p.left() >= 4 * n)
                encode_dense<V, Write>(at, n, &p);
            else
                encode_sparse<V, Write>(at, n, special, &p);
        }
        i += n;
        if (nul != 0)
            break;
        block += V::W;
        at = block;
        skip = 0;
    }
    commit(o, p.dst, p.made);
    return i;
}

/* ---- kel_text_to_raw -------------------------------------------------- */

/*
 * Decodes the special bytes of a block one at a time, copying the runs
 * between them; returns how far it got, and *hard when it stopped at an
 * escape or byte that is not easy.  An escape may reach past the block;
 * the next block starts after it.
 */
template <class V, bool Write>
size_t decode_sparse(const char *block, const char *end, size_t n, uint64_t special, progress *p,
                     bool *hard)
{
    size_t at = 0;
    while (special != 0) {
        size_t k = (size_t)__builtin_ctzll(special);
        if (Write) {
            V::copy(p->dst, block + at, k - at);
            p->dst += k - at;
        }
        p->made += k - at;
        at = k;
        char decoded;
        int span = block[k] == '\\' ? decode_common_escape(block + k, end, &decoded) : 0;
        if (span == 0) {
            *hard = true;
            return at;
        }
        if (Write)
            *p->dst++ = decoded;
        p->made += 1;
        at = k + (size_t)span;
        if (at >= n)
            return at;
        special &= ~0ULL << at;
    }
    if (Write) {
        V::copy(p->dst, block + at, n - at);
        p->dst += n - at;
    }
    p->made += n - at;
    return n;
}

template <class V, bool Write>
size_t kel_text_to_raw_kernel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    progress p = {o->next, 0, textcodec_room(o)};
    bool hard = false;
    // A block of n bytes never gives more than n characters.
    while (len - i >= V::W && p.left() >= V::W) {
        typename V::vec v = V::load(in + i);
        uint64_t special = special_bytes<V>(v);
        if (special == 0) {
            if (Write) {
                V::store(p.dst, v);
                p.dst += V::W;
            }
            p.made += V::W;
            i = copy_plain_run<V, Write>(in, len, i + V::W, &p);
            continue;
        }
        i += decode_sparse<V, Write>(in + i, in + len, V::W, special, &p, &hard);
        if (hard)
            break;
    }
    if (!hard && has_narrower<V>() && i < len && len - i < V::W) {
        commit(o, p.dst, p.made);
        return kel_text_to_raw_kernel<typename narrower<V>::type, Write>(in, len, i, o);
    }
    // The last bytes of the text or of the room, one by one.
    while (!hard && i < len && p.made < p.room) {
        char ch = in[i];
        char decoded = ch;
        int span = is_plain((unsigned char)ch) ? 1 : 0;
        if (ch == '\\')
            span = decode_common_escape(in + i, in + len, &decoded);
        if (span == 0)
            break;
        if (Write)
            *p.dst++ = decoded;
        p.made += 1;
        i += (size_t)span;
    }
    commit(o, p.dst, p.made);
    return i;
}

/* ---- c_text_to_kel: runs of plain bytes only -------------------------- */

template <class V, bool Write>
size_t c_text_to_kel_kernel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    progress p = {o->next, 0, textcodec_room(o)};
    bool stopped = false;
    while (len - i >= V::W && p.left() >= V::W) {
        typename V::vec v = V::load(in + i);
        uint64_t special = special_bytes<V>(v);
        size_t k = special == 0 ? V::W : (size_t)__builtin_ctzll(special);
        if (Write) {
            if (k == V::W)
                V::store(p.dst, v);
            else
                V::copy(p.dst, in + i, k);
            p.dst += k;
        }
        p.made += k;
        i += k;
        stopped = k < V::W;
        if (stopped)
            break;
    }
    if (!stopped && has_narrower<V>() && i < len && len - i < V::W) {
        commit(o, p.dst, p.made);
        return c_text_to_kel_kernel<typename narrower<V>::type, Write>(in, len, i, o);
    }
    // The last bytes of the text or of the room, one by one.
    for (; !stopped && i < len && p.made < p.room && is_plain((unsigned char)in[i]); i++) {
        if (Write)
            *p.dst++ = in[i];
        p.made++;
    }
    commit(o, p.dst, p.made);
    return i;
}

/* Runs a kernel in write or measure mode, as the output asks. */
template <size_t (*write)(const char *, size_t, size_t, struct textcodec_output *),
          size_t (*count)(const char *, size_t, size_t, struct textcodec_output *)>
size_t either(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return o->start != NULL ? write(in, len, i, o) : count(in, len, i, o);
}

template <size_t (*write)(const char *, size_t, struct textcodec_output *),
          size_t (*count)(const char *, size_t, struct textcodec_output *)>
size_t either_to_end(const char *in, size_t i, struct textcodec_output *o)
{
    return o->start != NULL ? write(in, i, o) : count(in, i, o);
}

/* The kernels of one vector width, with the short-text kernels given. */
template <class V>
constexpr struct textcodec_kernels kernels_of(textcodec_text_kernel *short_c_text_to_kel = textcodec_no_short_text,
                                              textcodec_text_kernel *short_kel_text_to_raw = textcodec_no_short_text,
                                              textcodec_text_kernel *short_raw_text_to_kel = textcodec_no_short_text)
{
    return {short_c_text_to_kel,
            short_kel_text_to_raw,
            short_raw_text_to_kel,
            either<c_text_to_kel_kernel<V, true>, c_text_to_kel_kernel<V, false>>,
            either<kel_text_to_raw_kernel<V, true>, kel_text_to_raw_kernel<V, false>>,
            either_to_end<raw_text_to_kel_to_end<V, true>, raw_text_to_kel_to_end<V, false>>};
}

} // namespace

#endif

// SPDX-License-Identifier: MIT
/*
 * The kernels, written once over a vector of W bytes (V):
 *
 *   V::W                  the bytes of a vector
 *   V::load(p)            the W bytes at p
 *   V::store(p, v)        all W bytes of v to p
 *   V::special(v)         a bit for each byte of v that is not plain
 *   V::narrower           the vector for the last bytes, or void
 *   V::copy(dst, src, k)  k < 64 bytes from src to dst, and nothing else
 *
 * A kernel takes its input a block of W bytes at a time.  A block with no
 * special byte is stored whole.  Otherwise the kernel walks the special
 * bytes of the block, copying the plain runs between them exactly and
 * handling each special byte when it is easy (a form for the encoder, a
 * common escape for the decoder); at anything else it returns, and the
 * exact path takes over there.  A kernel reads whole vectors only where
 * all of their bytes lie before len, so it never reads past its input; it
 * leaves the last bytes of a text to a narrower vector, and does the last
 * bytes of the text or of the room one at a time.  It never reads its
 * output back: a store in flight would stall the load.
 *
 * Included by one source file per instruction set, each compiled for it;
 * everything here has internal linkage, so no function compiled for a
 * wider set can be linked in for a narrower one.
 */
#ifndef TEXTCODEC_KERNELS_GENERIC_H
#define TEXTCODEC_KERNELS_GENERIC_H

#include "textcodec_kernels.h"
#include "textcodec_rules.h"

#include <stdint.h>
#include <string.h>

#include <type_traits>

namespace
{

/*
 * Copies k bytes (k < 64) with at most two overlapping moves of one width,
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

/* The vector for the last bytes of a text: V::narrower, or V itself when there is none. */
template <class V> struct narrower {
    typedef typename std::conditional<std::is_void<typename V::narrower>::value, V,
                                      typename V::narrower>::type type;
};

/* Records in o the characters a kernel made and where its writing ended. */
inline void commit(struct textcodec_output *o, char *dst, size_t made)
{
    if (o->start != NULL)
        o->next = dst;
    o->count += (int)made;
}

/*
 * Whether the last bytes of the text, fewer than V::W, are left to a
 * narrower vector; if so, what was made so far is handed over in o.
 */
template <class V>
bool hand_to_narrower(const char *, size_t len, size_t i, struct textcodec_output *o, char *dst,
                      size_t made)
{
    if (std::is_void<typename V::narrower>::value || i >= len || i + V::W <= len)
        return false;
    commit(o, dst, made);
    return true;
}

/* The length of the block at in[i]: W bytes, or 0 where fewer are left. */
template <class V> size_t block_length(size_t len, size_t i)
{
    return len - i >= V::W ? V::W : 0;
}

/* Writes the first k bytes of a block, loaded into v from src, at dst. */
template <class V> void put_block(char *dst, typename V::vec v, const char *src, size_t k)
{
    if (k == V::W)
        V::store(dst, v);
    else
        V::copy(dst, src, k);
}

/*
 * A block with more special bytes than this is encoded byte by byte
 * through the table, without a branch on the byte; one with fewer by
 * copying the runs between its special bytes.
 */
template <class V> constexpr unsigned heavy_block()
{
    return (unsigned)V::W / 8;
}

/*
 * raw_text_to_kel: every byte, in blocks.  A block of n bytes with s
 * special bytes becomes at most n + 3s characters (a form has at most 4);
 * a block encoded byte by byte stores 4 bytes per byte, the form's and up
 * to 3 after it that the next form writes over (the last form is written
 * exactly), so it needs 4n bytes of room.
 */
template <class V, bool Write>
size_t encode_run(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    // A text shorter than a vector goes straight to the narrower one.
    if (!std::is_void<typename V::narrower>::value && i < len && len - i < V::W)
        return encode_run<typename narrower<V>::type, Write>(in, len, i, o);
    const size_t room = textcodec_room(o);
    char *dst = o->next; // advanced only when writing
    size_t made = 0;
    while (i < len) {
        size_t n = block_length<V>(len, i);
        if (n == 0)
            break;
        typename V::vec v = V::load(in + i);
        uint64_t special = V::special(v);
        if (special == 0) {
            if (room - made < n)
                break;
            if (Write) {
                put_block<V>(dst, v, in + i, n);
                dst += n;
            }
            made += n;
            i += n;
            continue;
        }
        unsigned specials = (unsigned)__builtin_popcountll(special);
        if (room - made < n + 3 * (size_t)specials)
            break;
        const char *block = in + i;
        if (specials > heavy_block<V>() && room - made >= 4 * n) {
            size_t start = made;
            for (size_t k = 0; k + 1 < n; k++) {
                const byte_form &f = kel_forms.of[(unsigned char)block[k]];
                if (Write)
                    memcpy(dst + (made - start), f.text, 4);
                made += (size_t)f.len;
            }
            const byte_form &last = kel_forms.of[(unsigned char)block[n - 1]];
            if (Write)
                put_form(dst + (made - start), block[n - 1], last);
            made += (size_t)last.len;
            if (Write)
                dst += made - start;
        } else {
            size_t at = 0;
            do {
                size_t k = (size_t)__builtin_ctzll(special);
                const byte_form &f = kel_forms.of[(unsigned char)block[k]];
                if (Write) {
                    V::copy(dst, block + at, k - at);
                    put_escape_form(dst + (k - at), f);
                    dst += k - at + (size_t)f.len;
                }
                made += k - at + (size_t)f.len;
                at = k + 1;
                special &= special - 1;
            } while (special != 0);
            if (Write) {
                V::copy(dst, block + at, n - at);
                dst += n - at;
            }
            made += n - at;
        }
        i += n;
    }
    if (hand_to_narrower<V>(in, len, i, o, dst, made))
        return encode_run<typename narrower<V>::type, Write>(in, len, i, o);
    // The last bytes of the text or of the room, one by one.
    for (; i < len; i++) {
        const byte_form &f = kel_forms.of[(unsigned char)in[i]];
        if (room - made < (size_t)f.len)
            break;
        if (Write) {
            put_form(dst, in[i], f);
            dst += f.len;
        }
        made += (size_t)f.len;
    }
    commit(o, dst, made);
    return i;
}

/*
 * kel_text_to_raw: plain bytes and the common escapes, in blocks.  A block
 * of n bytes never gives more than n characters.  An escape may reach past
 * its block; the next block starts after it.
 */
template <class V, bool Write>
size_t decode_run(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    // A text shorter than a vector goes straight to the narrower one.
    if (!std::is_void<typename V::narrower>::value && i < len && len - i < V::W)
        return decode_run<typename narrower<V>::type, Write>(in, len, i, o);
    const size_t room = textcodec_room(o);
    char *dst = o->next;
    size_t made = 0;
    bool hard = false;
    while (i < len) {
        // A block of n bytes never gives more than n characters.
        size_t n = block_length<V>(len, i);
        if (n == 0 || room - made < n)
            break;
        typename V::vec v = V::load(in + i);
        uint64_t special = V::special(v);
        if (special == 0) {
            if (Write) {
                put_block<V>(dst, v, in + i, n);
                dst += n;
            }
            made += n;
            i += n;
            continue;
        }
        const char *block = in + i;
        size_t at = 0;
        while (special != 0) {
            size_t k = (size_t)__builtin_ctzll(special);
            if (Write) {
                V::copy(dst, block + at, k - at);
                dst += k - at;
            }
            made += k - at;
            at = k;
            char decoded;
            int span = block[k] == '\\' ? decode_common_escape(block + k, in + len, &decoded) : 0;
            if (span == 0) {
                hard = true;
                break;
            }
            if (Write)
                *dst++ = decoded;
            made += 1;
            at = k + (size_t)span;
            if (at >= n)
                break;
            special &= ~0ULL << at;
        }
        if (hard) {
            i += at;
            break;
        }
        if (at < n) {
            if (Write) {
                V::copy(dst, block + at, n - at);
                dst += n - at;
            }
            made += n - at;
            at = n;
        }
        i += at;
    }
    if (!hard && hand_to_narrower<V>(in, len, i, o, dst, made))
        return decode_run<typename narrower<V>::type, Write>(in, len, i, o);
    // The last bytes of the text or of the room, one by one.
    while (!hard && i < len && made < room) {
        char ch = in[i];
        char decoded = ch;
        int span = is_plain((unsigned char)ch) ? 1 : 0;
        if (ch == '\\')
            span = decode_common_escape(in + i, in + len, &decoded);
        if (span == 0)
            break;
        if (Write)
            *dst++ = decoded;
        made += 1;
        i += (size_t)span;
    }
    commit(o, dst, made);
    return i;
}

/* c_text_to_kel: runs of plain bytes only. */
template <class V, bool Write>
size_t plain_run(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    // A text shorter than a vector goes straight to the narrower one.
    if (!std::is_void<typename V::narrower>::value && i < len && len - i < V::W)
        return plain_run<typename narrower<V>::type, Write>(in, len, i, o);
    const size_t room = textcodec_room(o);
    char *dst = o->next;
    size_t made = 0;
    bool stopped = false;
    while (i < len) {
        size_t n = block_length<V>(len, i);
        if (n == 0 || room - made < n)
            break;
        typename V::vec v = V::load(in + i);
        uint64_t special = V::special(v);
        size_t k = special == 0 ? n : (size_t)__builtin_ctzll(special);
        if (Write) {
            put_block<V>(dst, v, in + i, k);
            dst += k;
        }
        made += k;
        i += k;
        stopped = k < n;
        if (stopped)
            break;
    }
    if (!stopped && hand_to_narrower<V>(in, len, i, o, dst, made))
        return plain_run<typename narrower<V>::type, Write>(in, len, i, o);
    // The last bytes of the text or of the room, one by one.
    for (; !stopped && i < len && made < room && is_plain((unsigned char)in[i]); i++) {
        if (Write)
            *dst++ = in[i];
        made++;
    }
    commit(o, dst, made);
    return i;
}

/* Runs a kernel in write or measure mode, as the output asks. */
template <size_t (*write)(const char *, size_t, size_t, struct textcodec_output *),
          size_t (*count)(const char *, size_t, size_t, struct textcodec_output *)>
size_t either(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return o->start != NULL ? write(in, len, i, o) : count(in, len, i, o);
}

/* The three kernels of one vector width. */
template <class V> constexpr struct textcodec_kernels kernels_of()
{
    return {either<plain_run<V, true>, plain_run<V, false>>,
            either<decode_run<V, true>, decode_run<V, false>>,
            either<encode_run<V, true>, encode_run<V, false>>};
}

} // namespace

#endif

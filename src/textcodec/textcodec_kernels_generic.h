// SPDX-License-Identifier: MIT
/*
 * The SSE2 and AVX2 kernels, written once over a vector of W bytes (V):
 *
 *   V::W                     the bytes of a vector
 *   V::load(p), V::store(p, v)
 *   V::special(v)            a bit for each byte of v that is not plain
 *   V::store_prefix(p, v, k) the first k bytes of v to p, the rest of the
 *                            vector's span at p left as it was
 *
 * Each kernel steps from special byte to special byte: the plain bytes
 * before it are stored with one vector store, the special byte is handled
 * when it is easy (a form for the encoder, a common escape for the
 * decoder), and the kernel returns at anything else.  It reads whole
 * vectors only where all W bytes lie before len, so it never reads past
 * its input; the exact path does the last bytes.
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

namespace
{

/*
 * Writes a byte's form (1, 2 or 4 characters) at p with one 4-byte store
 * that keeps the bytes past the form as they were.  Needs 4 bytes of room.
 */
inline void put_form(char *p, const byte_form &f)
{
    static const uint32_t keep_form[5] = {0, 0xffu, 0xffffu, 0, 0xffffffffu};
    uint32_t form, old;
    memcpy(&form, f.text, 4);
    memcpy(&old, p, 4);
    uint32_t mask = keep_form[f.len]; // little-endian: the form's bytes come first
    uint32_t merged = (form & mask) | (old & ~mask);
    memcpy(p, &merged, 4);
}

/*
 * raw_text_to_kel: plain bytes and the form of every other byte.  A step
 * stores one vector and then a form of up to 4 bytes that starts at most
 * W - 1 bytes after it, so it needs W + 3 bytes of room.
 */
template <class V, bool Write>
size_t encode_run(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    const size_t step_room = V::W + 3;
    size_t room = textcodec_room(o);
    size_t made = 0;
    while (i + V::W <= len && room - made >= step_room) {
        typename V::vec v = V::load(in + i);
        uint64_t special = V::special(v);
        if (special == 0) {
            if (Write)
                V::store(o->next + made, v);
            made += V::W;
            i += V::W;
            continue;
        }
        unsigned k = (unsigned)__builtin_ctzll(special);
        const byte_form &f = kel_forms.of[(unsigned char)in[i + k]];
        if (Write) {
            V::store_prefix(o->next + made, v, k);
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
 * kel_text_to_raw: plain bytes and the common escapes.  A step stores one
 * vector and then one decoded character inside its span: W bytes of room.
 */
template <class V, bool Write>
size_t decode_run(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    const size_t step_room = V::W;
    size_t room = textcodec_room(o);
    size_t made = 0;
    while (i + V::W <= len && room - made >= step_room) {
        typename V::vec v = V::load(in + i);
        uint64_t special = V::special(v);
        if (special == 0) {
            if (Write)
                V::store(o->next + made, v);
            made += V::W;
            i += V::W;
            continue;
        }
        unsigned k = (unsigned)__builtin_ctzll(special);
        if (Write)
            V::store_prefix(o->next + made, v, k);
        made += k;
        i += k;
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
template <class V, bool Write>
size_t plain_run(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    size_t room = textcodec_room(o);
    size_t made = 0;
    while (i + V::W <= len && room - made >= V::W) {
        typename V::vec v = V::load(in + i);
        uint64_t special = V::special(v);
        unsigned k = special == 0 ? (unsigned)V::W : (unsigned)__builtin_ctzll(special);
        if (Write)
            V::store_prefix(o->next + made, v, k);
        made += k;
        i += k;
        if (k < V::W)
            break;
    }
    if (Write)
        o->next += made;
    o->count += (int)made;
    return i;
}

/* Runs a kernel in write or measure mode, as the output asks. */
template <size_t (*write)(const char *, size_t, size_t, struct textcodec_output *),
          size_t (*count)(const char *, size_t, size_t, struct textcodec_output *)>
size_t either(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return o->start != NULL ? write(in, len, i, o) : count(in, len, i, o);
}

/*
 * The compare chain with which the vector kernels find the plain bytes,
 * written out for one byte: printable, not '\\' or '|' (the two bytes that
 * become '|' with bit 5 set), not '"', '\'' or '/'.
 */
constexpr bool plain_by_compares(unsigned char code)
{
    return (signed char)(code + 1) > 0x20 && (code | 0x20) != '|' && code != '"' &&
           code != '\'' && code != '/';
}

constexpr bool compares_find_the_plain_bytes()
{
    for (int code = 0; code < 256; code++) {
        if (plain_by_compares((unsigned char)code) != is_plain((unsigned char)code))
            return false;
    }
    return true;
}
static_assert(compares_find_the_plain_bytes(), "the vector compares must agree with the tables");

} // namespace

#endif

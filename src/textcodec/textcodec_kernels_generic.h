// SPDX-License-Identifier: MIT
/*
 * The kernels, written once over a vector of W bytes (V), which provides
 * a few primitives:
 *
 *   V::W                  the bytes of a vector, at most 64
 *   V::load(p)            the W bytes at p
 *   V::store(p, v)        all W bytes of v to p
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
 * there.  A kernel reads whole vectors only where all of their bytes lie
 * before len, so it never reads past its input; it leaves the last bytes
 * of a text to a narrower vector, and does the last bytes of the text or
 * of the room one at a time.  It never reads its output back: a store in
 * flight would stall the load.
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

#include <stdint.h>
#include <string.h>

#include <type_traits>
#include <utility>

namespace
{

/* ---- The class of special bytes, once for every width ----------------- */

/* Bits 0 to W - 1 set. */
template <class V> constexpr uint64_t all_bytes()
{
    static_assert(V::W >= 1 && V::W <= 64, "one bit per byte in a 64-bit mask");
    return V::W == 64 ? ~0ULL : (1ULL << V::W) - 1;
}

/*
 * A bit for each byte of v that is one of the list's, the compares
 * unrolled with the bytes as constants.
 */
template <class V, const byte_list &list, size_t first, size_t... rest>
constexpr typename V::mask any_of(typename V::vec v, std::index_sequence<first, rest...>)
{
    typename V::mask m = V::eq(v, list.of[first]);
    ((m = V::or_(m, V::eq(v, list.of[rest]))), ...);
    return m;
}

template <class V, const byte_list &list> constexpr typename V::mask any_of(typename V::vec v)
{
    static_assert(list.n >= 1 && list.n <= (int)sizeof list.of, "a list of 1 to 16 bytes");
    return any_of<V, list>(v, std::make_index_sequence<(size_t)list.n>());
}

/*
 * The same class as two tables of 16, for the widths that look bytes up
 * by nibble: a byte is special when the entries of its low and its high
 * nibble share a bit.  Each bit stands for a set of low nibbles that
 * makes a byte special under the high nibbles that have it; built from
 * the rules at compile time.
 */
struct nibble_tables {
    // Repeated for each 16-byte lane of the widest vector, which shuffles lane by lane.
    alignas(64) unsigned char low[64];
    alignas(64) unsigned char high[64];
    int classes;
};

constexpr nibble_tables make_nibble_tables()
{
    nibble_tables t{};
    unsigned sets[16] = {};
    for (int high = 0; high < 16; high++) {
        unsigned set = 0;
        for (int low = 0; low < 16; low++) {
            if (!is_plain((unsigned char)(high << 4 | low)))
                set |= 1u << low;
        }
        if (set == 0)
            continue;
        int c = 0;
        while (c < t.classes && sets[c] != set)
            c++;
        if (c == t.classes)
            sets[t.classes++] = set;
        t.high[high] = (unsigned char)(1u << c);
        for (int low = 0; low < 16; low++) {
            if (set & (1u << low))
                t.low[low] |= (unsigned char)(1u << c);
        }
    }
    for (int k = 16; k < 64; k++) {
        t.low[k] = t.low[k % 16];
        t.high[k] = t.high[k % 16];
    }
    return t;
}

constexpr nibble_tables special_nibbles = make_nibble_tables();
static_assert(special_nibbles.classes <= 8, "one bit of a byte for each set of low nibbles");

/*
 * A bit for each byte of v that is not plain: unprintable, or one of the
 * printable specials; by nibble look-ups where the width has them, else
 * by compares.
 */
template <class V> constexpr uint64_t special_bytes(typename V::vec v)
{
    if constexpr (V::nibble_lookup)
        return V::to_bits(V::by_nibbles(v, special_nibbles.low, special_nibbles.high));
    else
        return ~V::to_bits(V::andnot(V::printable(v), any_of<V, printable_specials>(v))) &
               all_bytes<V>();
}

/* One byte as a vector, so that the class above is checked against the rules at compile time. */
template <bool Nibbles> struct byte_vec {
    typedef unsigned char vec;
    typedef bool mask;
    static constexpr size_t W = 1;
    static constexpr bool nibble_lookup = Nibbles;
    static constexpr mask by_nibbles(vec v, const unsigned char *low, const unsigned char *high)
    {
        return (low[v & 15] & high[v >> 4]) != 0;
    }
    static constexpr mask eq(vec v, char c)
    {
        return v == (unsigned char)c;
    }
    static constexpr mask printable(vec v)
    {
        return is_printable((char)v);
    }
    static constexpr mask or_(mask a, mask b)
    {
        return a || b;
    }
    static constexpr mask andnot(mask a, mask b)
    {
        return a && !b;
    }
    static constexpr uint64_t to_bits(mask m)
    {
        return m ? 1 : 0;
    }
};

constexpr bool special_class_is_the_rules()
{
    for (int code = 0; code < 256; code++) {
        bool plain = is_plain((unsigned char)code);
        if ((special_bytes<byte_vec<false>>((unsigned char)code) != 0) == plain ||
            (special_bytes<byte_vec<true>>((unsigned char)code) != 0) == plain)
            return false;
    }
    return true;
}
static_assert(special_class_is_the_rules(), "the special bytes are exactly those that are not plain");

/* ---- What the kernels know beyond the rules --------------------------- */

/*
 * How raw_text_to_kel writes each byte: its KEL escape, else its C escape,
 * else the byte itself.  Built at compile time from the encoders.
 */
struct byte_form {
    char text[4]; // the form, padded with NULs
    int len;      // 1, 2 or 4
};

struct byte_forms {
    byte_form of[256];
};

constexpr byte_forms make_kel_forms()
{
    byte_forms forms{};
    for (int code = 0; code < 256; code++) {
        char text[ESCAPE_BUFFER] = {};
        int len = kel_escape((char)code, text);
        if (len == 0)
            len = c_escape((char)code, text);
        if (len == 0) {
            text[0] = (char)code;
            len = 1;
        }
        for (int k = 0; k < 4; k++)
            forms.of[code].text[k] = text[k];
        forms.of[code].len = len;
    }
    return forms;
}

constexpr byte_forms kel_forms = make_kel_forms();

static_assert(kel_forms.of[(unsigned char)'A'].len == 1 && kel_forms.of[(unsigned char)'"'].len == 4 &&
                  kel_forms.of[(unsigned char)'\n'].len == 2,
              "a quote is a KEL special first, a newline a letter escape");

/* The bytes that raw_text_to_kel writes as a letter escape, two characters. */
constexpr byte_list make_letter_escaped()
{
    byte_list list{};
    for (int code = 0; code < 256; code++) {
        if (kel_forms.of[code].len == 2)
            list.of[list.n++] = (char)code;
    }
    return list;
}

constexpr byte_list letter_escaped = make_letter_escaped();
static_assert(letter_escaped.n == 9, "the ten letter escapes but \\\", which is a KEL special");

/* The plain bytes are exactly those that raw_text_to_kel writes as they are. */
constexpr bool plain_is_unchanged()
{
    for (int code = 0; code < 256; code++) {
        if (is_plain((unsigned char)code) != (kel_forms.of[code].len == 1))
            return false;
    }
    return true;
}
static_assert(plain_is_unchanged(), "plain bytes and one-byte forms must agree");

/*
 * The escapes that KEL text mostly holds, decoded without a message: a
 * letter escape, or three octal digits worth at most MAX_DECODED.  Returns
 * the span (2 or 4) after storing the character, or 0 for anything else,
 * which decode_escape_sequence then decodes or refuses.  seq points at a
 * backslash; no byte at or past end is read.  Agrees with
 * decode_escape_sequence wherever it returns a span: letters come first
 * there too, and three digits are the most an octal run reads.
 */
constexpr int decode_common_escape(const char *seq, const char *end, char *out)
{
    if (end - seq < 2)
        return 0;
    int letter = index_of(c_escape_letter_index, seq[1]);
    int value = 0;
    bool octal = false;
    if (end - seq >= 1 + MAX_OCTAL_DIGITS) {
        int d1 = octal_digit_value(seq[1]);
        int d2 = octal_digit_value(seq[2]);
        int d3 = octal_digit_value(seq[3]);
        value = d1 * 64 + d2 * 8 + d3;
        octal = (d1 | d2 | d3) >= 0 && value <= MAX_DECODED;
    }
    // Both forms are worked out and one is picked, so that mixed text costs
    // no mispredicted branch; a letter comes first, as in the full decoder.
    *out = letter >= 0 ? c_escape_chars[letter < 0 ? 0 : letter] : (char)value;
    return letter >= 0 ? 2 : octal ? 4 : 0;
}

/* ---- Helpers ---------------------------------------------------------- */

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

template <class V, bool Write>
size_t raw_text_to_kel_kernel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    progress p = {o->next, 0, textcodec_room(o)};
    while (len - i >= V::W) {
        const size_t n = V::W;
        typename V::vec v = V::load(in + i);
        uint64_t special = special_bytes<V>(v);
        if (special == 0) {
            if (p.left() < n)
                break;
            if (Write) {
                V::store(p.dst, v);
                p.dst += n;
            }
            p.made += n;
        } else {
            unsigned specials = (unsigned)__builtin_popcountll(special);
            if (p.left() < n + 3 * (size_t)specials)
                break;
            if (specials > dense_block<V>() && p.left() >= 4 * n)
                encode_dense<V, Write>(in + i, n, &p);
            else
                encode_sparse<V, Write>(in + i, n, special, &p);
        }
        i += n;
    }
    if (has_narrower<V>() && i < len && len - i < V::W) {
        commit(o, p.dst, p.made);
        return raw_text_to_kel_kernel<typename narrower<V>::type, Write>(in, len, i, o);
    }
    // The last bytes of the text or of the room, one by one.
    for (; i < len; i++) {
        const byte_form &f = kel_forms.of[(unsigned char)in[i]];
        if (p.left() < (size_t)f.len)
            break;
        if (Write) {
            put_form(p.dst, in[i], f);
            p.dst += f.len;
        }
        p.made += (size_t)f.len;
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
            i += V::W;
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
            either<raw_text_to_kel_kernel<V, true>, raw_text_to_kel_kernel<V, false>>};
}

} // namespace

#endif

// SPDX-License-Identifier: MIT
/*
 * What the kernels take from the rules (textcodec_rules.h), built at
 * compile time and checked there against the rules: the class of special
 * bytes, written once for every vector width (a list of compares, or two
 * nibble tables), the forms that raw_text_to_kel gives each byte, the
 * letter escapes, and the escapes that KEL text mostly holds.
 *
 * Internal linkage, as for everything the kernels share.
 */
#ifndef TEXTCODEC_TABLES_H
#define TEXTCODEC_TABLES_H

#include "textcodec_rules.h"

#include <stddef.h>
#include <stdint.h>

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

} // namespace

#endif

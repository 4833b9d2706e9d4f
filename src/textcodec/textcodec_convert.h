// SPDX-License-Identifier: MIT
/*
 * The three string converters, written as the rules read, one character
 * or escape at a time: this exact path defines every result, message and
 * partial output.  Each converter first offers the whole text to its
 * short-text kernel, then hands its input to one kernel at the top of its
 * loop; the kernels do what is easy and return where the exact path goes
 * on.  The loops are templates over one level's kernels, instantiated
 * with the exact level's (textcodec.cpp, which consume nothing) and with
 * each vector level's in that level's own file, so that every kernel call
 * is a direct one that the compiler can inline; a converter call costs
 * one indirect call, to the level chosen at load.
 *
 * Internal linkage, as for the kernels: each file gets its own copy,
 * compiled for its instruction set, and none is linked in for another.
 */
#ifndef TEXTCODEC_CONVERT_H
#define TEXTCODEC_CONVERT_H

#include "textcodec.h"
#include "textcodec_kernels.h"
#include "textcodec_rules.h"

#include <string.h>

/* Every message of the codec; textcodec_say prints it on standard output. */
enum textcodec_message {
    NO_OCTAL_DIGITS,
    OCTAL_OUT_OF_RANGE,
    MISSING_X,
    NO_HEX_DIGITS,
    HEX_OUT_OF_RANGE,
    NO_ROOM,
    UNBALANCED_QUOTES,
    RAW_IN_C_TEXT,
    ILLEGAL_ESCAPE,
    RAW_KEL_SPECIAL,
    RAW_C_SPECIAL,
};
void textcodec_say(enum textcodec_message m);

namespace
{

/*
 * Appends n characters through append_bounded, or only counts them in
 * measure mode.  Returns 0, or -1 after the buffer message when they do
 * not fit.  With a capacity below 1 nothing fits, and the last usable
 * position (start + capacity - 1) would lie before the buffer, so it is
 * never formed.  A count that would overflow an int fails the same way,
 * in measure mode too.
 */
inline int output_put(struct textcodec_output *o, const char *src, int n)
{
    if ((size_t)n > textcodec_room(o)) {
        textcodec_say(NO_ROOM);
        return -1;
    }
    if (o->start != NULL) {
        char *next = append_bounded(o->next, src, n, o->start + o->capacity - 1);
        if (next == NULL)
            return -1;
        o->next = next;
    }
    o->count += n;
    return 0;
}

/*
 * Terminates the text and returns its length.  A successful text always
 * leaves room for the terminator in the caller's capacity + 1 bytes; a
 * negative capacity means there is no buffer at all to terminate.
 */
inline int output_end(struct textcodec_output *o)
{
    if (o->start != NULL && o->capacity >= 0)
        *o->next = '\0';
    return o->count;
}

/* A text of one or more characters that opens with a quote must close with one, and back. */
inline int quotes_balanced(const char *in, size_t len)
{
    if ((in[0] == '"') != (in[len - 1] == '"')) {
        textcodec_say(UNBALANCED_QUOTES);
        return 0;
    }
    return 1;
}

/*
 * C-literal text to KEL text.  Enclosing quotes are kept, escapes are
 * checked and copied as they stand, except \" which becomes \042, and a
 * raw '/' or '|' is escaped.
 */
template <const struct textcodec_kernels &K>
// NOLINTNEXTLINE(readability-non-const-parameter): out is written through the output cursor
__attribute__((noinline)) int convert_c_text_to_kel_long(char *out, const char *in, int capacity)
{
    struct textcodec_output o = {out, out, capacity, 0};
    size_t len = strlen(in);
    size_t i = 0;

    if (len > 0 && !quotes_balanced(in, len))
        return -1;
    while (i < len) {
        i = K.c_text_to_kel(in, len, i, &o);
        if (i >= len)
            break;

        char ch = in[i];
        char esc[ESCAPE_BUFFER];
        char unused;
        int put;
        // The enclosing quotes are copied as a plain character is, but must
        // be taken before the check that refuses a raw quote.
        if (ch == '"' && (i == 0 || i == len - 1)) { // NOLINT(bugprone-branch-clone)
            put = output_put(&o, &ch, 1);
            i += 1;
        } else if (c_escape(ch, esc) != 0 && ch != '\\') {
            textcodec_say(RAW_IN_C_TEXT);
            return -1;
        } else if (ch == '\\') {
            int n = decode_escape_sequence(in + i, &unused);
            if (n < 0) {
                textcodec_say(ILLEGAL_ESCAPE);
                return -1;
            }
            if (in[i + 1] == '"') {
                put = output_put(&o, "\\042", 4);
                i += 2;
            } else {
                put = output_put(&o, in + i, n);
                i += (size_t)n;
            }
        } else if (kel_escape(ch, esc) == 4) {
            put = output_put(&o, esc, 4);
            i += 1;
        } else {
            put = output_put(&o, &ch, 1);
            i += 1;
        }
        if (put < 0)
            return -1;
    }
    return output_end(&o);
}

/*
 * KEL text to raw text.  Enclosing quotes are dropped and every escape is
 * decoded; a raw special or control character is refused.  An escape at
 * the end of a quoted body reads on into the closing quote, as the input
 * is one string.
 */
template <const struct textcodec_kernels &K>
// NOLINTNEXTLINE(readability-non-const-parameter): out is written through the output cursor
__attribute__((noinline)) int convert_kel_text_to_raw_long(char *out, const char *in, int capacity)
{
    struct textcodec_output o = {out, out, capacity, 0};
    size_t len = strlen(in);
    const char *body = in;
    size_t body_len = len;
    size_t i = 0;

    if (len > 0 && !quotes_balanced(in, len))
        return -1;
    if (len > 0 && in[0] == '"') {
        body = in + 1;
        body_len = len >= 2 ? len - 2 : 0; /* a lone quote has no body */
    }
    while (i < body_len) {
        i = K.kel_text_to_raw(body, body_len, i, &o);
        if (i >= body_len)
            break;

        char ch = body[i];
        char esc[ESCAPE_BUFFER];
        int put;
        if (kel_escape(ch, esc) != 0) {
            textcodec_say(RAW_KEL_SPECIAL);
            return -1;
        }
        if (ch == '\\') {
            char decoded;
            int n = decode_escape_sequence(body + i, &decoded);
            if (n < 0) {
                textcodec_say(ILLEGAL_ESCAPE);
                return -1;
            }
            put = output_put(&o, &decoded, 1);
            i += (size_t)n;
        } else if (c_escape(ch, esc) != 0) {
            textcodec_say(RAW_C_SPECIAL);
            return -1;
        } else {
            put = output_put(&o, &ch, 1);
            i += 1;
        }
        if (put < 0)
            return -1;
    }
    return output_end(&o);
}

/*
 * Raw text to KEL text, unquoted.  The KEL escapes take precedence, so a
 * quote becomes \042, never \".
 */
template <const struct textcodec_kernels &K>
// NOLINTNEXTLINE(readability-non-const-parameter): out is written through the output cursor
__attribute__((noinline)) int convert_raw_text_to_kel_long(char *out, const char *in, int capacity)
{
    struct textcodec_output o = {out, out, capacity, 0};
    // Every byte is easy: the kernel stops only at the terminator, or
    // where the room ends, and only then is the rest measured.
    size_t i = K.raw_text_to_kel(in, 0, &o);
    if (in[i] == '\0')
        return output_end(&o);
    size_t len = i + strlen(in + i);

    while (i < len) {
        char ch = in[i];
        char esc[ESCAPE_BUFFER];
        int n;
        int put;
        if (kel_escape(ch, esc) == 4)
            put = output_put(&o, esc, 4);
        else if ((n = c_escape(ch, esc)) != 0)
            put = output_put(&o, esc, n);
        else
            put = output_put(&o, &ch, 1);
        if (put < 0)
            return -1;
        i += 1;
    }
    return output_end(&o);
}

/*
 * Each converter tries its short-text kernel first, and only then enters
 * the long way, whose frame (saved registers, the stack protector's
 * canary) a short text thus never pays for.
 */
template <const struct textcodec_kernels &K> int convert_c_text_to_kel(char *out, const char *in, int capacity)
{
    int whole = K.short_c_text_to_kel(out, in, capacity);
    return whole != TEXTCODEC_LONG ? whole : convert_c_text_to_kel_long<K>(out, in, capacity);
}

template <const struct textcodec_kernels &K> int convert_kel_text_to_raw(char *out, const char *in, int capacity)
{
    int whole = K.short_kel_text_to_raw(out, in, capacity);
    return whole != TEXTCODEC_LONG ? whole : convert_kel_text_to_raw_long<K>(out, in, capacity);
}

template <const struct textcodec_kernels &K> int convert_raw_text_to_kel(char *out, const char *in, int capacity)
{
    int whole = K.short_raw_text_to_kel(out, in, capacity);
    return whole != TEXTCODEC_LONG ? whole : convert_raw_text_to_kel_long<K>(out, in, capacity);
}

/* One level's converters, over its kernels. */
template <const struct textcodec_kernels &K> constexpr struct textcodec_converters converters_of() noexcept
{
    return {convert_c_text_to_kel<K>, convert_kel_text_to_raw<K>, convert_raw_text_to_kel<K>};
}

} // namespace

#endif

// SPDX-License-Identifier: MIT
/*
 * Text codec for KEL strings: the escape primitives, then the converters
 * built on them, written as the rules read, one character or escape at a
 * time.  This exact path defines every result, message and partial
 * output.  Each converter first offers the whole text to its short-text
 * kernel, then hands its input to one kernel at the top of its loop; the
 * kernels (textcodec_kernels.h; the exact level's consume nothing) do
 * what is easy and return where the exact path goes on.
 */
#include "textcodec.h"

#include "textcodec_kernels.h"
#include "textcodec_rules.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

/* ---- Messages --------------------------------------------------------- */

/* Every message of the codec, byte for byte; each goes to standard output. */
enum message {
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

static const char *const messages[] = {
    " *** Error   no octal digits\n",
    " *** Error  octal escape sequence out of range\n",
    " *** missing first x \n",
    " *** Error   no hex digits\n",
    " *** Error  hex escape sequence out of range\n",
    " Error    output string is not big enough\n",
    " *** error   string has unbalanced double quotes\n",
    " *** error   string has un-escaped special or un-printable character\n",
    " *** error  string has an illegal escape sequence \n",
    " *** error the string has unescaped special KEL characters\n",
    " *** error the string has unescaped special C characters\n",
};

static void say(enum message m)
{
    fputs(messages[m], stdout);
}

/* ---- Escape primitives ------------------------------------------------ */

/*
 * Writes the C escape of ch into out (at least 5 bytes).  Returns 2 for a
 * letter escape (no terminator written), 0 for a printable character that
 * needs none (nothing written), 4 for an octal escape (terminated).
 */
int escape_c_char(char ch, char *out)
{
    return c_escape(ch, out);
}

/*
 * Writes the octal escape of a KEL special character into out (at least
 * 5 bytes, terminated) and returns 4; returns 0 for any other character.
 */
int escape_kel_char(char ch, char *out)
{
    return kel_escape(ch, out);
}

/*
 * Decodes up to three octal digits at digits into *out.  Returns the number
 * of digits read, or -1 when there is none or the value is above 127.
 */
int decode_octal_escape(const char *digits, char *out)
{
    int value = 0;
    int n = 0;

    for (int d; n < MAX_OCTAL_DIGITS && (d = octal_digit_value(digits[n])) >= 0; n++)
        value = value * 8 + d;
    if (n == 0) {
        say(NO_OCTAL_DIGITS);
        return -1;
    }
    if (value > MAX_DECODED) {
        say(OCTAL_OUT_OF_RANGE);
        return -1;
    }
    *out = (char)value;
    return n;
}

/*
 * Decodes "x" and up to two hex digits at x into *out.  Returns 1 plus the
 * number of digits read, or -1 when the x is missing, no digit follows it
 * or the value is above 127.
 */
int decode_hex_escape(const char *x, char *out)
{
    int value = 0;
    int n = 0;

    if (x[0] != 'x') {
        say(MISSING_X);
        return -1;
    }
    for (int d; n < MAX_HEX_DIGITS && (d = hex_digit_value(x[1 + n])) >= 0; n++)
        value = value * 16 + d;
    if (n == 0) {
        say(NO_HEX_DIGITS);
        return -1;
    }
    if (value > MAX_DECODED) {
        say(HEX_OUT_OF_RANGE);
        return -1;
    }
    *out = (char)value;
    return 1 + n;
}

/*
 * Decodes the escape sequence at seq (which points at the backslash) into
 * *out.  Returns the length of the sequence, backslash included, or -1.
 * An unknown letter or a backslash at the end of the text fails without a
 * message; a bad octal or hex run fails with the message of its decoder.
 */
int decode_escape_sequence(const char *seq, char *out)
{
    char next = seq[1];
    int i = index_of(c_escape_letter_index, next);
    int n;

    if (i >= 0) {
        *out = c_escape_chars[i];
        return 2;
    }
    if (next == 'x')
        n = decode_hex_escape(seq + 1, out);
    else if (octal_digit_value(next) >= 0)
        n = decode_octal_escape(seq + 1, out);
    else
        return -1;
    return n < 0 ? -1 : n + 1;
}

/*
 * Appends n characters of src at dst, where last is the last position the
 * text may occupy.  Copies like strncpy (stopping at a NUL in src and
 * padding with NULs), never adds a terminator, and returns dst + n.  When
 * the characters would end beyond last it writes nothing and returns null.
 * The room is compared as a difference of pointers, so no pointer outside
 * the buffer is ever formed.
 */
char *append_bounded(char *dst, const char *src, int n, const char *last)
{
    if (n < 0 || n > last - dst + 1) {
        say(NO_ROOM);
        return NULL;
    }
    int k = 0;
    for (; k < n && src[k] != '\0'; k++)
        dst[k] = src[k];
    for (; k < n; k++)
        dst[k] = '\0';
    return dst + n;
}

/* ---- String converters ------------------------------------------------ */

/*
 * Appends n characters through append_bounded, or only counts them in
 * measure mode.  Returns 0, or -1 after the buffer message when they do
 * not fit.  With a capacity below 1 nothing fits, and the last usable
 * position (start + capacity - 1) would lie before the buffer, so it is
 * never formed.  A count that would overflow an int fails the same way,
 * in measure mode too.
 */
static int output_put(struct textcodec_output *o, const char *src, int n)
{
    if ((size_t)n > textcodec_room(o)) {
        say(NO_ROOM);
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
static int output_end(struct textcodec_output *o)
{
    if (o->start != NULL && o->capacity >= 0)
        *o->next = '\0';
    return o->count;
}

/* A text of one or more characters that opens with a quote must close with one, and back. */
static int quotes_balanced(const char *in, size_t len)
{
    if ((in[0] == '"') != (in[len - 1] == '"')) {
        say(UNBALANCED_QUOTES);
        return 0;
    }
    return 1;
}

/*
 * C-literal text to KEL text.  Enclosing quotes are kept, escapes are
 * checked and copied as they stand, except \" which becomes \042, and a
 * raw '/' or '|' is escaped.
 */
int c_text_to_kel(char *out, const char *in, int capacity)
{
    int whole = textcodec_active.short_c_text_to_kel(out, in, capacity);
    if (whole != TEXTCODEC_LONG)
        return whole;

    struct textcodec_output o = {out, out, capacity, 0};
    size_t len = strlen(in);
    size_t i = 0;

    if (len > 0 && !quotes_balanced(in, len))
        return -1;
    while (i < len) {
        i = textcodec_active.c_text_to_kel(in, len, i, &o);
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
        } else if (escape_c_char(ch, esc) != 0 && ch != '\\') {
            say(RAW_IN_C_TEXT);
            return -1;
        } else if (ch == '\\') {
            int n = decode_escape_sequence(in + i, &unused);
            if (n < 0) {
                say(ILLEGAL_ESCAPE);
                return -1;
            }
            if (in[i + 1] == '"') {
                put = output_put(&o, "\\042", 4);
                i += 2;
            } else {
                put = output_put(&o, in + i, n);
                i += (size_t)n;
            }
        } else if (escape_kel_char(ch, esc) == 4) {
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
int kel_text_to_raw(char *out, const char *in, int capacity)
{
    int whole = textcodec_active.short_kel_text_to_raw(out, in, capacity);
    if (whole != TEXTCODEC_LONG)
        return whole;

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
        i = textcodec_active.kel_text_to_raw(body, body_len, i, &o);
        if (i >= body_len)
            break;

        char ch = body[i];
        char esc[ESCAPE_BUFFER];
        int put;
        if (escape_kel_char(ch, esc) != 0) {
            say(RAW_KEL_SPECIAL);
            return -1;
        }
        if (ch == '\\') {
            char decoded;
            int n = decode_escape_sequence(body + i, &decoded);
            if (n < 0) {
                say(ILLEGAL_ESCAPE);
                return -1;
            }
            put = output_put(&o, &decoded, 1);
            i += (size_t)n;
        } else if (escape_c_char(ch, esc) != 0) {
            say(RAW_C_SPECIAL);
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
int raw_text_to_kel(char *out, const char *in, int capacity)
{
    int whole = textcodec_active.short_raw_text_to_kel(out, in, capacity);
    if (whole != TEXTCODEC_LONG)
        return whole;

    struct textcodec_output o = {out, out, capacity, 0};
    size_t len = strlen(in);
    size_t i = 0;

    while (i < len) {
        i = textcodec_active.raw_text_to_kel(in, len, i, &o);
        if (i >= len)
            break;

        char ch = in[i];
        char esc[ESCAPE_BUFFER];
        int n;
        int put;
        if (escape_kel_char(ch, esc) == 4)
            put = output_put(&o, esc, 4);
        else if ((n = escape_c_char(ch, esc)) != 0)
            put = output_put(&o, esc, n);
        else
            put = output_put(&o, &ch, 1);
        if (put < 0)
            return -1;
        i += 1;
    }
    return output_end(&o);
}

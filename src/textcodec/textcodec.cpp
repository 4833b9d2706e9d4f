// SPDX-License-Identifier: MIT
/*
 * Text codec for KEL strings: the messages, the escape primitives, and
 * the converters of the exact level (textcodec_convert.h has their loops).
 * Each public converter calls the converter of the level in use.
 */
#include "textcodec.h"

#include "textcodec_convert.h"
#include "textcodec_kernels.h"
#include "textcodec_rules.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

/* ---- Messages --------------------------------------------------------- */

/* Every message of the codec, byte for byte; each goes to standard output. */
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

void textcodec_say(enum textcodec_message m)
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
        textcodec_say(NO_OCTAL_DIGITS);
        return -1;
    }
    if (value > MAX_DECODED) {
        textcodec_say(OCTAL_OUT_OF_RANGE);
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
        textcodec_say(MISSING_X);
        return -1;
    }
    for (int d; n < MAX_HEX_DIGITS && (d = hex_digit_value(x[1 + n])) >= 0; n++)
        value = value * 16 + d;
    if (n == 0) {
        textcodec_say(NO_HEX_DIGITS);
        return -1;
    }
    if (value > MAX_DECODED) {
        textcodec_say(HEX_OUT_OF_RANGE);
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
        textcodec_say(NO_ROOM);
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

namespace
{
constexpr struct textcodec_kernels exact_kernels = {
    textcodec_no_short_text,    textcodec_no_short_text,    textcodec_no_short_text,
    textcodec_nothing_consumed, textcodec_nothing_consumed, textcodec_nothing_consumed_to_end};
} // namespace

const struct textcodec_converters textcodec_exact_converters = converters_of<exact_kernels>();

/*
 * Constant-initialised to the exact level, so that a converter called by
 * another library's initialiser, before the level is chosen, is still right.
 */
struct textcodec_converters textcodec_active = converters_of<exact_kernels>();

/*
 * The widest level, chosen once as the program is loaded.  The choice is
 * made here, beside the converters, so that a program linked with the
 * static library that calls nothing but the converters still links it in.
 */
__attribute__((constructor)) static void choose_kernels(void)
{
    textcodec_use_level(textcodec_best_level());
}

int c_text_to_kel(char *out, const char *in, int capacity)
{
    return textcodec_active.c_text_to_kel(out, in, capacity);
}

int kel_text_to_raw(char *out, const char *in, int capacity)
{
    return textcodec_active.kel_text_to_raw(out, in, capacity);
}

int raw_text_to_kel(char *out, const char *in, int capacity)
{
    return textcodec_active.raw_text_to_kel(out, in, capacity);
}

// SPDX-License-Identifier: MIT
/*
 * Text codec for KEL strings.
 *
 * KEL treats three characters specially: the double quote, the slash and the
 * vertical bar.  The codec writes them, and every control character, as
 * escape sequences, and converts whole strings between three forms:
 *
 *   raw text        the characters themselves, with no escapes;
 *   C-literal text  optionally quoted; every backslash starts an escape, and
 *                   no quote, apostrophe or unprintable character stands raw;
 *   KEL text        as C-literal text, but '/' and '|' may not stand raw
 *                   either; the codec writes '"', '/' and '|' as \042, \057
 *                   and \174.
 *
 * Escape forms: a backslash and one of the letters a \ b r " f t n ' v; a
 * backslash and one to three octal digits; a backslash, a lower-case x and
 * one or two hex digits.  Decoded values above 127 are refused.
 *
 * Failures return -1 (or a null pointer) and print a message on standard
 * output.  The functions keep no state.
 */
#ifndef TEXTCODEC_H
#define TEXTCODEC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Single characters and escape sequences. */
int escape_c_char(char ch, char *out);
int escape_kel_char(char ch, char *out);
int decode_escape_sequence(const char *seq, char *out);
int decode_octal_escape(const char *digits, char *out);
int decode_hex_escape(const char *x, char *out);
char *append_bounded(char *dst, const char *src, int n, const char *last);

/*
 * Whole strings.  out may be null (measure mode); otherwise it must hold
 * capacity + 1 bytes.  Each returns the converted length or -1.
 */
int c_text_to_kel(char *out, const char *in, int capacity);
int kel_text_to_raw(char *out, const char *in, int capacity);
int raw_text_to_kel(char *out, const char *in, int capacity);

#ifdef __cplusplus
}
#endif

#endif

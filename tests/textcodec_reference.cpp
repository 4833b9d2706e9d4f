// SPDX-License-Identifier: MIT
// Per-character reference converters; see textcodec_reference.h.
#include "textcodec_reference.h"

#include "textcodec.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

namespace
{

/*
 * Where a converter writes: the caller's buffer, or nowhere in measure mode
 * (start is null), and how many characters the text has so far.
 */
struct output {
    char *start;
    char *next;
    int capacity;
    int count;
};

static void output_begin(struct output *o, char *out, int capacity)
{
    o->start = out;
    o->next = out;
    o->capacity = capacity;
    o->count = 0;
}

/*
 * Appends n characters of src.  Returns 0, or -1 after the buffer message
 * when they do not fit.  With a capacity below 1 nothing fits, and the last
 * usable position (start + capacity - 1) would lie before the buffer, so it
 * is never formed.  A count that would overflow an int fails the same way,
 * in measure mode too.
 */
static int output_put(struct output *o, const char *src, int n)
{
    if (n > INT_MAX - o->count) {
        fputs(" Error    output string is not big enough\n", stdout);
        return -1;
    }
    if (o->start != NULL) {
        if (o->capacity < 1) {
            fputs(" Error    output string is not big enough\n", stdout);
            return -1;
        }
        o->next = append_bounded(o->next, src, n, o->start + o->capacity - 1);
        if (o->next == NULL)
            return -1;
    }
    o->count += n;
    return 0;
}

/*
 * Terminates the text and returns its length.  A successful text always
 * leaves room for the terminator in the caller's capacity + 1 bytes; a
 * negative capacity means there is no buffer at all to terminate.
 */
static int output_end(struct output *o)
{
    if (o->start != NULL && o->capacity >= 0)
        *o->next = '\0';
    return o->count;
}

/* A text of one or more characters that opens with a quote must close with one, and back. */
static int quotes_balanced(const char *in, size_t len)
{
    if ((in[0] == '"') != (in[len - 1] == '"')) {
        fputs(" *** error   string has unbalanced double quotes\n", stdout);
        return 0;
    }
    return 1;
}

static void report_illegal_escape(void)
{
    fputs(" *** error  string has an illegal escape sequence \n", stdout);
}

} // namespace

/*
 * C-literal text to KEL text.  Enclosing quotes are kept, escapes are
 * checked and copied as they stand, except \" which becomes \042, and a
 * raw '/' or '|' is escaped.
 */
int reference_c_text_to_kel(char *out, const char *in, int capacity)
{
    struct output o;
    char esc[5];
    char unused;
    size_t len = strlen(in);
    size_t i = 0;

    output_begin(&o, out, capacity);
    if (len > 0 && !quotes_balanced(in, len))
        return -1;
    while (i < len) {
        char ch = in[i];
        int n;

        if (ch == '"' && (i == 0 || i == len - 1)) {
            n = output_put(&o, &ch, 1);
            i += 1;
        } else if (ch != '\\' && escape_c_char(ch, esc) != 0) {
            fputs(" *** error   string has un-escaped special or un-printable character\n", stdout);
            return -1;
        } else if (ch == '\\') {
            int span = decode_escape_sequence(in + i, &unused);
            if (span < 0) {
                report_illegal_escape();
                return -1;
            }
            if (in[i + 1] == '"') {
                n = output_put(&o, "\\042", 4);
                i += 2;
            } else {
                n = output_put(&o, in + i, span);
                i += (size_t)span;
            }
        } else if (escape_kel_char(ch, esc) == 4) {
            n = output_put(&o, esc, 4);
            i += 1;
        } else {
            n = output_put(&o, &ch, 1);
            i += 1;
        }
        if (n < 0)
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
int reference_kel_text_to_raw(char *out, const char *in, int capacity)
{
    struct output o;
    char esc[5];
    size_t len = strlen(in);
    const char *body = in;
    size_t body_len = len;
    size_t i = 0;

    output_begin(&o, out, capacity);
    if (len > 0 && !quotes_balanced(in, len))
        return -1;
    if (len > 0 && in[0] == '"') {
        body = in + 1;
        body_len = len >= 2 ? len - 2 : 0; /* a lone quote has no body */
    }
    while (i < body_len) {
        char ch = body[i];
        int n;

        if (escape_kel_char(ch, esc) != 0) {
            fputs(" *** error the string has unescaped special KEL characters\n", stdout);
            return -1;
        }
        if (ch == '\\') {
            char decoded;
            int span = decode_escape_sequence(body + i, &decoded);
            if (span < 0) {
                report_illegal_escape();
                return -1;
            }
            n = output_put(&o, &decoded, 1);
            i += (size_t)span;
        } else if (escape_c_char(ch, esc) != 0) {
            fputs(" *** error the string has unescaped special C characters\n", stdout);
            return -1;
        } else {
            n = output_put(&o, &ch, 1);
            i += 1;
        }
        if (n < 0)
            return -1;
    }
    return output_end(&o);
}

/*
 * Raw text to KEL text, unquoted.  The KEL escapes take precedence, so a
 * quote becomes \042, never \".
 */
int reference_raw_text_to_kel(char *out, const char *in, int capacity)
{
    struct output o;
    char esc[5];
    size_t len = strlen(in);

    output_begin(&o, out, capacity);
    for (size_t i = 0; i < len; i++) {
        char ch = in[i];
        int n = escape_kel_char(ch, esc);

        if (n == 0)
            n = escape_c_char(ch, esc);
        if ((n > 0 ? output_put(&o, esc, n) : output_put(&o, &ch, 1)) < 0)
            return -1;
    }
    return output_end(&o);
}

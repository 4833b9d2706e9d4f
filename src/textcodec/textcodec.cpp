/*
 * Text codec for KEL strings: the escape primitives, then the converters
 * built on them.  See textcodec.h for the text forms.
 */
#include "textcodec.h"

#include <limits.h>
#include <stdio.h>
#include <string.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

/* ---- Escape primitives ------------------------------------------------ */

/*
 * The ten letter escapes.  Entry i of c_escape_chars is written as a
 * backslash followed by entry i of c_escape_letters.
 */
static constexpr char c_escape_chars[10] = {'\a', '\\', '\b', '\r', '"',
                                            '\f', '\t', '\n', '\'', '\v'};
static constexpr char c_escape_letters[10] = {'a', '\\', 'b', 'r', '"', 'f', 't', 'n', '\'', 'v'};

/* The characters that KEL gives a meaning of its own. */
static constexpr char kel_special_chars[3] = {'"', '/', '|'};

/* Escapes decode to 7-bit characters only. */
enum { MAX_DECODED = 127 };

/*
 * Index of ch in a table of n characters, or -1.  The tables are not
 * NUL-terminated, so a NUL is never found in them.
 */
static constexpr int find_char(const char *table, int n, char ch)
{
    for (int i = 0; i < n; i++) {
        if (table[i] == ch)
            return i;
    }
    return -1;
}

/* The C locale's printable class, fixed here so that no locale can change it. */
static constexpr bool is_printable(char ch)
{
    unsigned char c = (unsigned char)ch;
    return c >= 0x20 && c <= 0x7e;
}

/*
 * Backslash and three octal digits, terminated: five bytes, as "\\%03o"
 * formats the code.  The code is taken as unsigned, so even a byte above
 * 0x7f gives three digits.
 */
static constexpr int write_octal_escape(char ch, char *out)
{
    unsigned int code = (unsigned char)ch;
    out[0] = '\\';
    out[1] = (char)('0' + (code >> 6));
    out[2] = (char)('0' + ((code >> 3) & 7));
    out[3] = (char)('0' + (code & 7));
    out[4] = '\0';
    return 4;
}

static int octal_digit_value(char ch)
{
    return ch >= '0' && ch <= '7' ? ch - '0' : -1;
}

static int hex_digit_value(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

static constexpr int c_escape(char ch, char *out)
{
    int i = find_char(c_escape_chars, sizeof c_escape_chars, ch);
    if (i >= 0) {
        out[0] = '\\';
        out[1] = c_escape_letters[i];
        return 2;
    }
    if (is_printable(ch))
        return 0;
    return write_octal_escape(ch, out);
}

static constexpr int kel_escape(char ch, char *out)
{
    if (find_char(kel_special_chars, sizeof kel_special_chars, ch) < 0)
        return 0;
    return write_octal_escape(ch, out);
}

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
 * Decodes the escape sequence at seq (which points at the backslash) into
 * *out.  Returns the length of the sequence, backslash included, or -1.
 * An unknown letter or a backslash at the end of the text fails without a
 * message; a bad octal or hex run fails with the message of its decoder.
 */
int decode_escape_sequence(const char *seq, char *out)
{
    char next = seq[1];
    int i = find_char(c_escape_letters, sizeof c_escape_letters, next);
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
 * Decodes up to three octal digits at digits into *out.  Returns the number
 * of digits read, or -1 when there is none or the value is above 127.
 */
int decode_octal_escape(const char *digits, char *out)
{
    int value = 0;
    int n = 0;

    for (int d; n < 3 && (d = octal_digit_value(digits[n])) >= 0; n++)
        value = value * 8 + d;
    if (n == 0) {
        fputs(" *** Error   no octal digits\n", stdout);
        return -1;
    }
    if (value > MAX_DECODED) {
        fputs(" *** Error  octal escape sequence out of range\n", stdout);
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
        fputs(" *** missing first x \n", stdout);
        return -1;
    }
    for (int d; n < 2 && (d = hex_digit_value(x[1 + n])) >= 0; n++)
        value = value * 16 + d;
    if (n == 0) {
        fputs(" *** Error   no hex digits\n", stdout);
        return -1;
    }
    if (value > MAX_DECODED) {
        fputs(" *** Error  hex escape sequence out of range\n", stdout);
        return -1;
    }
    *out = (char)value;
    return 1 + n;
}

/*
 * Appends n characters of src at dst, where last is the last position the
 * text may occupy.  Copies like strncpy (stopping at a NUL in src and
 * padding with NULs), never adds a terminator, and returns dst + n.  When
 * the characters would end beyond last it writes nothing and returns null.
 * The room is compared as a difference of pointers, so no pointer outside
 * the buffer is ever formed.
 */
static void report_no_room(void)
{
    fputs(" Error    output string is not big enough\n", stdout);
}

char *append_bounded(char *dst, const char *src, int n, const char *last)
{
    if (n < 0 || n > last - dst + 1) {
        report_no_room();
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
 * How raw_text_to_kel writes each byte: its KEL escape, else its C escape,
 * else the byte itself.  Built at compile time by the encoders above.
 */
struct byte_form {
    int len;
    char text[5];
};

struct byte_forms {
    byte_form of[256];
};

static constexpr byte_forms make_kel_forms()
{
    byte_forms forms{};
    for (int code = 0; code < 256; code++) {
        byte_form &f = forms.of[code];
        f.len = kel_escape((char)code, f.text);
        if (f.len == 0)
            f.len = c_escape((char)code, f.text);
        if (f.len == 0) {
            f.text[0] = (char)code;
            f.len = 1;
        }
    }
    return forms;
}

static constexpr byte_forms kel_forms = make_kel_forms();

/*
 * A plain byte is one that raw_text_to_kel copies unchanged: printable and
 * neither a KEL special nor a C letter escape.  Every converter copies a
 * plain byte as it is, so runs of them are copied in bulk.
 */
static constexpr bool is_plain(unsigned char code)
{
    return kel_forms.of[code].len == 1;
}

#ifdef __SSE2__
/* The same class as the vector scan below computes it, checked against is_plain. */
static constexpr bool is_plain_by_scan(unsigned char code)
{
    return code >= 0x20 && code < 0x7f && code != '"' && code != '\'' && code != '/' &&
           code != '\\' && code != '|';
}

static constexpr bool scan_matches_table()
{
    for (int code = 0; code < 256; code++) {
        if (is_plain_by_scan((unsigned char)code) != is_plain((unsigned char)code))
            return false;
    }
    return true;
}
static_assert(scan_matches_table(), "the vector scan must agree with the escape tables");

/* A bit for each of the 16 bytes at s that is not plain. */
static unsigned int special_mask(const char *s)
{
    __m128i v = _mm_loadu_si128((const __m128i *)s);
    /* Signed compare: below 0x20, and 0x80 to 0xff, which are negative. */
    __m128i bad = _mm_cmplt_epi8(v, _mm_set1_epi8(0x20));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8(0x7f)));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('/')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('\\')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('|')));
    return (unsigned int)_mm_movemask_epi8(bad);
}
#endif

/* The number of plain bytes at the start of the n bytes at s. */
static size_t plain_run(const char *s, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        unsigned int mask = special_mask(s + i);
        if (mask != 0)
            return i + (size_t)__builtin_ctz(mask);
    }
#endif
    while (i < n && is_plain((unsigned char)s[i]))
        i++;
    return i;
}

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
        report_no_room();
        return -1;
    }
    if (o->start != NULL) {
        if (o->capacity < 1) {
            report_no_room();
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
 * Appends a run of n plain characters, as n appends of one character would:
 * the characters that fit are written, then the buffer message is printed
 * and -1 returned.  A run holds no NUL, so the copy is a plain memcpy.
 */
static int output_put_run(struct output *o, const char *src, size_t n)
{
    size_t fit = (size_t)(INT_MAX - o->count);
    if (o->start != NULL) {
        size_t room = o->capacity > o->count ? (size_t)(o->capacity - o->count) : 0;
        fit = fit < room ? fit : room;
    }
    fit = fit < n ? fit : n;
    if (o->start != NULL) {
        memcpy(o->next, src, fit);
        o->next += fit;
    }
    o->count += (int)fit;
    if (fit < n) {
        report_no_room();
        return -1;
    }
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

/*
 * C-literal text to KEL text.  Enclosing quotes are kept, escapes are
 * checked and copied as they stand, except \" which becomes \042, and a
 * raw '/' or '|' is escaped.
 */
int c_text_to_kel(char *out, const char *in, int capacity)
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
        size_t run = plain_run(in + i, len - i);
        if (output_put_run(&o, in + i, run) < 0)
            return -1;
        i += run;
        if (i == len)
            break;

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
int kel_text_to_raw(char *out, const char *in, int capacity)
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
        size_t run = plain_run(body + i, body_len - i);
        if (output_put_run(&o, body + i, run) < 0)
            return -1;
        i += run;
        if (i == body_len)
            break;

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
int raw_text_to_kel(char *out, const char *in, int capacity)
{
    struct output o;
    size_t len = strlen(in);
    size_t i = 0;

    output_begin(&o, out, capacity);
    while (i < len) {
        size_t run = plain_run(in + i, len - i);
        if (output_put_run(&o, in + i, run) < 0)
            return -1;
        i += run;
        if (i == len)
            break;

        const byte_form *f = &kel_forms.of[(unsigned char)in[i]];
        if (output_put(&o, f->text, f->len) < 0)
            return -1;
        i += 1;
    }
    return output_end(&o);
}

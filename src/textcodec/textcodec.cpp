// SPDX-License-Identifier: MIT
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

/*
 * For each byte, its index in one of the tables above, or -1: the
 * converters look characters up once per byte, so a search is too slow.
 */
struct char_index {
    signed char of[256];
};

static constexpr char_index make_index(const char *table, int n)
{
    char_index index{};
    for (int code = 0; code < 256; code++)
        index.of[code] = (signed char)find_char(table, n, (char)code);
    return index;
}

static constexpr char_index c_escape_char_index = make_index(c_escape_chars, sizeof c_escape_chars);
static constexpr char_index c_escape_letter_index =
    make_index(c_escape_letters, sizeof c_escape_letters);
static constexpr char_index kel_special_index =
    make_index(kel_special_chars, sizeof kel_special_chars);

static constexpr int index_of(const char_index &index, char ch)
{
    return index.of[(unsigned char)ch];
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
    int i = index_of(c_escape_char_index, ch);
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
    if (index_of(kel_special_index, ch) < 0)
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
static inline int decode_octal(const char *digits, char *out);
static inline int decode_hex(const char *x, char *out);

static inline int decode_escape(const char *seq, char *out)
{
    char next = seq[1];
    int i = index_of(c_escape_letter_index, next);
    int n;

    if (i >= 0) {
        *out = c_escape_chars[i];
        return 2;
    }
    if (next == 'x')
        n = decode_hex(seq + 1, out);
    else if (octal_digit_value(next) >= 0)
        n = decode_octal(seq + 1, out);
    else
        return -1;
    return n < 0 ? -1 : n + 1;
}

int decode_escape_sequence(const char *seq, char *out)
{
    return decode_escape(seq, out);
}

/*
 * Decodes up to three octal digits at digits into *out.  Returns the number
 * of digits read, or -1 when there is none or the value is above 127.
 */
static inline int decode_octal(const char *digits, char *out)
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

int decode_octal_escape(const char *digits, char *out)
{
    return decode_octal(digits, out);
}

/*
 * Decodes "x" and up to two hex digits at x into *out.  Returns 1 plus the
 * number of digits read, or -1 when the x is missing, no digit follows it
 * or the value is above 127.
 */
static inline int decode_hex(const char *x, char *out)
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

int decode_hex_escape(const char *x, char *out)
{
    return decode_hex(x, out);
}

static void report_no_room(void)
{
    fputs(" Error    output string is not big enough\n", stdout);
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

/* Copies k < 16 bytes with a few fixed-size, possibly overlapping moves. */
static void copy_short(char *dst, const char *src, size_t k)
{
    if (k >= 8) {
        memcpy(dst, src, 8);
        memcpy(dst + k - 8, src + k - 8, 8);
    } else if (k >= 4) {
        memcpy(dst, src, 4);
        memcpy(dst + k - 4, src + k - 4, 4);
    } else {
        for (size_t j = 0; j < k; j++)
            dst[j] = src[j];
    }
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

/* A bit for each of the 16 bytes in v that is not plain. */
static unsigned int special_mask(__m128i v)
{
    /* 0x20 to 0x7e, and only they, become 0x21 to 0x7f: positive and above 0x20. */
    __m128i printable = _mm_cmpgt_epi8(_mm_add_epi8(v, _mm_set1_epi8(1)), _mm_set1_epi8(0x20));
    /* '\\' (0x5c) and '|' (0x7c) are the only bytes that become '|' with bit 5 set. */
    __m128i bad = _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(0x20)), _mm_set1_epi8('|'));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
    bad = _mm_or_si128(bad, _mm_cmpeq_epi8(v, _mm_set1_epi8('/')));
    return (unsigned int)(_mm_movemask_epi8(bad) | (~_mm_movemask_epi8(printable) & 0xffff));
}
#endif

/* The number of plain bytes at the start of the n bytes at s. */
static size_t plain_run(const char *s, size_t n)
{
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 16 <= n; i += 16) {
        unsigned int mask = special_mask(_mm_loadu_si128((const __m128i *)(s + i)));
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
    if (o->start != NULL && n <= o->capacity - o->count && n < 16) {
        /*
         * Fits.  The characters appended here (an escape, a decoded
         * character) hold no NUL but a decoded NUL itself, so a plain copy
         * writes what append_bounded would.
         */
        copy_short(o->next, src, (size_t)n);
        o->next += n;
        o->count += n;
        return 0;
    }
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
 * Appends the run of plain characters at text[*at], among the first len
 * bytes of text, and moves *at past it; returns what output_put_run
 * returns.  While
 * the buffer has room for sixteen more characters, the scan stores each
 * block of sixteen plain bytes as it reads it, and only the bytes of the
 * run, so that a later failure leaves the same partial output.
 */
static int append_plain(struct output *o, const char *text, size_t len, size_t *at)
{
    const char *s = text + *at;
    size_t n = len - *at;
    size_t i = 0;
#ifdef __SSE2__
    if (o->start != NULL) {
        size_t room = o->capacity > o->count ? (size_t)(o->capacity - o->count) : 0;
        unsigned int mask = 0;
        for (; i + 16 <= n && i + 16 <= room; i += 16) {
            __m128i v = _mm_loadu_si128((const __m128i *)(s + i));
            mask = special_mask(v);
            if (mask != 0)
                break;
            _mm_storeu_si128((__m128i *)(o->next + i), v);
        }
        if (mask != 0) {
            size_t k = (size_t)__builtin_ctz(mask);
            copy_short(o->next + i, s + i, k);
            i += k;
        }
        o->next += i;
        o->count += (int)i;
        if (mask != 0) {
            *at += i;
            return 0;
        }
    }
#endif
    size_t rest = plain_run(s + i, n - i);
    *at += i + rest;
    return output_put_run(o, s + i, rest);
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
        if (is_plain((unsigned char)in[i])) {
            if (append_plain(&o, in, len, &i) < 0)
                return -1;
            continue;
        }

        char ch = in[i];
        int n;
        if (ch == '"' && (i == 0 || i == len - 1)) {
            n = output_put(&o, &ch, 1);
            i += 1;
        } else if (ch != '\\' && escape_c_char(ch, esc) != 0) {
            fputs(" *** error   string has un-escaped special or un-printable character\n", stdout);
            return -1;
        } else if (ch == '\\') {
            int span = decode_escape(in + i, &unused);
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
 * The common escapes of KEL text, decoded without a message: a letter
 * escape, or three octal digits worth at most 127.  Returns the span, or 0
 * when decode_escape must look at the sequence.
 */
static inline int decode_common(const char *seq, char *out)
{
    int letter = index_of(c_escape_letter_index, seq[1]);
    if (letter >= 0) {
        *out = c_escape_chars[letter];
        return 2;
    }
    int d1 = octal_digit_value(seq[1]);
    int d2 = octal_digit_value(seq[2]);
    int d3 = octal_digit_value(seq[3]);
    if ((d1 | d2 | d3) >= 0 && d1 <= 1) {
        *out = (char)(d1 * 64 + d2 * 8 + d3);
        return 4;
    }
    return 0;
}

#ifdef __SSE2__
/* Masks with the top k bytes set, for k from 0 to 16. */
struct top_masks {
    unsigned char of[17][16];
};

static constexpr top_masks make_top_masks()
{
    top_masks m{};
    for (int k = 0; k <= 16; k++) {
        for (int b = 16 - k; b < 16; b++)
            m.of[k][b] = 0xff;
    }
    return m;
}

static constexpr top_masks top_mask = make_top_masks();

/*
 * Writes the k bytes at src to dst, and nothing else, with one store: the
 * sixteen bytes that end at dst + k are the ones already written before
 * dst, followed by the k new ones.  Needs sixteen bytes before src + k and
 * before dst + k.
 */
static void store_tail(char *dst, const char *src, unsigned int k)
{
    __m128i m = _mm_loadu_si128((const __m128i *)top_mask.of[k]);
    __m128i before = _mm_loadu_si128((const __m128i *)(dst + k - 16));
    __m128i fresh = _mm_loadu_si128((const __m128i *)(src + k - 16));
    __m128i merged = _mm_or_si128(_mm_and_si128(m, fresh), _mm_andnot_si128(m, before));
    _mm_storeu_si128((__m128i *)(dst + k - 16), merged);
}

/*
 * The fast lane of kel_text_to_raw, from body[i]: blocks of sixteen plain
 * bytes are stored as read, the plain bytes before a backslash with one
 * store, and the common escapes decoded on the spot.  It writes exactly the
 * characters the exact path would and leaves at anything else (another
 * escape, a refused character), near the end of the body or of the room,
 * and before sixteen characters are written.  Returns where the exact path
 * goes on.
 */
static size_t decode_blocks(struct output *o, const char *body, size_t body_len, size_t i)
{
    enum { BLOCK = 16, LOOKAHEAD = 3 };

    if (o->start == NULL || o->count < BLOCK || i < BLOCK)
        return i;
    char *next = o->next;
    char *end = o->start + o->capacity; /* the last character goes before end */
    while (i + BLOCK + LOOKAHEAD <= body_len && end - next >= BLOCK) {
        __m128i v = _mm_loadu_si128((const __m128i *)(body + i));
        unsigned int mask = special_mask(v);
        if (mask == 0) {
            _mm_storeu_si128((__m128i *)next, v);
            next += BLOCK;
            i += BLOCK;
            continue;
        }
        unsigned int k = (unsigned int)__builtin_ctz(mask);
        store_tail(next, body + i, k);
        next += k;
        i += k;
        int span = body[i] == '\\' ? decode_common(body + i, next) : 0;
        if (span == 0)
            break;
        next += 1;
        i += (size_t)span;
    }
    o->count += (int)(next - o->next);
    o->next = next;
    return i;
}
#endif

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
#ifdef __SSE2__
        i = decode_blocks(&o, body, body_len, i);
        if (i >= body_len)
            break;
#endif
        if (is_plain((unsigned char)body[i])) {
            if (append_plain(&o, body, body_len, &i) < 0)
                return -1;
            continue;
        }

        /* The backslash is no KEL special, so it may be tested first. */
        char ch = body[i];
        int n;
        if (ch != '\\' && escape_kel_char(ch, esc) != 0) {
            fputs(" *** error the string has unescaped special KEL characters\n", stdout);
            return -1;
        }
        if (ch == '\\') {
            char decoded;
            int span = decode_escape(body + i, &decoded);
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

enum { BLOCK = 16, WORST_BLOCK = 4 * BLOCK, LEFT_IN = 3, LEFT_ROOM = 8 };

/*
 * Appends whole blocks of plain bytes, at most max of them and no more
 * than the room (and the count) allows; returns how many it appended.
 */
static size_t plain_blocks(struct output *o, const char *s, size_t max)
{
    size_t room = (size_t)(INT_MAX - o->count);
    if (o->start != NULL)
        room = (size_t)(o->capacity - o->count);
    room = room > LEFT_ROOM ? (room - LEFT_ROOM) / BLOCK : 0;
    max = max < room ? max : room;

    size_t k = 0;
#ifdef __SSE2__
    for (; k < max; k++) {
        __m128i v = _mm_loadu_si128((const __m128i *)(s + k * BLOCK));
        if (special_mask(v) != 0)
            break;
        if (o->start != NULL)
            _mm_storeu_si128((__m128i *)(o->next + k * BLOCK), v);
    }
    if (o->start != NULL)
        o->next += k * BLOCK;
    o->count += (int)(k * BLOCK);
#else
    (void)s;
#endif
    return k;
}

/*
 * The fast lane of raw_text_to_kel: whole blocks of sixteen input bytes,
 * while the output surely has room for them.  A block of plain bytes is
 * stored as it was read; any other block is encoded byte by byte without a
 * branch on the byte, each form stored as four bytes and the position
 * moved by its length.  The bytes stored past a form's length are written
 * over by the next form; the lane stops while at least three input bytes
 * and room for a few more characters are left, so the exact path after it
 * always writes over them too, whether it ends the text or runs out of
 * room.  The results are those of the exact path, byte for byte.  Returns
 * the number of input bytes consumed.
 */
static size_t encode_blocks(struct output *o, const char *in, size_t len)
{
    size_t i = 0;

    for (;;) {
        if (i + BLOCK + LEFT_IN > len || o->count > INT_MAX - WORST_BLOCK - LEFT_ROOM)
            break;
        if (o->start != NULL && o->capacity - o->count < WORST_BLOCK + LEFT_ROOM)
            break;
        i += plain_blocks(o, in + i, (len - LEFT_IN - i) / BLOCK) * BLOCK;
        if (i + BLOCK + LEFT_IN > len || o->count > INT_MAX - WORST_BLOCK - LEFT_ROOM)
            break;

        const char *block = in + i;
        if (o->start == NULL) {
            for (int k = 0; k < BLOCK; k++)
                o->count += kel_forms.of[(unsigned char)block[k]].len;
        } else {
            if (o->capacity - o->count < WORST_BLOCK + LEFT_ROOM)
                break;
            char *next = o->next;
            for (int k = 0; k < BLOCK; k++) {
                const byte_form *f = &kel_forms.of[(unsigned char)block[k]];
                memcpy(next, f->text, 4);
                next += f->len;
            }
            o->count += (int)(next - o->next);
            o->next = next;
        }
        i += BLOCK;
    }
    return i;
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
    i = encode_blocks(&o, in, len);
    while (i < len) {
        if (is_plain((unsigned char)in[i])) {
            if (append_plain(&o, in, len, &i) < 0)
                return -1;
            continue;
        }

        const byte_form *f = &kel_forms.of[(unsigned char)in[i]];
        if (output_put(&o, f->text, f->len) < 0)
            return -1;
        i += 1;
    }
    return output_end(&o);
}

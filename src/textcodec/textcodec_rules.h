// SPDX-License-Identifier: MIT
/*
 * The rules of KEL text, each stated once: the escape tables, the 127
 * limit, the printable class and the plain-byte class that every converter
 * copies unchanged.  Shared by the exact path and the vector kernels; not
 * installed.
 *
 * Everything here has internal linkage: the kernels are compiled for other
 * instruction sets than the exact path, and an inline function shared
 * between them could be linked in its AVX-512 form where only SSE2 runs.
 */
#ifndef TEXTCODEC_RULES_H
#define TEXTCODEC_RULES_H

namespace
{

/*
 * The ten letter escapes.  Entry i of c_escape_chars is written as a
 * backslash followed by entry i of c_escape_letters.
 */
constexpr char c_escape_chars[10] = {'\a', '\\', '\b', '\r', '"', '\f', '\t', '\n', '\'', '\v'};
constexpr char c_escape_letters[10] = {'a', '\\', 'b', 'r', '"', 'f', 't', 'n', '\'', 'v'};

/* The characters that KEL gives a meaning of its own. */
constexpr char kel_special_chars[3] = {'"', '/', '|'};

/* Escapes decode to 7-bit characters only. */
constexpr int MAX_DECODED = 127;

/*
 * For each byte, its index in one of the tables above, or -1.  The tables
 * are not NUL-terminated, so a NUL is never found in them.
 */
struct char_index {
    signed char of[256];
};

constexpr char_index make_index(const char *table, int n)
{
    char_index index{};
    for (int code = 0; code < 256; code++) {
        index.of[code] = -1;
        for (int i = 0; i < n; i++) {
            if (table[i] == (char)code) {
                index.of[code] = (signed char)i;
                break;
            }
        }
    }
    return index;
}

constexpr char_index c_escape_char_index = make_index(c_escape_chars, sizeof c_escape_chars);
constexpr char_index c_escape_letter_index = make_index(c_escape_letters, sizeof c_escape_letters);
constexpr char_index kel_special_index = make_index(kel_special_chars, sizeof kel_special_chars);

constexpr int index_of(const char_index &index, char ch)
{
    return index.of[(unsigned char)ch];
}

/* The C locale's printable class, fixed here so that no locale can change it. */
constexpr bool is_printable(char ch)
{
    return (unsigned char)ch >= 0x20 && (unsigned char)ch <= 0x7e;
}

/*
 * A plain byte is one that every converter copies unchanged and that
 * starts no escape: printable, neither a KEL special nor one of the letter
 * escapes' characters (the quotes and the backslash).  raw_text_to_kel
 * writes exactly the plain bytes as they are.
 */
constexpr bool is_plain(unsigned char code)
{
    return is_printable((char)code) && index_of(kel_special_index, (char)code) < 0 &&
           index_of(c_escape_char_index, (char)code) < 0;
}

/* Whether a test of one byte finds exactly the plain bytes: for the vector kernels' compares. */
template <class Test> constexpr bool finds_the_plain_bytes(Test test)
{
    for (int code = 0; code < 256; code++) {
        if (test((unsigned char)code) != is_plain((unsigned char)code))
            return false;
    }
    return true;
}

/* Digit values, -1 for anything else. */
constexpr int octal_digit_value(char ch)
{
    return ch >= '0' && ch <= '7' ? ch - '0' : -1;
}

constexpr int hex_digit_value(char ch)
{
    if (ch >= '0' && ch <= '9')
        return ch - '0';
    if (ch >= 'a' && ch <= 'f')
        return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F')
        return ch - 'A' + 10;
    return -1;
}

/*
 * Backslash and three octal digits, terminated: five bytes, as "\\%03o"
 * formats the code.  The code is taken as unsigned, so even a byte above
 * 0x7f gives three digits.
 */
constexpr int write_octal_escape(char ch, char *out)
{
    unsigned int code = (unsigned char)ch;
    out[0] = '\\';
    out[1] = (char)('0' + (code >> 6));
    out[2] = (char)('0' + ((code >> 3) & 7));
    out[3] = (char)('0' + (code & 7));
    out[4] = '\0';
    return 4;
}

/* The C escape of ch: 2 for a letter escape, 0 for a printable, 4 for octal. */
constexpr int c_escape(char ch, char *out)
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

/* The KEL escape of ch: 4 for a KEL special, 0 for anything else. */
constexpr int kel_escape(char ch, char *out)
{
    if (index_of(kel_special_index, ch) < 0)
        return 0;
    return write_octal_escape(ch, out);
}

/*
 * How raw_text_to_kel writes each byte: its KEL escape, else its C escape,
 * else the byte itself.  Built at compile time from the encoders above.
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
        char text[5] = {};
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
    if (end - seq >= 4) {
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

// SPDX-License-Identifier: MIT
/*
 * The rules of KEL text, each stated once: the escape tables, the 127
 * limit, the digit limits, the printable class and the plain-byte class
 * that every converter copies unchanged.  Shared by the exact path and the
 * vector kernels; not installed.
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

/* The most digits an escape reads: \ooo, \xhh. */
constexpr int MAX_OCTAL_DIGITS = 3;
constexpr int MAX_HEX_DIGITS = 2;

/* The longest escape an encoder writes, a backslash and three digits, and its terminator. */
constexpr int ESCAPE_BUFFER = 5;

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

/*
 * The printable bytes that are not plain, each once: the list from which
 * the vector kernels build their class of special bytes (every byte
 * outside 0x20 to 0x7e, and these).  A new special byte is added to the
 * tables above; this list follows, and the assert below keeps it whole.
 */
struct byte_list {
    char of[16];
    int n;
};

constexpr byte_list make_printable_specials()
{
    byte_list list{};
    for (int code = 0x20; code <= 0x7e; code++) {
        if (!is_plain((unsigned char)code))
            list.of[list.n++] = (char)code;
    }
    return list;
}

constexpr byte_list printable_specials = make_printable_specials();
static_assert(printable_specials.n == 5, "the quotes, the slash, the bar and the backslash");

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
constexpr int write_octal_escape(char ch, char out[ESCAPE_BUFFER])
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

} // namespace

#endif

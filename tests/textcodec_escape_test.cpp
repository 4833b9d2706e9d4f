// SPDX-License-Identifier: MIT
// The single-character escapes, the escape-sequence decoders and the
// bounded append; and the choice of kernels, in a program that calls the
// public interface alone.
#include "stdout_capture.h"
#include "textcodec.h"
#include "textcodec_kernels.h"

#include <gtest/gtest.h>

#include <string.h>

#include <string>

// This program calls nothing but the public interface, so only a weak
// reference, which links nothing in, finds out which kernels it uses: a
// static library whose choice of kernels lived apart from the converters
// would leave such a program on the exact path, unseen.
// NOLINTNEXTLINE(readability-redundant-declaration): it makes the reference weak
enum textcodec_level textcodec_current_level(void) __attribute__((weak));
// NOLINTNEXTLINE(readability-redundant-declaration): it makes the reference weak
enum textcodec_level textcodec_best_level(void) __attribute__((weak));

namespace
{

const char NO_OCTAL[] = " *** Error   no octal digits\n";
const char OCTAL_RANGE[] = " *** Error  octal escape sequence out of range\n";
const char NO_X[] = " *** missing first x \n";
const char NO_HEX[] = " *** Error   no hex digits\n";
const char HEX_RANGE[] = " *** Error  hex escape sequence out of range\n";
const char NO_ROOM[] = " Error    output string is not big enough\n";

// Runs an encoder on a buffer filled with a marker byte and returns what it
// wrote, up to the first marker left standing.
std::string encode(int (*encoder)(char, char *), char ch, int *ret)
{
    char out[8];
    memset(out, '#', sizeof out);
    *ret = encoder(ch, out);
    const char *end = (const char *)memchr(out, '#', sizeof out);
    return std::string(out, end != nullptr ? (size_t)(end - out) : sizeof out);
}

TEST(EscapeCChar, LettersPrintablesAndOctal)
{
    struct {
        char ch;
        int ret;
        std::string written; // a terminator belongs only to the octal form
    } cases[] = {
        {'A', 0, ""},
        {' ', 0, ""},
        {'~', 0, ""},
        {'/', 0, ""},
        {'|', 0, ""},
        {'\a', 2, "\\a"},
        {'\\', 2, "\\\\"},
        {'\b', 2, "\\b"},
        {'\r', 2, "\\r"},
        {'"', 2, "\\\""},
        {'\f', 2, "\\f"},
        {'\t', 2, "\\t"},
        {'\n', 2, "\\n"},
        {'\'', 2, "\\'"},
        {'\v', 2, "\\v"},
        {'\0', 4, std::string("\\000\0", 5)},
        {'\x01', 4, std::string("\\001\0", 5)},
        {'\x1b', 4, std::string("\\033\0", 5)},
        {'\x7f', 4, std::string("\\177\0", 5)},
    };
    for (const auto &c : cases) {
        int ret;
        std::string written = encode(escape_c_char, c.ch, &ret);
        EXPECT_EQ(ret, c.ret) << "char " << (int)(unsigned char)c.ch;
        EXPECT_EQ(written, c.written) << "char " << (int)(unsigned char)c.ch;
    }
}

TEST(EscapeCChar, HighBytesStayWithinFiveBytes)
{
    for (int b = 0x80; b <= 0xff; b++) {
        char expected[8];
        snprintf(expected, sizeof expected, "\\%03o", b);
        int ret;
        std::string written = encode(escape_c_char, (char)b, &ret);
        EXPECT_EQ(ret, 4) << b;
        EXPECT_EQ(written, std::string(expected, 5)) << b;
    }
}

TEST(EscapeKelChar, OnlyTheThreeSpecialsAreEscaped)
{
    struct {
        char ch;
        int ret;
        std::string written;
    } cases[] = {
        {'"', 4, std::string("\\042\0", 5)},
        {'/', 4, std::string("\\057\0", 5)},
        {'|', 4, std::string("\\174\0", 5)},
        {'\\', 0, ""},
        {'a', 0, ""},
        {'\n', 0, ""},
        {'\0', 0, ""},
        {'\'', 0, ""},
    };
    for (const auto &c : cases) {
        int ret;
        std::string written = encode(escape_kel_char, c.ch, &ret);
        EXPECT_EQ(ret, c.ret) << "char " << (int)(unsigned char)c.ch;
        EXPECT_EQ(written, c.written) << "char " << (int)(unsigned char)c.ch;
    }
}

TEST(DecodeEscapeSequence, DispatchesOnTheCharacterAfterTheBackslash)
{
    struct {
        const char *seq;
        int ret;
        char decoded; // checked when ret > 0
        const char *message;
    } cases[] = {
        {"\\n", 2, '\n', ""},
        {"\\\"", 2, '"', ""},
        {"\\'", 2, '\'', ""},
        {"\\\\", 2, '\\', ""},
        {"\\a", 2, '\a', ""},
        {"\\v", 2, '\v', ""},
        {"\\x41", 4, 'A', ""},
        {"\\x4", 3, '\x04', ""},
        {"\\x7f", 4, '\x7f', ""},
        {"\\x7F", 4, '\x7f', ""},
        {"\\x414", 4, 'A', ""},
        {"\\x0", 3, '\0', ""},
        {"\\xg", -1, 0, NO_HEX},
        {"\\x", -1, 0, NO_HEX},
        {"\\x80", -1, 0, HEX_RANGE},
        {"\\xff", -1, 0, HEX_RANGE},
        {"\\X41", -1, 0, ""},
        {"\\101", 4, 'A', ""},
        {"\\0", 2, '\0', ""},
        {"\\7", 2, '\x07', ""},
        {"\\18", 2, '\x01', ""},
        {"\\177", 4, '\x7f', ""},
        {"\\1234", 4, 'S', ""},
        {"\\200", -1, 0, OCTAL_RANGE},
        {"\\777", -1, 0, OCTAL_RANGE},
        {"\\8", -1, 0, ""},
        {"\\9", -1, 0, ""},
        {"\\q", -1, 0, ""},
        {"\\/", -1, 0, ""},
        {"\\?", -1, 0, ""},
        {"\\e", -1, 0, ""},
        {"\\N", -1, 0, ""},
        {"\\", -1, 0, ""},
    };
    for (const auto &c : cases) {
        char out = '#';
        int ret = 0;
        std::string message = capture_stdout([&] { ret = decode_escape_sequence(c.seq, &out); });
        EXPECT_EQ(ret, c.ret) << c.seq;
        EXPECT_EQ(message, c.message) << c.seq;
        if (c.ret > 0)
            EXPECT_EQ(out, c.decoded) << c.seq;
        else
            EXPECT_EQ(out, '#') << c.seq << ": a failed decode stores nothing";
    }
}

TEST(DecodeDigitRuns, CalledDirectly)
{
    struct {
        int (*decode)(const char *, char *);
        const char *in;
        int ret;
        const char *message;
    } cases[] = {
        {decode_octal_escape, "8", -1, NO_OCTAL}, {decode_octal_escape, "", -1, NO_OCTAL},
        {decode_octal_escape, "0777", 3, ""},     {decode_octal_escape, "1778", 3, ""},
        {decode_hex_escape, "41", -1, NO_X},      {decode_hex_escape, "X41", -1, NO_X},
        {decode_hex_escape, "x", -1, NO_HEX},     {decode_hex_escape, "x2b", 3, ""},
        {decode_hex_escape, "x7fff", 3, ""},
    };
    for (const auto &c : cases) {
        char out = '#';
        int ret = 0;
        std::string message = capture_stdout([&] { ret = c.decode(c.in, &out); });
        EXPECT_EQ(ret, c.ret) << c.in;
        EXPECT_EQ(message, c.message) << c.in;
    }
}

TEST(AppendBounded, FitsExactlyOrWritesNothing)
{
    char buf[8];
    memset(buf, '#', sizeof buf);
    char *last = buf + 3; // room for four characters
    char *end = nullptr;

    std::string message = capture_stdout([&] { end = append_bounded(buf, "abcd", 4, last); });
    EXPECT_EQ(end, buf + 4);
    EXPECT_EQ(message, "");
    EXPECT_EQ(std::string(buf, 8), "abcd####") << "no terminator after the characters";

    memset(buf, '#', sizeof buf);
    message = capture_stdout([&] { end = append_bounded(buf + 1, "abcd", 4, last); });
    EXPECT_EQ(end, nullptr);
    EXPECT_EQ(message, NO_ROOM);
    EXPECT_EQ(std::string(buf, 8), "########");

    memset(buf, '#', sizeof buf);
    message = capture_stdout([&] { end = append_bounded(buf, "ab", 4, last); });
    EXPECT_EQ(end, buf + 4);
    EXPECT_EQ(std::string(buf, 8), std::string("ab\0\0####", 8)) << "padded like strncpy";

    message = capture_stdout([&] { end = append_bounded(buf + 4, "", 0, last); });
    EXPECT_EQ(end, buf + 4) << "nothing to append always fits";
    EXPECT_EQ(message, "");
}

TEST(KernelChoice, AProgramOfThePublicInterfaceUsesTheWidestKernels)
{
    char out[8];
    ASSERT_EQ(raw_text_to_kel(out, "a", sizeof out - 1), 1);
    // As pointers: a reference to a function is taken never to be null.
    enum textcodec_level (*current)(void) = &textcodec_current_level;
    enum textcodec_level (*best)(void) = &textcodec_best_level;
    ASSERT_TRUE(current != nullptr && best != nullptr) << "the choice of kernels is not linked in";
    EXPECT_EQ(current(), best());
}

} // namespace

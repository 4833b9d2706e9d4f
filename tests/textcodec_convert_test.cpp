// SPDX-License-Identifier: MIT
// The three whole-string converters: results, messages, measure mode,
// capacity and the round trip between raw text and KEL text, at every
// level of the codec's kernels.
#include "stdout_capture.h"
#include "textcodec.h"
#include "textcodec_levels.h"

#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace
{

typedef int (*Converter)(char *, const char *, int);

const std::string NO_HEX = " *** Error   no hex digits\n";
const std::string OCTAL_RANGE = " *** Error  octal escape sequence out of range\n";
const std::string NO_ROOM = " Error    output string is not big enough\n";
const std::string UNBALANCED = " *** error   string has unbalanced double quotes\n";
const std::string UNESCAPED =
    " *** error   string has un-escaped special or un-printable character\n";
const std::string ILLEGAL = " *** error  string has an illegal escape sequence \n";
const std::string RAW_KEL = " *** error the string has unescaped special KEL characters\n";
const std::string RAW_C = " *** error the string has unescaped special C characters\n";

const char GUARD = '#';
const int GUARD_BYTES = 8;

struct Result {
    int ret;
    std::string messages;
    std::string buffer; // the capacity + 1 bytes of the buffer
    bool guard_intact;  // nothing written past them
};

Result run(Converter convert, const std::string &in, int capacity)
{
    std::vector<char> buf((size_t)capacity + 1 + GUARD_BYTES, GUARD);
    Result r;
    r.messages = capture_stdout([&] { r.ret = convert(buf.data(), in.c_str(), capacity); });
    r.buffer.assign(buf.data(), (size_t)capacity + 1);
    r.guard_intact =
        std::string(buf.end() - GUARD_BYTES, buf.end()) == std::string(GUARD_BYTES, GUARD);
    return r;
}

Result measure(Converter convert, const std::string &in)
{
    Result r;
    r.messages = capture_stdout([&] { r.ret = convert(nullptr, in.c_str(), 0); });
    r.guard_intact = true;
    return r;
}

struct Case {
    const char *converter;
    Converter convert;
    std::string in;
    int ret;
    std::string out; // the text on success; ignored on failure
    std::string messages;
};

#define RAW raw_text_to_kel
#define C2K c_text_to_kel
#define K2R kel_text_to_raw
#define CASE(f, ...)                                                                               \
    Case                                                                                           \
    {                                                                                              \
#f, f, __VA_ARGS__                                                                         \
    }

const Case cases[] = {
    // Empty input needs no room, not even for a capacity of 0.
    CASE(RAW, "", 0, "", ""),
    CASE(C2K, "", 0, "", ""),
    CASE(K2R, "", 0, "", ""),

    CASE(RAW, "a/b|c", 11, "a\\057b\\174c", ""),
    CASE(RAW, "\"abc\"", 11, "\\042abc\\042", ""),
    CASE(RAW, "a\"b", 6, "a\\042b", ""),
    CASE(RAW, "a\\b", 4, "a\\\\b", ""),
    CASE(RAW, "\n", 2, "\\n", ""),
    CASE(RAW, "\x7f", 4, "\\177", ""),
    CASE(RAW, "a'b", 4, "a\\'b", ""),
    CASE(RAW, "\x01\x1b", 8, "\\001\\033", ""),
    CASE(RAW, "\a\b\f\r\t\v", 12, "\\a\\b\\f\\r\\t\\v", ""),
    CASE(RAW, "1 2", 3, "1 2", ""),

    CASE(C2K, "\"abc\"", 5, "\"abc\"", ""),
    CASE(C2K, "\"", 1, "\"", ""),
    CASE(C2K, "a/b|c", 11, "a\\057b\\174c", ""),
    CASE(C2K, "a\\\"b", 6, "a\\042b", ""),
    CASE(C2K, "a\\nb", 4, "a\\nb", ""),
    CASE(C2K, "a\\x41b", 6, "a\\x41b", ""),
    CASE(C2K, "a\\101b", 6, "a\\101b", ""),
    CASE(C2K, "a\\1234", 6, "a\\1234", ""),
    CASE(C2K, "\"abc\\\"", 8, "\"abc\\042", ""),
    CASE(C2K, "\"\\\"", 5, "\"\\042", ""),
    CASE(C2K, "a\"b", -1, "", UNESCAPED),
    CASE(C2K, "a\tb", -1, "", UNESCAPED),
    CASE(C2K, "a'b", -1, "", UNESCAPED),
    CASE(C2K, "a\x7f", -1, "", UNESCAPED),
    CASE(C2K, "a\xc3\xa9", -1, "", UNESCAPED),
    CASE(C2K, "\"abc", -1, "", UNBALANCED),
    CASE(C2K, "abc\"", -1, "", UNBALANCED),
    CASE(C2K, "\\\"", -1, "", UNBALANCED),
    CASE(C2K, "a\\qb", -1, "", ILLEGAL),
    CASE(C2K, "a\\8", -1, "", ILLEGAL),
    CASE(C2K, "ab\\", -1, "", ILLEGAL),
    CASE(C2K, "a\\X41", -1, "", ILLEGAL),
    CASE(C2K, "a\\xg", -1, "", NO_HEX + ILLEGAL),
    CASE(C2K, "a\\200", -1, "", OCTAL_RANGE + ILLEGAL),
    CASE(C2K, "a\\qb\tc", -1, "", ILLEGAL), // only the first fault is reported

    CASE(K2R, "\"abc\"", 3, "abc", ""),
    CASE(K2R, "\"\"", 0, "", ""),
    CASE(K2R, "\"", 0, "", ""),
    CASE(K2R, "a\\057b", 3, "a/b", ""),
    CASE(K2R, "a\\x41b", 3, "aAb", ""),
    CASE(K2R, "a\\0b", 3, "a\0b"s, ""),
    CASE(K2R, "a\\1234", 3, "aS4", ""),
    CASE(K2R, "a\\x414", 3, "aA4", ""),
    CASE(K2R, "\"abc\\\"", 4, "abc\"", ""),
    CASE(K2R, "\"\\\"", 1, "\"", ""),
    CASE(K2R, "\"\\101\"", 1, "A", ""),
    CASE(K2R, "a\\\\b\\'c", 5, "a\\b'c", ""),
    CASE(K2R, "a/b", -1, "", RAW_KEL),
    CASE(K2R, "a|b", -1, "", RAW_KEL),
    CASE(K2R, "\"a/b\"", -1, "", RAW_KEL),
    CASE(K2R, "a\"b", -1, "", RAW_KEL),
    CASE(K2R, "a\tb", -1, "", RAW_C),
    CASE(K2R, "a'b", -1, "", RAW_C),
    CASE(K2R, "a\\200", -1, "", OCTAL_RANGE + ILLEGAL),
    CASE(K2R, "a\\xg", -1, "", NO_HEX + ILLEGAL),
    CASE(K2R, "a\\q", -1, "", ILLEGAL),
    CASE(K2R, "a\\", -1, "", ILLEGAL),
    CASE(K2R, "\"abc", -1, "", UNBALANCED),
    CASE(K2R, "abc\"", -1, "", UNBALANCED),
};

class Converters : public AtEveryLevel
{
};
INSTANTIATE_AT_EVERY_LEVEL(Converters);

std::string describe(const Case &c)
{
    return std::string(c.converter) + " of \"" + c.in + "\"";
}

TEST_P(Converters, ResultsAndMessages)
{
    for (const Case &c : cases) {
        // Exactly the room needed, or plenty for a text that is refused.
        int capacity = c.ret >= 0 ? c.ret : 64;
        Result r = run(c.convert, c.in, capacity);
        EXPECT_EQ(r.ret, c.ret) << describe(c);
        EXPECT_EQ(r.messages, c.messages) << describe(c);
        EXPECT_TRUE(r.guard_intact) << describe(c);
        if (c.ret >= 0) {
            EXPECT_EQ(r.buffer, c.out + '\0') << describe(c) << ": exact fit with terminator";
        }
    }
}

TEST_P(Converters, MeasureModeMatchesAWrite)
{
    for (const Case &c : cases) {
        Result r = measure(c.convert, c.in);
        EXPECT_EQ(r.ret, c.ret) << describe(c);
        EXPECT_EQ(r.messages, c.messages) << describe(c);
    }
}

TEST_P(Converters, CapacityBoundsAndPartialOutput)
{
    struct {
        Converter convert;
        std::string in;
        int capacity;
        int ret;
        std::string written; // the buffer's start after the call
    } cases[] = {
        {RAW, "abc", 3, 3, "abc\0"s},     {RAW, "abc", 2, -1, "ab#"},
        {RAW, "a/b", 4, -1, "a####"},     {RAW, "a/b", 5, -1, "a\\057#"},
        {RAW, "a/b", 6, 6, "a\\057b\0"s}, {C2K, "\"a/b\"", 7, -1, "\"a\\057b#"},
        {K2R, "a\\057b", 2, -1, "a/#"},   {RAW, "a", 0, -1, "#"},
        {C2K, "a", 0, -1, "#"},           {K2R, "a", 0, -1, "#"},
    };
    for (const auto &c : cases) {
        Result r = run(c.convert, c.in, c.capacity);
        std::string what = c.in + " in " + std::to_string(c.capacity);
        EXPECT_EQ(r.ret, c.ret) << what;
        EXPECT_EQ(r.messages, c.ret < 0 ? NO_ROOM : "") << what;
        EXPECT_EQ(r.buffer.substr(0, c.written.size()), c.written) << what;
        EXPECT_TRUE(r.guard_intact) << what;
    }
}

TEST_P(Converters, NegativeCapacityWritesNothing)
{
    char buf[4] = {GUARD, GUARD, GUARD, GUARD};
    for (Converter convert : {RAW, C2K, K2R}) {
        int ret = 0;
        std::string messages = capture_stdout([&] { ret = convert(buf + 2, "a", -2); });
        EXPECT_EQ(ret, -1);
        EXPECT_EQ(messages, NO_ROOM);
        messages = capture_stdout([&] { ret = convert(buf + 2, "", -2); });
        EXPECT_EQ(ret, 0);
        EXPECT_EQ(messages, "");
        EXPECT_EQ(std::string(buf, 4), "####");
    }
}

// Raw text of 7-bit characters survives the trip to KEL text and back.
TEST_P(Converters, RoundTripOverRandomRawText)
{
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> byte(0x01, 0x7f);
    std::uniform_int_distribution<int> length(0, 64);

    for (int iteration = 0; iteration < 3000; iteration++) {
        int n = iteration < 20 ? 4000 : length(rng);
        std::string raw;
        for (int k = 0; k < n; k++)
            raw += (char)byte(rng);

        int kel_len = raw_text_to_kel(nullptr, raw.c_str(), 0);
        ASSERT_GE(kel_len, n);
        std::vector<char> kel((size_t)kel_len + 1);
        ASSERT_EQ(raw_text_to_kel(kel.data(), raw.c_str(), kel_len), kel_len);

        ASSERT_EQ(kel_text_to_raw(nullptr, kel.data(), 0), n) << raw;
        std::vector<char> back((size_t)n + 1);
        ASSERT_EQ(kel_text_to_raw(back.data(), kel.data(), n), n) << raw;
        ASSERT_EQ(std::string(back.data(), (size_t)n), raw);

        // KEL text is valid C-literal text too, and needs no change.
        ASSERT_EQ(c_text_to_kel(nullptr, kel.data(), 0), kel_len) << kel.data();
    }
}

} // namespace

// SPDX-License-Identifier: MIT
// The converters copy runs of plain characters in bulk and scan for the end
// of a run sixteen bytes at a time.  None of that may show: for random
// inputs at every alignment and length, every result, message, partial
// output and measure-mode count must be those of the per-character
// reference converters.
#include "textcodec.h"
#include "textcodec_reference.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace
{

typedef int (*Converter)(char *, const char *, int);

struct Pair {
    const char *name;
    Converter fast;
    Converter reference;
};

const Pair pairs[] = {
    {"c_text_to_kel", c_text_to_kel, reference_c_text_to_kel},
    {"kel_text_to_raw", kel_text_to_raw, reference_kel_text_to_raw},
    {"raw_text_to_kel", raw_text_to_kel, reference_raw_text_to_kel},
};

// Sends standard output to one file for the whole test and hands out what
// each call added: much cheaper than a new file per call.  Between calls
// standard output is restored, so that failures are still reported.
class StdoutRecorder
{
  public:
    StdoutRecorder()
    {
        char path[] = "/tmp/keltools-recorder-XXXXXX";
        fd_ = mkstemp(path);
        unlink(path);
        saved_ = dup(STDOUT_FILENO);
    }
    ~StdoutRecorder()
    {
        close(saved_);
        close(fd_);
    }
    void start()
    {
        fflush(stdout);
        dup2(fd_, STDOUT_FILENO);
    }
    std::string stop()
    {
        fflush(stdout);
        dup2(saved_, STDOUT_FILENO);
        std::string text;
        char buf[4096];
        ssize_t got;
        while ((got = pread(fd_, buf, sizeof buf, offset_)) > 0) {
            text.append(buf, (size_t)got);
            offset_ += got;
        }
        return text;
    }

  private:
    int fd_;
    int saved_;
    off_t offset_ = 0;
};

struct Outcome {
    int ret;
    std::string messages;
    std::string buffer;
};

// Runs a converter with the input at the given alignment and a buffer of
// capacity + 1 bytes followed by a guard, all pre-filled.
Outcome convert(StdoutRecorder &rec, Converter f, const std::string &in, size_t align, int capacity,
                bool measure)
{
    std::vector<char> input(in.size() + 1 + 16);
    std::copy(in.begin(), in.end(), input.begin() + (long)align);
    input[align + in.size()] = '\0';

    size_t size = (size_t)(capacity < 0 ? 0 : capacity) + 1 + 8;
    std::vector<char> buf(size, '#');
    Outcome o;
    rec.start();
    o.ret = f(measure ? nullptr : buf.data(), input.data() + align, capacity);
    o.messages = rec.stop();
    o.buffer.assign(buf.begin(), buf.end());
    return o;
}

// Pieces that random inputs are made of: plain text, and everything the
// converters treat specially, valid or not.
const char *const pieces[] = {
    "a",     "b",     "Z",    "0",      " ",     "~",      "hello world", "plain text of a run",
    "\"",    "/",     "|",    "'",      "\\",    "\t",     "\n",          "\x01",
    "\x7f",  "\x80",  "\xff", "\\n",    "\\\"",  "\\\\",   "\\'",         "\\042",
    "\\057", "\\174", "\\0",  "\\1234", "\\200", "\\8",    "\\q",         "\\x41",
    "\\x4",  "\\x",   "\\xg", "\\x80",  "\\X41", "\\x414",
};

std::string random_text(std::mt19937 &rng, int pieces_wanted, bool plain_heavy)
{
    std::uniform_int_distribution<size_t> any(0, sizeof pieces / sizeof pieces[0] - 1);
    std::uniform_int_distribution<size_t> plain(0, 7);
    std::uniform_int_distribution<int> coin(0, 9);
    std::string text;
    for (int k = 0; k < pieces_wanted; k++)
        text += pieces[plain_heavy && coin(rng) != 0 ? plain(rng) : any(rng)];
    return text;
}

void compare(StdoutRecorder &rec, const std::string &in, size_t align)
{
    for (const Pair &p : pairs) {
        Outcome want = convert(rec, p.reference, in, 0, 0, true);
        Outcome got = convert(rec, p.fast, in, align, 0, true);
        ASSERT_EQ(got.ret, want.ret) << p.name << " measuring \"" << in << "\"";
        ASSERT_EQ(got.messages, want.messages) << p.name << " measuring \"" << in << "\"";

        int most = want.ret >= 0 ? want.ret + 1 : (int)in.size() * 4 + 1;
        for (int capacity = -1; capacity <= most; capacity++) {
            want = convert(rec, p.reference, in, 0, capacity, false);
            got = convert(rec, p.fast, in, align, capacity, false);
            ASSERT_EQ(got.ret, want.ret) << p.name << " \"" << in << "\" in " << capacity;
            ASSERT_EQ(got.messages, want.messages) << p.name << " \"" << in << "\" in " << capacity;
            ASSERT_EQ(got.buffer, want.buffer) << p.name << " \"" << in << "\" in " << capacity;
        }
    }
}

TEST(ConvertersAgainstReference, RandomTextAtEveryAlignment)
{
    StdoutRecorder rec;
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> count(0, 12);
    for (int iteration = 0; iteration < 600; iteration++) {
        std::string in = random_text(rng, count(rng), iteration % 2 == 0);
        ASSERT_NO_FATAL_FAILURE(compare(rec, in, (size_t)iteration % 16));
        // Quoted, as C-literal and KEL text often is.
        ASSERT_NO_FATAL_FAILURE(compare(rec, "\"" + in + "\"", (size_t)(iteration + 7) % 16));
    }
}

TEST(ConvertersAgainstReference, OneSpecialCharacterAtEveryPositionOfLongRuns)
{
    StdoutRecorder rec;
    for (const char *special : {"/", "\\n", "\x01", "\x80", "\\q"}) {
        for (size_t length = 0; length <= 40; length++) {
            for (size_t at = 0; at <= length; at++) {
                std::string in(length, 'x');
                in.insert(at, special);
                ASSERT_NO_FATAL_FAILURE(compare(rec, in, (length + at) % 16));
            }
        }
    }
}

// Long valid texts reach the block-wise paths, which need room and input
// to spare; every capacity shows where a failure leaves the output.
TEST(ConvertersAgainstReference, LongTextsAtEveryCapacity)
{
    StdoutRecorder rec;
    std::mt19937 rng(1208);
    std::uniform_int_distribution<int> count(10, 60);
    for (int iteration = 0; iteration < 40; iteration++) {
        std::string raw = random_text(rng, count(rng), iteration % 3 != 0);
        std::string kel(4 * raw.size() + 1, '\0');
        kel.resize((size_t)reference_raw_text_to_kel(&kel[0], raw.c_str(), (int)kel.size() - 1));
        for (const std::string &in : {raw, kel, "\"" + kel + "\""})
            ASSERT_NO_FATAL_FAILURE(compare(rec, in, (size_t)iteration % 16));
    }
}

TEST(ConvertersAgainstReference, EveryByteValue)
{
    StdoutRecorder rec;
    for (int code = 1; code < 256; code++) {
        for (size_t before = 0; before < 18; before += 17) {
            std::string in = std::string(before, 'p') + (char)code + std::string(17, 'q');
            ASSERT_NO_FATAL_FAILURE(compare(rec, in, before % 16));
        }
    }
}

} // namespace

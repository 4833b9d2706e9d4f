// SPDX-License-Identifier: MIT
// The vector kernels change nothing observable: for random inputs at every
// alignment and length, every result, message, partial output and
// measure-mode count at each level is that of the exact path, which is the
// oracle.  Inputs sit at the very end of their allocation, so that a read
// past the terminator is an error under AddressSanitizer.
#include "textcodec.h"
#include "textcodec_levels.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

namespace
{

typedef int (*Converter)(char *, const char *, int);

struct Named {
    const char *name;
    Converter convert;
};

const Named converters[] = {
    {"c_text_to_kel", c_text_to_kel},
    {"kel_text_to_raw", kel_text_to_raw},
    {"raw_text_to_kel", raw_text_to_kel},
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

// Runs a converter at a level with the input at the given alignment, at
// the end of its allocation, and a buffer of capacity + 1 bytes followed
// by a guard, all pre-filled.
Outcome convert(StdoutRecorder &rec, textcodec_level level, Converter f, const std::string &in,
                size_t align, int capacity, bool measure)
{
    std::unique_ptr<char[]> input(new char[align + in.size() + 1]);
    std::copy(in.begin(), in.end(), input.get() + align);
    input[align + in.size()] = '\0';

    size_t size = (size_t)(capacity < 0 ? 0 : capacity) + 1 + 8;
    std::vector<char> buf(size, '#');
    Outcome o;
    textcodec_use_level(level);
    rec.start();
    o.ret = f(measure ? nullptr : buf.data(), input.get() + align, capacity);
    o.messages = rec.stop();
    textcodec_use_level(textcodec_best_level());
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

// Compares a level with the exact path on one input: measuring, and
// writing at every capacity from -1 to what the text needs (every step-th
// one, and always the last few).
void compare(StdoutRecorder &rec, textcodec_level level, const std::string &in, size_t align,
             int step = 1)
{
    for (const Named &c : converters) {
        Outcome want = convert(rec, TEXTCODEC_EXACT, c.convert, in, 0, 0, true);
        Outcome got = convert(rec, level, c.convert, in, align, 0, true);
        ASSERT_EQ(got.ret, want.ret) << c.name << " measuring \"" << in << "\"";
        ASSERT_EQ(got.messages, want.messages) << c.name << " measuring \"" << in << "\"";

        int most = want.ret >= 0 ? want.ret + 1 : (int)in.size() * 4 + 1;
        for (int capacity = -1; capacity <= most; capacity++) {
            if (step > 1 && capacity % step != 0 && capacity < most - 5)
                continue;
            want = convert(rec, TEXTCODEC_EXACT, c.convert, in, 0, capacity, false);
            got = convert(rec, level, c.convert, in, align, capacity, false);
            ASSERT_EQ(got.ret, want.ret) << c.name << " \"" << in << "\" in " << capacity;
            ASSERT_EQ(got.messages, want.messages) << c.name << " \"" << in << "\" in " << capacity;
            ASSERT_EQ(got.buffer, want.buffer) << c.name << " \"" << in << "\" in " << capacity;
        }
    }
}

// `mapped` pages to read and write, followed by one that may not be
// touched at all; unmapped again at the end of the test.
class GuardedPages
{
  public:
    explicit GuardedPages(size_t mapped) : size_((mapped + 1) * page_)
    {
        void *at = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED)
            return;
        base_ = (char *)at;
        if (mprotect(base_ + mapped * page_, page_, PROT_NONE) != 0) {
            munmap(base_, size_);
            base_ = nullptr;
        }
    }
    ~GuardedPages()
    {
        if (base_ != nullptr)
            munmap(base_, size_);
    }
    GuardedPages(const GuardedPages &) = delete;
    GuardedPages &operator=(const GuardedPages &) = delete;
    char *get() const
    {
        return base_;
    }
    size_t page() const
    {
        return page_;
    }

  private:
    const size_t page_ = (size_t)sysconf(_SC_PAGESIZE);
    size_t size_;
    char *base_ = nullptr;
};

size_t first_difference(const std::string &a, const std::string &b)
{
    size_t k = 0;
    while (k < a.size() && k < b.size() && a[k] == b[k])
        k++;
    return k;
}

class KernelsAgainstTheExactPath : public AtEveryLevel
{
};
INSTANTIATE_TEST_SUITE_P(Level, KernelsAgainstTheExactPath,
                         ::testing::Values(TEXTCODEC_SSE2, TEXTCODEC_AVX2, TEXTCODEC_AVX512,
                                           TEXTCODEC_AVX512_VBMI2),
                         level_name);

TEST_P(KernelsAgainstTheExactPath, RandomTextAtEveryAlignment)
{
    StdoutRecorder rec;
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int> count(0, 12);
    for (int iteration = 0; iteration < 400; iteration++) {
        std::string in = random_text(rng, count(rng), iteration % 2 == 0);
        ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), in, (size_t)iteration % 64));
        // Quoted, as C-literal and KEL text often is.
        ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), "\"" + in + "\"", (size_t)(iteration + 7) % 64));
    }
}

// Every position of a run across one, two and three vectors of each width,
// and positions in runs long enough to be copied four vectors at a time.
TEST_P(KernelsAgainstTheExactPath, OneSpecialCharacterAtEveryPositionOfLongRuns)
{
    StdoutRecorder rec;
    for (const char *special : {"/", "\\n", "\\057", "\x80", "\\q", "\\1"}) {
        for (size_t length : {0, 1, 2, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 130, 321, 600}) {
            for (size_t at = 0; at <= length; at += length > 300 ? 11 : length > 40 ? 3 : 1) {
                std::string in(length, 'x');
                in.insert(at, special);
                int step = length > 300 ? 97 : length > 40 ? 29 : 1;
                ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), in, (length + at) % 64, step));
            }
        }
    }
}

// Every escape overhanging the end of a block of each width by every one
// of its bytes but the first, in the first, second and third block of a
// text read from an aligned start.
TEST_P(KernelsAgainstTheExactPath, EscapesOverhangingABlockEndByEveryOffset)
{
    StdoutRecorder rec;
    for (const std::string escape : {"\\057", "\\1234", "\\0", "\\x41", "\\x414", "\\n", "\\\"", "\\q"}) {
        for (size_t width : {16, 32, 64}) {
            for (size_t block = 1; block <= 3; block++) {
                for (size_t overhang = 1; overhang < escape.size(); overhang++) {
                    size_t at = block * width - (escape.size() - overhang);
                    std::string in = std::string(at, 'x') + escape + std::string(width, 'y');
                    ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), in, 0, 13)) << escape << " at " << at;
                }
            }
        }
    }
}

// Names with one escape, common or not, at every position near the
// start, the middle (64) and the end, quoted and unquoted, of lengths
// around 64 bytes and up to 127: the short path takes a name in two halves
// of 64, and an escape may reach from the first into the second, or end
// where the closing quote begins.
TEST_P(KernelsAgainstTheExactPath, NamesWithAnEscapeAtEveryPositionAroundTheirHalves)
{
    StdoutRecorder rec;
    for (const std::string escape : {"\\n", "\\\\", "\\\\\\\\", "\\101", "\\x41", "\t", "\""}) {
        for (size_t length : {60, 62, 63, 64, 65, 66, 67, 124, 125, 126, 127}) {
            for (size_t at = 0; at + escape.size() <= length; at++) {
                bool near_an_end = at < 4 || (at >= 58 && at <= 68) || at + escape.size() + 6 >= length;
                if (!near_an_end)
                    continue;
                std::string name = std::string(at, 'x') + escape;
                name += std::string(length - name.size(), 'y');
                ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), name, at % 64, 31)) << escape << " at " << at;
                name = '"' + name.substr(0, length - 2) + '"';
                ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), name, at % 64, 31)) << escape << " at " << at;
            }
        }
    }
}

// Short names with two pieces of every kind, common escapes or not, runs
// of backslashes among them, quoted and unquoted: a short name is decoded
// at once, every escape found from the classes of its bytes, and one that
// would take the closing quote, or a byte past the name, is not easy.
TEST_P(KernelsAgainstTheExactPath, ShortNamesWithTwoPiecesOfEveryKind)
{
    StdoutRecorder rec;
    const std::string pieces[] = {"\\n",  "\\t",  "\\\\",   "\\\\\\", "\\\\\\\\", "\\042", "\\177",
                                  "\\200", "\\19", "\\1",    "\\x41",  "\\q",     "\\",    "\\\x80",
                                  "\x80",  "\"",    "/",      "|",      "\t",       "0",     ""};
    size_t align = 0;
    for (const std::string &a : pieces) {
        for (const std::string &b : pieces) {
            for (const std::string &name : {a + "n" + b, "xy" + a + b, a + "z" + b + "1"}) {
                ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), name, align++ % 64, 7)) << name;
                ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), '"' + name + '"', align++ % 64, 7)) << name;
            }
        }
    }
}

// Long valid texts, raw and encoded, at every capacity: where a failure for
// want of room leaves the output.
TEST_P(KernelsAgainstTheExactPath, LongTextsAtEveryCapacity)
{
    StdoutRecorder rec;
    std::mt19937 rng(1208);
    std::uniform_int_distribution<int> count(10, 80);
    for (int iteration = 0; iteration < 30; iteration++) {
        std::string raw = random_text(rng, count(rng), iteration % 3 != 0);
        std::string kel(4 * raw.size() + 1, '\0');
        textcodec_use_level(TEXTCODEC_EXACT);
        kel.resize((size_t)raw_text_to_kel(&kel[0], raw.c_str(), (int)kel.size() - 1));
        textcodec_use_level(textcodec_best_level());
        for (const std::string &in : {raw, kel, "\"" + kel + "\""})
            ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), in, (size_t)iteration % 64));
    }
}

// Names, plain and full of escapes, of every length from 0 to 130, each
// ending at the last byte of a page that is followed by an unmapped one:
// a short-text kernel may read past the terminator, but never into the
// next page.
TEST_P(KernelsAgainstTheExactPath, NamesOfEveryLengthEndingAtAPageEnd)
{
    StdoutRecorder rec;
    GuardedPages guarded(1);
    ASSERT_NE(guarded.get(), nullptr);
    char *pages = guarded.get();
    const size_t page = guarded.page();
    std::mt19937 rng(31);
    for (size_t length = 0; length <= 130; length++) {
        for (int kind = 0; kind < 6; kind++) {
            std::string name = kind % 3 == 0 ? random_text(rng, 40, true) : random_text(rng, 40, false);
            if (kind % 3 == 2) // encoded, as KEL text of a name is
                name = "\\n\\057ab\\\\c\\'d\\042\\174xyz\\t" + name;
            name.resize(length);
            if (kind >= 3 && length >= 2) // quoted, the last character of its body just before the quote
                name = '"' + name.substr(0, length - 2) + '"';
            for (const Named &c : converters) {
                char *in = pages + page - length - 1;
                memcpy(in, name.c_str(), length + 1);
                // Into a buffer of room for any result, measured, and one
                // character short of the result, at a level.
                struct Run {
                    int ret, measured, short_by_one;
                    std::string messages;
                    char buf[2 * (4 * 130 + 1)];
                };
                auto run = [&](textcodec_level level, int exact_ret, Run *r) {
                    memset(r->buf, '#', sizeof r->buf);
                    textcodec_use_level(level);
                    rec.start();
                    r->ret = c.convert(r->buf, in, 4 * 130);
                    r->measured = c.convert(nullptr, in, 0);
                    r->short_by_one = c.convert(r->buf + size_t{4} * 130 + 1, in, exact_ret > 0 ? exact_ret - 1 : 0);
                    r->messages = rec.stop();
                    textcodec_use_level(textcodec_best_level());
                };
                Run want, got;
                run(TEXTCODEC_EXACT, 0, &want);
                run(TEXTCODEC_EXACT, want.ret, &want);
                run(GetParam(), want.ret, &got);
                ASSERT_EQ(got.ret, want.ret) << c.name << " \"" << name << "\"";
                ASSERT_EQ(got.measured, want.measured) << c.name << " \"" << name << "\"";
                ASSERT_EQ(got.short_by_one, want.short_by_one) << c.name << " \"" << name << "\"";
                ASSERT_EQ(got.messages, want.messages) << c.name << " \"" << name << "\"";
                ASSERT_EQ(std::string(got.buf, sizeof got.buf), std::string(want.buf, sizeof want.buf))
                    << c.name << " \"" << name << "\": the output, and every byte after it";
            }
        }
    }
}

// Names that start near the end of one page and go on into the next, of
// every length to 130: the short path's load stops at the page's end, and
// the rest of the text is read from the second page.
TEST_P(KernelsAgainstTheExactPath, NamesAcrossTwoPages)
{
    StdoutRecorder rec;
    GuardedPages guarded(2);
    ASSERT_NE(guarded.get(), nullptr);
    char *pages = guarded.get();
    const size_t page = guarded.page();
    std::mt19937 rng(37);
    for (size_t before : {1, 2, 15, 16, 31, 32, 33, 63, 64, 65}) {
        for (size_t length = before; length <= 130; length += 7) {
            std::string name = random_text(rng, 60, before % 2 == 0);
            name.resize(length);
            char *in = pages + page - before;
            memcpy(in, name.c_str(), length + 1);
            for (const Named &c : converters) {
                std::string want_buf(4 * 130 + 1, '#'), got_buf(4 * 130 + 1, '#');
                textcodec_use_level(TEXTCODEC_EXACT);
                rec.start();
                int want = c.convert(&want_buf[0], in, 4 * 130);
                std::string want_messages = rec.stop();
                textcodec_use_level(GetParam());
                rec.start();
                int got = c.convert(&got_buf[0], in, 4 * 130);
                std::string got_messages = rec.stop();
                textcodec_use_level(textcodec_best_level());
                ASSERT_EQ(got, want) << c.name << " \"" << name << "\" from " << before << " before a page";
                ASSERT_EQ(got_messages, want_messages) << c.name << " \"" << name << "\"";
                ASSERT_EQ(got_buf, want_buf) << c.name << " \"" << name << "\"";
            }
        }
    }
}

// Results written up to the last byte of a page that is followed by an
// unmapped one, and results that start just before a page boundary and go
// on into the next page: the kernels split a store at a page's end, and
// write neither before the result nor after its terminator.
TEST_P(KernelsAgainstTheExactPath, ResultsAroundAPageEnd)
{
    StdoutRecorder rec;
    GuardedPages guarded(2);
    ASSERT_NE(guarded.get(), nullptr);
    char *pages = guarded.get();
    const size_t page = guarded.page();
    std::mt19937 rng(41);
    // Runs a converter into out with the given capacity; returns its result,
    // its messages and both mapped pages as it left them, too long to print.
    auto run = [&](textcodec_level level, const Named &c, const std::string &in, char *out, int capacity) {
        memset(pages, '#', 2 * page);
        textcodec_use_level(level);
        rec.start();
        int ret = c.convert(out, in.c_str(), capacity);
        std::string messages = rec.stop();
        textcodec_use_level(textcodec_best_level());
        return std::to_string(ret) + "|" + messages + "|" + std::string(pages, 2 * page);
    };
    // Names of every length, and texts long enough for the runs of whole vectors.
    std::vector<size_t> lengths;
    for (size_t length = 0; length <= 130; length++)
        lengths.push_back(length);
    lengths.insert(lengths.end(), {200, 300, 1100});
    for (size_t length : lengths) {
        for (int kind = 0; kind < 5; kind++) {
            std::string name = random_text(rng, (int)length + 1, kind == 0);
            if (kind == 4) // nothing special at all
                for (char &ch : name)
                    ch = (char)('a' + (unsigned char)ch % 26);
            if (kind == 2)
                name = "\\n\\057ab\\\\c\\'d\\042\\174xyz\\t" + name;
            name.resize(length);
            if (kind == 3 && length >= 2)
                name = '"' + name.substr(0, length - 2) + '"';
            for (const Named &c : converters) {
                textcodec_use_level(TEXTCODEC_EXACT);
                rec.start();
                int need = c.convert(nullptr, name.c_str(), 0);
                rec.stop();
                int capacity = need >= 0 ? need : 4 * 130;
                // Ending at the page end, the room exact and one byte short.
                for (int short_by : {0, 1}) {
                    char *out = pages + 2 * page - capacity - 1 + short_by;
                    std::string got = run(GetParam(), c, name, out, capacity - short_by);
                    std::string want = run(TEXTCODEC_EXACT, c, name, out, capacity - short_by);
                    ASSERT_TRUE(got == want) << c.name << " \"" << name << "\" short by " << short_by
                                             << ": differs from byte " << first_difference(got, want);
                }
                // Starting just before a page boundary, into the next page.
                for (size_t before : {1, 2, 15, 16, 31, 33, 63, 64, 65}) {
                    char *out = pages + page - before;
                    std::string got = run(GetParam(), c, name, out, capacity);
                    std::string want = run(TEXTCODEC_EXACT, c, name, out, capacity);
                    ASSERT_TRUE(got == want) << c.name << " \"" << name << "\" from " << before
                                             << " before a page: differs from byte " << first_difference(got, want);
                }
            }
        }
    }
}

#if defined(__SANITIZE_ADDRESS__)
#define UNDER_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define UNDER_ADDRESS_SANITIZER 1
#endif
#endif

// A text without its terminator inside its allocation is reported at every
// level, the short path's unchecked load included.
TEST_P(KernelsAgainstTheExactPath, AnUnterminatedTextIsReportedUnderAddressSanitizer)
{
#ifndef UNDER_ADDRESS_SANITIZER
    GTEST_SKIP() << "not built with AddressSanitizer";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (size_t length : {1, 40, 64, 127}) {
        for (const Named &c : converters) {
            EXPECT_DEATH(
                {
                    textcodec_use_level(GetParam());
                    std::unique_ptr<char[]> text(new char[length]);
                    memset(text.get(), 'a', length);
                    char out[256];
                    c.convert(out, text.get(), sizeof out - 1);
                },
                "heap-buffer-overflow")
                << c.name << ", " << length << " bytes";
        }
    }
#endif
}

TEST_P(KernelsAgainstTheExactPath, EveryByteValue)
{
    StdoutRecorder rec;
    for (int code = 1; code < 256; code++) {
        for (size_t before : {0, 17, 70}) {
            std::string in = std::string(before, 'p') + (char)code + std::string(70, 'q');
            ASSERT_NO_FATAL_FAILURE(compare(rec, GetParam(), in, before % 64, 11));
        }
    }
}

} // namespace

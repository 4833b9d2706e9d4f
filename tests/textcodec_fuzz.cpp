// SPDX-License-Identifier: MIT
// libFuzzer target over all nine functions of the codec.  Under
// AddressSanitizer every input and output buffer is exactly as large as
// the call may use, on the heap, so one byte read or written too far is a
// finding.  Each converter at every level that this processor runs must
// agree with the exact path, partial output and messages included; the primitives must
// keep to their bounds; and for 7-bit raw text the trip through KEL text
// must give the text back.
#include "textcodec.h"
#include "textcodec_kernels.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <initializer_list>
#include <string>

typedef int (*Converter)(char *, const char *, int);

static void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "textcodec_fuzz: %s\n", what);
        abort();
    }
}

// Converts into a heap buffer of exactly capacity + 1 bytes; *result gets
// the buffer when the caller wants to read it, else it is freed.
static int convert(Converter f, const char *in, int capacity, char **result)
{
    char *out = (char *)malloc((size_t)capacity + 1);
    memset(out, '#', (size_t)capacity + 1);
    int ret = f(out, in, capacity);
    if (result != nullptr)
        *result = out;
    else
        free(out);
    return ret;
}

// The measured length fits exactly, one character less never fits, and a
// smaller buffer fails without writing outside it.
static int check_bounds(Converter f, const char *in, int small)
{
    int want = f(nullptr, in, 0);
    if (want < 0) {
        check(convert(f, in, small, nullptr) == -1, "a refused text converted");
        return -1;
    }
    check(convert(f, in, want, nullptr) == want, "exact capacity did not fit");
    if (want > 0)
        check(convert(f, in, want - 1, nullptr) == -1, "one character short still fit");
    if (small < want)
        check(convert(f, in, small, nullptr) == -1, "too small a buffer fit");
    return want;
}

// What the codec printed on standard output (a file of its own) since the
// last call; the file is emptied.
static std::string messages()
{
    fflush(stdout);
    long end = ftell(stdout);
    std::string text(end > 0 ? (size_t)end : 0, '\0');
    if (end > 0)
        check(pread(fileno(stdout), &text[0], text.size(), 0) == (ssize_t)text.size(), "messages unread");
    check(ftruncate(fileno(stdout), 0) == 0, "messages not emptied");
    rewind(stdout);
    return text;
}

// The same result, the same bytes written and the same messages at every
// level as by the exact path, in a buffer of the given capacity, and the
// same count when measuring.
static void check_levels(Converter f, const char *in, int capacity)
{
    char *want = nullptr;
    textcodec_use_level(TEXTCODEC_EXACT);
    messages();
    int want_ret = convert(f, in, capacity, &want);
    int want_measured = f(nullptr, in, 0);
    std::string want_messages = messages();
    for (int level = TEXTCODEC_SSE2; level < TEXTCODEC_LEVELS; level++) {
        if (!textcodec_level_supported((textcodec_level)level))
            continue;
        textcodec_use_level((textcodec_level)level);
        char *got = nullptr;
        check(convert(f, in, capacity, &got) == want_ret, "a level's result differs");
        check(memcmp(got, want, (size_t)capacity + 1) == 0, "a level's output differs");
        check(f(nullptr, in, 0) == want_measured, "a level measures differently");
        check(messages() == want_messages, "a level's messages differ");
        free(got);
    }
    textcodec_use_level(textcodec_best_level());
    free(want);
}

// The primitives on the first bytes of the input: nothing written beyond
// their bounds, and what they return in range.
static void check_primitives(const uint8_t *data, size_t size)
{
    char *out = (char *)malloc(5);
    check(escape_c_char((char)data[0], out) <= 4, "escape_c_char wrote too much");
    check(escape_kel_char((char)data[0], out) <= 4, "escape_kel_char wrote too much");
    free(out);

    // Each decoder reads its sequence from a heap copy that ends at its terminator.
    char *seq = (char *)malloc(size + 2);
    seq[0] = '\\';
    memcpy(seq + 1, data, size);
    seq[size + 1] = '\0';
    char decoded;
    int n = decode_escape_sequence(seq, &decoded);
    check(n == -1 || (n >= 2 && n <= 4 && (unsigned char)decoded <= 127), "decode_escape_sequence");
    n = decode_octal_escape(seq + 1, &decoded);
    check(n == -1 || (n >= 1 && n <= 3 && (unsigned char)decoded <= 127), "decode_octal_escape");
    n = decode_hex_escape(seq + 1, &decoded);
    check(n == -1 || (n >= 2 && n <= 3 && (unsigned char)decoded <= 127), "decode_hex_escape");
    free(seq);

    // append_bounded into a buffer that ends at last.
    int room = data[0] % 8;
    char *dst = (char *)malloc((size_t)room + 1);
    const char src[] = "abcdefgh";
    int want = size > 1 ? data[1] % 10 - 1 : 0;
    char *end = append_bounded(dst, src, want, dst + room);
    check(end == (want >= 0 && want <= room + 1 ? dst + want : nullptr), "append_bounded");
    free(dst);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The codec prints its refusals: into a file of their own, read back
    // and compared between levels, which keeps the fuzzer's output readable.
    char path[] = "/tmp/keltools-fuzz-messages-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0 || freopen(path, "w+", stdout) == nullptr)
        abort();
    unlink(path);
    close(fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    check_primitives(data, size);

    int small = data[0] % 16;
    char *in = (char *)malloc(size);
    memcpy(in, data + 1, size - 1);
    in[size - 1] = '\0';

    check_bounds(c_text_to_kel, in, small);
    check_bounds(kel_text_to_raw, in, small);
    int kel_len = check_bounds(raw_text_to_kel, in, small);

    for (Converter f : {c_text_to_kel, kel_text_to_raw, raw_text_to_kel}) {
        check_levels(f, in, small);
        int need = f(nullptr, in, 0);
        if (need >= 0)
            check_levels(f, in, need);
    }

    size_t raw_len = strlen(in);
    bool seven_bit = true;
    for (size_t i = 0; i < raw_len; i++)
        seven_bit = seven_bit && (unsigned char)in[i] < 0x80;
    if (seven_bit) {
        char *kel = nullptr;
        char *back = nullptr;
        check(convert(raw_text_to_kel, in, kel_len, &kel) == kel_len, "encode failed");
        check(convert(kel_text_to_raw, kel, (int)raw_len, &back) == (int)raw_len,
              "decode gave another length");
        check(memcmp(back, in, raw_len) == 0, "round trip changed the text");
        check(c_text_to_kel(nullptr, kel, 0) == kel_len, "KEL text is not C-literal text");
        free(kel);
        free(back);
    }
    free(in);
    return 0;
}

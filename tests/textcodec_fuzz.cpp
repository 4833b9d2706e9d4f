// SPDX-License-Identifier: MIT
// libFuzzer target over the three converters.  Under AddressSanitizer every
// output buffer is exactly capacity + 1 bytes on the heap, so one byte
// written too far is a finding.  Each converter must agree with its
// per-character reference, partial output included, and for 7-bit raw text
// the trip through KEL text must give the text back.
#include "textcodec.h"
#include "textcodec_reference.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

// Same result and same bytes written as the reference, in a buffer of the given capacity.
static void check_against_reference(Converter f, Converter reference, const char *in, int capacity)
{
    char *got = nullptr;
    char *want = nullptr;
    check(convert(f, in, capacity, &got) == convert(reference, in, capacity, &want),
          "result differs from the reference");
    check(memcmp(got, want, (size_t)capacity + 1) == 0, "output differs from the reference");
    free(got);
    free(want);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // The codec prints its refusals; keep the fuzzer's output readable.
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    int small = data[0] % 16;
    char *in = (char *)malloc(size);
    memcpy(in, data + 1, size - 1);
    in[size - 1] = '\0';

    check_bounds(c_text_to_kel, in, small);
    check_bounds(kel_text_to_raw, in, small);
    int kel_len = check_bounds(raw_text_to_kel, in, small);

    check_against_reference(c_text_to_kel, reference_c_text_to_kel, in, small);
    check_against_reference(kel_text_to_raw, reference_kel_text_to_raw, in, small);
    check_against_reference(raw_text_to_kel, reference_raw_text_to_kel, in, small);

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

// SPDX-License-Identifier: MIT
/*
 * The codec's kernels for AVX-512 (F and BW): 64 bytes at a time, then 32
 * and 16 for the last bytes of a text; a short text in one masked load and
 * one masked store.
 */
#include "textcodec_vec512.h"

// Compiled for what cpu_has asks of this level: the AVX2 level's and AVX-512 F and BW.
#if !defined(__AVX2__) || !defined(__BMI__) || !defined(__BMI2__) || !defined(__AVX512F__) ||       \
    !defined(__AVX512BW__)
#error "textcodec_avx512.cpp is built with another level's flags"
#endif

namespace
{

/* kel_text_to_raw of a short text: only one without escapes; the rest goes the long way. */
int short_plain_kel_text_to_raw(char *out, const char *in, int capacity)
{
    size_t len;
    __m512i v = load_short_text(in, &len);
    return copy_short_plain(out, v, len, capacity);
}

constexpr struct textcodec_kernels kernels =
    kernels_of<vec512>(short_c_text_to_kel, short_plain_kel_text_to_raw, short_raw_text_to_kel);

} // namespace

const struct textcodec_converters textcodec_avx512_converters = converters_of<kernels>();

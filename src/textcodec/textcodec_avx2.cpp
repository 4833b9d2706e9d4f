// SPDX-License-Identifier: MIT
// The codec's kernels for AVX2: 32 bytes at a time, then 16 for the last
// bytes of a text; a short text in two 64-byte halves of plain loads.
#include "textcodec_short_text.h"
#include "textcodec_vec256.h"

// Compiled for AVX2, BMI and BMI2 and no AVX-512, as cpu_has asks of this level.
#if !defined(__AVX2__) || !defined(__BMI__) || !defined(__BMI2__) || defined(__AVX512F__)
#error "textcodec_avx2.cpp is built with another level's flags"
#endif

namespace
{
constexpr struct textcodec_kernels kernels = kernels_with_short_text<vec256>();
} // namespace

const struct textcodec_converters textcodec_avx2_converters = converters_of<kernels>();

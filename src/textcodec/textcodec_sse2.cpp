// SPDX-License-Identifier: MIT
// The codec's kernels for SSE2, the x86-64 baseline: 16 bytes at a time; a
// short text in two 64-byte halves of plain loads.
#include "textcodec_short_text.h"
#include "textcodec_vec128.h"

// Compiled for SSE2 and nothing VEX-encoded, as cpu_has asks of this level.
#if !defined(__SSE2__) || defined(__AVX__) || defined(__BMI__) || defined(__BMI2__)
#error "textcodec_sse2.cpp is built with another level's flags"
#endif

namespace
{
constexpr struct textcodec_kernels kernels = kernels_with_short_text<vec128>();
} // namespace

const struct textcodec_converters textcodec_sse2_converters = converters_of<kernels>();

// SPDX-License-Identifier: MIT
// The codec's kernels for AVX2: 32 bytes at a time, then 16 for the last
// bytes of a text.
#include "textcodec_vec256.h"

namespace
{
constexpr struct textcodec_kernels kernels = kernels_of<vec256>();
} // namespace

const struct textcodec_converters textcodec_avx2_converters = converters_of<kernels>();

// SPDX-License-Identifier: MIT
// The codec's kernels for AVX2: 32 bytes at a time, then 16 for the last
// bytes of a text.
#include "textcodec_vec256.h"

constexpr struct textcodec_kernels textcodec_avx2_kernels = kernels_of<vec256>();

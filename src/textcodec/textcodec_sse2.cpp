// SPDX-License-Identifier: MIT
// The codec's kernels for SSE2, the x86-64 baseline: 16 bytes at a time.
#include "textcodec_vec128.h"

constexpr struct textcodec_kernels textcodec_sse2_kernels = kernels_of<vec128>();

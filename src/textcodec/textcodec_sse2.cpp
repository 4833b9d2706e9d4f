// SPDX-License-Identifier: MIT
// The codec's kernels for SSE2, the x86-64 baseline: 16 bytes at a time.
#include "textcodec_vec128.h"

namespace
{
constexpr struct textcodec_kernels kernels = kernels_of<vec128>();
} // namespace

const struct textcodec_converters textcodec_sse2_converters = converters_of<kernels>();

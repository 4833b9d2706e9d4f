// SPDX-License-Identifier: MIT
// The codec's kernels for SSE2, the x86-64 baseline.
#include "textcodec_kernels_generic.h"
#include "textcodec_vec128.h"

namespace
{

size_t sse2_c_text_to_kel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return either<plain_run<vec128, true>, plain_run<vec128, false>>(in, len, i, o);
}

size_t sse2_kel_text_to_raw(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return either<decode_run<vec128, true>, decode_run<vec128, false>>(in, len, i, o);
}

size_t sse2_raw_text_to_kel(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    return either<encode_run<vec128, true>, encode_run<vec128, false>>(in, len, i, o);
}

} // namespace

const struct textcodec_kernels textcodec_sse2_kernels = {
    sse2_c_text_to_kel,
    sse2_kel_text_to_raw,
    sse2_raw_text_to_kel,
};

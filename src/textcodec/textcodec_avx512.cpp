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

/*
 * kel_text_to_raw of a short text without escapes, quoted or not: the
 * text, or its body, as it stands.
 */
TEXTCODEC_SHORT_TEXT_KERNEL short_plain_kel_text_to_raw(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    if (t.len == 0 || t.len >= 128)
        return TEXTCODEC_LONG;
    if (in[0] != '"')
        return copy_short_plain(out, t, capacity);
    if (t.len < 3 || in[t.len - 1] != '"')
        return TEXTCODEC_LONG;
    size_t n = t.len - 2;
    if ((special_bytes<vec512>(vec512::masked_load(in + 1, lo_bits(n))) & lo_bits(n)) != 0 ||
        (special_bytes<vec512>(vec512::masked_load(in + 65, hi_bits(n))) & hi_bits(n)) != 0)
        return TEXTCODEC_LONG;
    if (out == NULL)
        return (int)n;
    if (capacity < 0 || (size_t)capacity < n)
        return TEXTCODEC_LONG;
    copy_text(out, in + 1, n);
    return (int)n;
}

/*
 * raw_text_to_kel of a text under 64 bytes: the runs between special
 * bytes with masked stores of the loaded vector, each form as it stands
 * in the table, and the terminator with the last run.  A run of bytes a
 * to k - 1 goes to out + shift + a, where shift is what the forms so far
 * added.
 */
TEXTCODEC_SHORT_TEXT_KERNEL short_raw_text_to_kel_by_runs(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    if (t.len == 0 || t.len >= 64)
        return t.len < 128 ? copy_short_plain(out, t, capacity) : TEXTCODEC_LONG;
    __m512i v = t.lo;
    size_t len = t.len;
    uint64_t special = special_bytes<vec512>(v) & first_bits(len);
    if (special == 0)
        return copy_short_plain(out, t, capacity);
    // The specials written as a letter escape: 2 characters, not 4.
    uint64_t two = vec512::to_bits(any_of<vec512, letter_escaped>(v)) & special;
    size_t total = len + (size_t)__builtin_popcountll(two) +
                   3 * (size_t)__builtin_popcountll(special & ~two);
    if (out == NULL)
        return (int)total;
    if (capacity < 0 || (size_t)capacity < total)
        return TEXTCODEC_LONG;
    size_t shift = 0, at = 0;
    while (special != 0) {
        size_t k = (size_t)__builtin_ctzll(special);
        vec512::masked_store(out + shift, first_bits(k) & ~first_bits(at), v);
        const byte_form &f = kel_forms.of[(unsigned char)in[k]];
        put_escape_form(out + shift + k, f);
        shift += (size_t)f.len - 1;
        at = k + 1;
        special &= special - 1;
    }
    vec512::masked_store(out + shift, first_bits(len + 1) & ~first_bits(at), v);
    return (int)total;
}

constexpr struct textcodec_kernels kernels =
    kernels_of<vec512>(short_c_text_to_kel, short_plain_kel_text_to_raw,
                      short_raw_text_to_kel_by_runs);

} // namespace

const struct textcodec_converters textcodec_avx512_converters = converters_of<kernels>();

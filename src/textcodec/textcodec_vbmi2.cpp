// SPDX-License-Identifier: MIT
/*
 * The codec's kernels for AVX-512 with VBMI and VBMI2: those of AVX-512,
 * save that KEL text is decoded a whole block at a time.  Every escape of
 * a block is found at once (its backslash), classified (a letter escape,
 * three octal digits worth at most 127, or anything else) and decoded in
 * place, and the bytes that the escapes lose are compressed out, with no
 * branch per escape.
 */
#include "textcodec_vec512.h"

// Compiled for what cpu_has asks of this level: the AVX-512 level's and VBMI and VBMI2.
#if !defined(__AVX2__) || !defined(__BMI__) || !defined(__BMI2__) || !defined(__AVX512F__) ||       \
    !defined(__AVX512BW__) || !defined(__AVX512VBMI__) || !defined(__AVX512VBMI2__)
#error "textcodec_vbmi2.cpp is built with another level's flags"
#endif

#include <immintrin.h>

namespace
{

/* For each byte below 128: the character its letter escape stands for, or 0 for none. */
struct letter_table {
    alignas(64) char of[128];
};

constexpr letter_table make_letter_table()
{
    letter_table t{};
    for (int k = 0; k < (int)sizeof c_escape_letters; k++)
        t.of[(unsigned char)c_escape_letters[k]] = c_escape_chars[k];
    return t;
}

constexpr letter_table letters = make_letter_table();
static_assert(letters.of[(unsigned char)'n'] == '\n' && letters.of[(unsigned char)'\\'] == '\\' &&
                  letters.of[(unsigned char)'e'] == 0,
              "ten letters, none of them NUL");

/*
 * A block of KEL text decoded: which of its bytes the output keeps, in
 * order, the block with each escape's backslash replaced by its value,
 * where the first byte is that is not easy (64 when none is), and how far
 * the last escape reaches past the block.
 */
struct decoded_block {
    __m512i bytes;
    uint64_t keep;
    size_t hard_at;
    size_t overhang;
};

/*
 * v holds the block, v1 to v3 the bytes 1 to 3 further on (zero past the
 * input), valid the bytes of the block that are input, skipped its first
 * bytes that an escape of the block before took.
 */
__attribute__((always_inline)) inline decoded_block decode_block(__m512i v, __m512i v1, __m512i v2, __m512i v3, uint64_t valid,
                                  uint64_t skipped)
{
    const uint64_t ODD_BITS = 0xAAAAAAAAAAAAAAAAULL;
    uint64_t special = (special_bytes<vec512>(v) | ~valid) & ~skipped;
    uint64_t backslash = vec512::to_bits(vec512::eq(v, '\\')) & valid & ~skipped;

    // The backslashes that start an escape: in a run of them, every other
    // one from the first.  The block always starts outside an escape.
    uint64_t odd_run_ends = ((backslash << 1) | ODD_BITS) - backslash;
    uint64_t escaped = (odd_run_ends ^ ODD_BITS) ^ backslash;
    uint64_t starts = backslash & ~escaped;

    // A letter escape first, as the full decoder tries it first.
    __m512i letter = _mm512_permutex2var_epi8(_mm512_load_si512(letters.of), v1,
                                              _mm512_load_si512(letters.of + 64));
    uint64_t ascii = _mm512_cmplt_epu8_mask(v1, _mm512_set1_epi8((char)0x80));
    uint64_t letter_escapes = starts & ascii & _mm512_test_epi8_mask(letter, letter);

    // Three octal digits, the first 0 or 1 so that the value is at most 127.
    __m512i d1 = _mm512_sub_epi8(v1, _mm512_set1_epi8('0'));
    __m512i d2 = _mm512_sub_epi8(v2, _mm512_set1_epi8('0'));
    __m512i d3 = _mm512_sub_epi8(v3, _mm512_set1_epi8('0'));
    uint64_t octal_ok = _mm512_cmple_epu8_mask(d1, _mm512_set1_epi8(1)) &
                        _mm512_cmple_epu8_mask(d2, _mm512_set1_epi8(7)) &
                        _mm512_cmple_epu8_mask(d3, _mm512_set1_epi8(7));
    uint64_t octal_escapes = starts & ~letter_escapes & octal_ok;
    // Each digit is cut to its three bits first, so that no shift carries into the next byte.
    __m512i seven = _mm512_set1_epi8(7);
    __m512i octal = _mm512_or_si512(
        _mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(d1, _mm512_set1_epi8(1)), 6),
                        _mm512_slli_epi16(_mm512_and_si512(d2, seven), 3)),
        _mm512_and_si512(d3, seven));

    uint64_t hard = (special & ~backslash & ~escaped) | (starts & ~letter_escapes & ~octal_escapes);
    decoded_block b;
    b.hard_at = hard != 0 ? (size_t)__builtin_ctzll(hard) : 64;
    uint64_t lost = (letter_escapes << 1) | (octal_escapes << 1) | (octal_escapes << 2) |
                    (octal_escapes << 3);
    b.keep = first_bits(b.hard_at) & ~lost & ~skipped;
    b.bytes = _mm512_mask_mov_epi8(_mm512_mask_mov_epi8(v, letter_escapes, letter), octal_escapes,
                                   octal);
    // Only the last escape can reach past the block: a letter one at 63, an octal one from 61.
    b.overhang = 0;
    if (((letter_escapes >> 63) | (octal_escapes >> 61)) != 0) {
        size_t last = 63 - (size_t)__builtin_clzll(letter_escapes | octal_escapes);
        b.overhang = last + ((letter_escapes >> last) & 1 ? 2 : 4) - 64;
    }
    return b;
}

/* The bytes of in[at..len) that a masked load may take: at most 64. */
inline uint64_t input_from(size_t at, size_t len)
{
    return at >= len ? 0 : first_bits(len - at >= 64 ? 64 : len - at);
}

/*
 * The blocks are 64 bytes apart whatever they hold, so that the next
 * block's loads never wait for this one's escapes: the bytes of an escape
 * that reach into the next block are skipped there.
 */
template <bool Write>
size_t kel_text_to_raw_blocks(const char *in, size_t len, size_t i, struct textcodec_output *o)
{
    progress p = {o->next, 0, textcodec_room(o)};
    size_t skip = 0; // the bytes at in[i] that the last escape took
    while (i < len) {
        uint64_t valid = input_from(i, len);
        __m512i v = vec512::masked_load(in + i, valid);
        if (skip == 0 && valid == ~0ULL && special_bytes<vec512>(v) == 0 && p.left() >= 64) {
            if (Write) {
                vec512::store(p.dst, v);
                p.dst += 64;
            }
            p.made += 64;
            i += 64;
            continue;
        }
        decoded_block b = decode_block(v, vec512::masked_load(in + i + 1, input_from(i + 1, len)),
                                       vec512::masked_load(in + i + 2, input_from(i + 2, len)),
                                       vec512::masked_load(in + i + 3, input_from(i + 3, len)), valid,
                                       first_bits(skip));
        size_t n = (size_t)__builtin_popcountll(b.keep);
        if (n > p.left())
            break; // the room ends within the block
        if (Write) {
            vec512::masked_store(p.dst, first_bits(n), _mm512_maskz_compress_epi8(b.keep, b.bytes));
            p.dst += n;
        }
        p.made += n;
        if (b.hard_at < 64) {
            i += b.hard_at;
            commit(o, p.dst, p.made);
            return i;
        }
        skip = b.overhang;
        i += 64;
    }
    i += skip;
    commit(o, p.dst, p.made);
    // The room ends here: the kernel of AVX-512 counts it byte by byte.
    return i < len ? kel_text_to_raw_kernel<vec512, Write>(in, len, i, o) : i;
}

/*
 * kel_text_to_raw of a short text unquoted, escapes and all: one block,
 * its terminator kept with it, in one masked store.  The bytes after the
 * first are the block's own, moved down within the register.
 */
int short_kel_text_to_raw(char *out, const char *in, int capacity)
{
    size_t len;
    __m512i loaded = load_short_text(in, &len);
    if (len == 0 || len >= 64 || in[0] == '"' || in[len - 1] == '"')
        return TEXTCODEC_LONG;
    uint64_t valid = first_bits(len);
    if ((special_bytes<vec512>(loaded) & valid) == 0)
        return store_short(out, loaded, len, capacity);
    __m512i v = _mm512_maskz_mov_epi8(valid, loaded);
    const __m512i next = _mm512_add_epi8(
        _mm512_set_epi8(63, 62, 61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47, 46, 45, 44,
                        43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32, 31, 30, 29, 28, 27, 26, 25, 24,
                        23, 22, 21, 20, 19, 18, 17, 16, 15, 14, 13, 12, 11, 10, 9, 8, 7, 6, 5, 4, 3, 2,
                        1, 0),
        _mm512_set1_epi8(1));
    __m512i v1 = _mm512_maskz_permutexvar_epi8(valid >> 1, next, v);
    __m512i v2 = _mm512_maskz_permutexvar_epi8(valid >> 2, next, v1);
    __m512i v3 = _mm512_maskz_permutexvar_epi8(valid >> 3, next, v2);
    decoded_block b = decode_block(v, v1, v2, v3, valid, 0);
    if (b.hard_at < len)
        return TEXTCODEC_LONG;
    int n = __builtin_popcountll(b.keep);
    if (out == NULL)
        return n;
    if (capacity < n)
        return TEXTCODEC_LONG;
    // The terminator is the loaded NUL at len, kept after the text.
    uint64_t keep = b.keep | (1ULL << len);
    vec512::masked_store(out, first_bits((size_t)n + 1), _mm512_maskz_compress_epi8(keep, b.bytes));
    return n;
}

constexpr struct textcodec_kernels kernels = {
    short_c_text_to_kel,
    short_kel_text_to_raw,
    short_raw_text_to_kel,
    either<c_text_to_kel_kernel<vec512, true>, c_text_to_kel_kernel<vec512, false>>,
    either<kel_text_to_raw_blocks<true>, kel_text_to_raw_blocks<false>>,
    either<raw_text_to_kel_kernel<vec512, true>, raw_text_to_kel_kernel<vec512, false>>};

} // namespace

const struct textcodec_converters textcodec_vbmi2_converters = converters_of<kernels>();

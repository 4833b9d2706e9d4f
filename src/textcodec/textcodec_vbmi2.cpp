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
        // A full block is taken with a plain load, which costs less than a masked one.
        __m512i v = valid == ~0ULL ? vec512::load(in + i) : vec512::masked_load(in + i, valid);
        if (skip == 0 && valid == ~0ULL && special_bytes<vec512>(v) == 0 && p.left() >= 64) {
            if (Write) {
                vec512::store(p.dst, v);
                p.dst += 64;
            }
            p.made += 64;
            i = copy_plain_run<vec512, Write>(in, len, i + 64, &p);
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

/* The 128 bytes of lo and hi from byte by on, and zeros after them: a whole 64 of them. */
inline __m512i bytes_from(__m512i lo, __m512i hi, int by)
{
    return _mm512_permutex2var_epi8(lo, indices_from(by), hi);
}

/*
 * kel_text_to_raw of a short text, quoted or not, escapes and all: its
 * body (without the quotes) moved down into two vectors with zeros after
 * it, each decoded as one block, the second skipping what an escape of the
 * first took, and the output compressed out of both.  Anything that is
 * not easy, an escape that would read the closing quote included, goes
 * the long way.
 */
TEXTCODEC_SHORT_TEXT_KERNEL short_kel_text_to_raw_by_blocks(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    if (t.len == 0 || t.len >= 128)
        return TEXTCODEC_LONG;
    size_t n = t.len;
    __m512i lo = t.lo, hi = t.hi;
    if ((in[0] == '"') != (in[n - 1] == '"'))
        return TEXTCODEC_LONG; // unbalanced, even where an escape takes the last quote
    if (in[0] == '"') {
        if (n < 3)
            return TEXTCODEC_LONG;
        n -= 2;
        lo = bytes_from(t.lo, t.hi, 1);
        hi = bytes_from(t.hi, _mm512_setzero_si512(), 1);
    }
    lo = _mm512_maskz_mov_epi8(lo_bits(n), lo);
    hi = _mm512_maskz_mov_epi8(hi_bits(n), hi);
    // Most names have no escape, and their body is copied as it stands.
    short_text body = {lo, hi, n};
    text_bits special = specials_of(body);
    if ((special.lo | special.hi) == 0)
        return copy_short_plain(out, body, capacity);
    const __m512i zero = _mm512_setzero_si512();
    decoded_block b0 = decode_block(lo, bytes_from(lo, hi, 1), bytes_from(lo, hi, 2), bytes_from(lo, hi, 3),
                                    lo_bits(n), 0);
    if (b0.hard_at < (n < 64 ? n : 64))
        return TEXTCODEC_LONG;
    size_t made0 = (size_t)__builtin_popcountll(b0.keep);
    decoded_block b1 = {zero, 0, 64, 0};
    if (n > 64) {
        b1 = decode_block(hi, bytes_from(hi, zero, 1), bytes_from(hi, zero, 2), bytes_from(hi, zero, 3),
                          hi_bits(n), first_bits(b0.overhang));
        if (b1.hard_at < n - 64)
            return TEXTCODEC_LONG;
    }
    size_t made = made0 + (size_t)__builtin_popcountll(b1.keep);
    if (out == NULL)
        return (int)made;
    if (capacity < 0 || (size_t)capacity < made)
        return TEXTCODEC_LONG;
    vec512::masked_store(out, first_bits(made0), _mm512_maskz_compress_epi8(b0.keep, b0.bytes));
    vec512::masked_store(out + made0, first_bits(made - made0), _mm512_maskz_compress_epi8(b1.keep, b1.bytes));
    out[made] = '\0';
    return (int)made;
}

/* For each byte below 128 that raw_text_to_kel writes as a letter escape: the letter; else 0. */
constexpr letter_table make_escape_letters()
{
    letter_table t{};
    for (int code = 0; code < 128; code++) {
        if (kel_forms.of[code].len == 2)
            t.of[code] = kel_forms.of[code].text[1];
    }
    return t;
}

constexpr letter_table escape_letters = make_escape_letters();
static_assert(escape_letters.of[(unsigned char)'\n'] == 'n' && escape_letters.of[(unsigned char)'"'] == 0,
              "a quote is a KEL special, written in octal");

/* The bytes of v that raw_text_to_kel writes as a letter escape, and in *letter each one's letter. */
inline uint64_t letter_escaped_bytes(__m512i v, __m512i *letter)
{
    *letter = _mm512_permutex2var_epi8(_mm512_load_si512(escape_letters.of), v,
                                       _mm512_load_si512(escape_letters.of + 64));
    return _mm512_test_epi8_mask(*letter, *letter) & _mm512_cmplt_epu8_mask(v, _mm512_set1_epi8((char)0x80));
}

/*
 * The forms of 16 bytes of src, from byte `from` on, in one pass: each
 * byte is spread to four slots, which are filled with what each of its
 * form's places holds (the byte or a backslash; the letter or the first
 * octal digit; the second and third digits), and keep marks the slots
 * that its form has (1, 2 or 4), among the first `slots`.
 */
struct forms_block {
    __m512i bytes;
    uint64_t keep;
};

inline forms_block forms_of(__m512i src, int from, uint64_t slots)
{
    const uint64_t FIRST = 0x1111111111111111ULL; // the first slot of each byte
    __m512i spread = _mm512_add_epi8(_mm512_srli_epi16(_mm512_and_si512(indices_from(0), _mm512_set1_epi8(60)), 2),
                                     _mm512_set1_epi8((char)from));
    __m512i e = _mm512_permutex2var_epi8(src, spread, src); // every index below 64: src alone
    uint64_t special = special_bytes<vec512>(e);
    __m512i letter;
    uint64_t two = letter_escaped_bytes(e, &letter);
    __m512i d1 = _mm512_add_epi8(_mm512_and_si512(_mm512_srli_epi16(e, 6), _mm512_set1_epi8(3)),
                                 _mm512_set1_epi8('0'));
    __m512i d2 = _mm512_add_epi8(_mm512_and_si512(_mm512_srli_epi16(e, 3), _mm512_set1_epi8(7)),
                                 _mm512_set1_epi8('0'));
    __m512i d3 = _mm512_add_epi8(_mm512_and_si512(e, _mm512_set1_epi8(7)), _mm512_set1_epi8('0'));
    __m512i r = _mm512_mask_mov_epi8(e, special & FIRST, _mm512_set1_epi8('\\'));
    r = _mm512_mask_mov_epi8(r, FIRST << 1, _mm512_mask_mov_epi8(d1, two, letter));
    r = _mm512_mask_mov_epi8(r, FIRST << 2, d2);
    r = _mm512_mask_mov_epi8(r, FIRST << 3, d3);
    forms_block f;
    f.bytes = r;
    f.keep = (FIRST | (special & FIRST << 1) | (special & ~two & (FIRST << 2 | FIRST << 3))) & slots;
    return f;
}

/* Writes the forms of the t.len bytes of t, and a terminator, at out; returns their length. */
inline size_t store_forms(char *out, const short_text &t)
{
    char *dst = out;
    for (size_t at = 0; at < t.len; at += 16) {
        size_t n = t.len - at < 16 ? t.len - at : 16;
        forms_block f = forms_of(at < 64 ? t.lo : t.hi, (int)(at & 63), first_bits(4 * n));
        size_t k = (size_t)__builtin_popcountll(f.keep);
        vec512::masked_store(dst, first_bits(k), _mm512_maskz_compress_epi8(f.keep, f.bytes));
        dst += k;
    }
    *dst = '\0';
    return (size_t)(dst - out);
}

/*
 * raw_text_to_kel of a short text in one pass, whatever it holds: each 16
 * bytes' forms compressed and stored, with no branch on what the bytes
 * are.  Where the room holds four bytes for each, the result fits
 * whatever the forms, and its length is where the forms end; otherwise it
 * is counted from the two vectors' classes first.
 */
TEXTCODEC_SHORT_TEXT_KERNEL short_raw_text_to_kel_by_forms(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    if (t.len == 0 || t.len >= 128)
        return TEXTCODEC_LONG;
    text_bits special = specials_of(t);
    // Most names have nothing to escape, and are copied as they stand.
    if ((special.lo | special.hi) == 0)
        return copy_short_plain(out, t, capacity);
    if (out != NULL && capacity >= 0 && (size_t)capacity >= 4 * t.len)
        return (int)store_forms(out, t);
    __m512i unused;
    uint64_t octal_lo = special.lo & ~letter_escaped_bytes(t.lo, &unused);
    uint64_t octal_hi = special.hi & ~letter_escaped_bytes(t.hi, &unused);
    size_t total = t.len + (size_t)__builtin_popcountll(special.lo) + (size_t)__builtin_popcountll(special.hi) +
                   2 * ((size_t)__builtin_popcountll(octal_lo) + (size_t)__builtin_popcountll(octal_hi));
    if (out == NULL)
        return (int)total;
    if (capacity < 0 || (size_t)capacity < total)
        return TEXTCODEC_LONG;
    store_forms(out, t);
    return (int)total;
}

constexpr struct textcodec_kernels kernels = {
    short_c_text_to_kel,
    short_kel_text_to_raw_by_blocks,
    short_raw_text_to_kel_by_forms,
    either<c_text_to_kel_kernel<vec512, true>, c_text_to_kel_kernel<vec512, false>>,
    either<kel_text_to_raw_blocks<true>, kel_text_to_raw_blocks<false>>,
    either_to_end<raw_text_to_kel_to_end<vec512, true>, raw_text_to_kel_to_end<vec512, false>>};

} // namespace

const struct textcodec_converters textcodec_vbmi2_converters = converters_of<kernels>();

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
 * The backslashes of backslash that start an escape: in a run of them,
 * every other one from the first, the run starting outside an escape; in
 * *escaped, the bytes right after those.
 */
inline uint64_t escape_starts(uint64_t backslash, uint64_t *escaped)
{
    const uint64_t ODD_BITS = 0xAAAAAAAAAAAAAAAAULL;
    uint64_t odd_run_ends = ((backslash << 1) | ODD_BITS) - backslash;
    *escaped = (odd_run_ends ^ ODD_BITS) ^ backslash;
    return backslash & ~*escaped;
}

/*
 * Byte by byte, the value of three octal digits, the first 0 or 1: each
 * cut to its bits first, so that no shift carries into the next byte.
 */
inline __m512i octal_values(__m512i d1, __m512i d2, __m512i d3)
{
    __m512i seven = _mm512_set1_epi8(7);
    return _mm512_or_si512(_mm512_or_si512(_mm512_slli_epi16(_mm512_and_si512(d1, _mm512_set1_epi8(1)), 6),
                                           _mm512_slli_epi16(_mm512_and_si512(d2, seven), 3)),
                           _mm512_and_si512(d3, seven));
}

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
    uint64_t special = (special_bytes<vec512>(v) | ~valid) & ~skipped;
    uint64_t backslash = vec512::to_bits(vec512::eq(v, '\\')) & valid & ~skipped;
    // The block always starts outside an escape.
    uint64_t escaped;
    uint64_t starts = escape_starts(backslash, &escaped);

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
    __m512i octal = octal_values(d1, d2, d3);

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
        // The bytes 1 to 3 further on: with plain loads where they are all
        // in the text, which costs less than a masked one and its look at
        // the page.
        __m512i v1, v2, v3;
        if (len - i >= 64 + 3) {
            v1 = vec512::load(in + i + 1);
            v2 = vec512::load(in + i + 2);
            v3 = vec512::load(in + i + 3);
        } else {
            v1 = vec512::masked_load(in + i + 1, input_from(i + 1, len));
            v2 = vec512::masked_load(in + i + 2, input_from(i + 2, len));
            v3 = vec512::masked_load(in + i + 3, input_from(i + 3, len));
        }
        decoded_block b = decode_block(v, v1, v2, v3, valid, first_bits(skip));
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

int kel_text_to_raw_by_blocks(char *out, const char *in, int capacity, __m512i lo, __m512i hi, size_t n);
int kel_name_to_raw(char *out, const char *in, int capacity, __m512i v, __m512i v1, __m512i v2, size_t n);

/*
 * A text of fewer than 64 bytes whose page holds 67 bytes from its start:
 * its length, and its body (without the quotes, if any) from its first
 * byte, second and third, each as one plain load.  The length is 64 for
 * any other text.  The loads read past the terminator on purpose, as
 * load_short_text's do, and AddressSanitizer is asked the same way.
 */
struct name_loads {
    __m512i v, v1, v2;
    size_t len;
};

__attribute__((no_sanitize("address", "thread"))) inline name_loads load_name(const char *in)
{
    name_loads l;
    l.len = 64;
    if (to_page_end(in) < 64 + 3)
        return l;
    __m512i head = _mm512_loadu_si512(in);
    uint64_t nul = _mm512_testn_epi8_mask(head, head);
    if (nul == 0)
        return l;
    l.len = (size_t)__builtin_ctzll(nul);
#ifdef TEXTCODEC_ADDRESS_SANITIZER
    if (__asan_region_is_poisoned(const_cast<char *>(in), l.len + 1) != nullptr) {
        l.len = 64;
        return l;
    }
#endif
    const char *body = in + (in[0] == '"' ? 1 : 0);
    l.v = _mm512_loadu_si512(body);
    l.v1 = _mm512_loadu_si512(body + 1);
    l.v2 = _mm512_loadu_si512(body + 2);
    return l;
}

int kel_text_to_raw_in_two_blocks(char *out, const char *in, int capacity);

/*
 * kel_text_to_raw of a short text, quoted or not: a text of fewer than 64
 * bytes whose page holds its loads is decoded at once by the function
 * after the kernels, whatever its body holds, since which names hold an
 * escape cannot be predicted; any other short text is decoded in two
 * blocks by another.  Both go the long way themselves when they must, so
 * that the call is the kernel's last act and the converter's, a jump,
 * and the converter sets up no frame.
 */
TEXTCODEC_SHORT_TEXT_KERNEL short_kel_text_to_raw_by_blocks(char *out, const char *in, int capacity)
{
    name_loads l = load_name(in);
    int whole;
    if (l.len == 0) {
        return TEXTCODEC_LONG;
    } else if (l.len < 64) {
        bool quoted = in[0] == '"';
        if (quoted != (in[l.len - 1] == '"') || (quoted && l.len < 3))
            return TEXTCODEC_LONG; // unbalanced, even where an escape takes the last quote
        whole = kel_name_to_raw(out, in, capacity, l.v, l.v1, l.v2, quoted ? l.len - 2 : l.len);
    } else {
        whole = kel_text_to_raw_in_two_blocks(out, in, capacity);
    }
    if (whole == TEXTCODEC_LONG)
        __builtin_unreachable(); // it went the long way instead
    return whole;
}

/*
 * For each byte below 128, the second place of the form raw_text_to_kel
 * gives it: 0 for a plain byte, which has none, the letter of a letter
 * escape, or the first digit of an octal one ('0' or '1' below 128).
 */
constexpr letter_table make_second_places()
{
    letter_table t{};
    for (int code = 0; code < 128; code++) {
        if (kel_forms.of[code].len > 1)
            t.of[code] = kel_forms.of[code].text[1];
    }
    return t;
}

constexpr letter_table second_places = make_second_places();
static_assert(second_places.of[(unsigned char)'\n'] == 'n' && second_places.of[(unsigned char)'"'] == '0' &&
                  second_places.of[(unsigned char)'A'] == 0,
              "a newline a letter escape, a quote in octal, a letter plain");

/* The bits that neither first digit below 128 has: every letter has one of them. */
constexpr char NOT_A_FIRST_DIGIT = (char)~('0' | '1');

constexpr bool letters_apart_from_digits()
{
    for (int code = 0; code < 128; code++) {
        bool letter = kel_forms.of[code].len == 2, octal = kel_forms.of[code].len == 4;
        if ((letter && (second_places.of[code] & NOT_A_FIRST_DIGIT) == 0) ||
            (octal && (second_places.of[code] & NOT_A_FIRST_DIGIT) != 0))
            return false;
    }
    return true;
}
static_assert(letters_apart_from_digits(), "one test tells a letter escape from an octal one");

/* For each byte, as the low 6 bits of a permute's index: its second and third octal digit. */
struct digit_tables {
    alignas(64) char second[64];
    alignas(64) char third[64];
};

constexpr digit_tables make_digit_tables()
{
    digit_tables t{};
    for (int code = 0; code < 64; code++) {
        t.second[code] = (char)('0' + ((code >> 3) & 7));
        t.third[code] = (char)('0' + (code & 7));
    }
    return t;
}

constexpr digit_tables digits = make_digit_tables();

/*
 * The forms of the bytes of a vector as four places per byte: the byte
 * itself or a backslash; its letter or first octal digit; its second and
 * third digits.  A place that a byte's form does not have holds 0, which
 * no form holds.  special marks the bytes that are escaped, octal those
 * written in octal.
 */
struct form_places {
    __m512i first, second, third, fourth;
    uint64_t special, octal;
};

/*
 * The places of the bytes of v that bytes marks.  Below 128 one look-up
 * gives a byte's second place, and with it whether the byte is special
 * and how it is written; with Ascii false, a byte from 128 on is written
 * in octal, its first digit '0' + (byte >> 6).  With Ascii true, no byte
 * that bytes marks may be 128 or more.
 */
template <bool Ascii> inline form_places places_of(__m512i v, uint64_t bytes)
{
    form_places p;
    p.second = _mm512_permutex2var_epi8(_mm512_load_si512(second_places.of), v,
                                        _mm512_load_si512(second_places.of + 64));
    p.special = _mm512_mask_test_epi8_mask(bytes, p.second, p.second);
    p.octal = _mm512_mask_testn_epi8_mask(p.special, p.second, _mm512_set1_epi8(NOT_A_FIRST_DIGIT));
    if (!Ascii) {
        // The look-up took the low 7 bits of these: their places are all set here.
        uint64_t high = _mm512_movepi8_mask(v) & bytes;
        const int AND_THEN_OR = 0xEA; // (a & b) | c
        __m512i first_digit = _mm512_ternarylogic_epi32(_mm512_srli_epi16(v, 6), _mm512_set1_epi8(3),
                                                        _mm512_set1_epi8('0'), AND_THEN_OR);
        p.second = _mm512_mask_mov_epi8(p.second, high, first_digit);
        p.special |= high;
        p.octal |= high;
    }
    p.first = _mm512_mask_mov_epi8(v, p.special, _mm512_set1_epi8('\\'));
    p.third = _mm512_maskz_permutexvar_epi8(p.octal, v, _mm512_load_si512(digits.second));
    p.fourth = _mm512_maskz_permutexvar_epi8(p.octal, v, _mm512_load_si512(digits.third));
    return p;
}

/* The length of the forms of len bytes with these places. */
inline size_t forms_length(size_t len, const form_places &p)
{
    return len + (size_t)__builtin_popcountll(p.special) + 2 * (size_t)__builtin_popcountll(p.octal);
}

/*
 * The forms of the bytes from..from + 15 (those below n) with places p,
 * packed at the start of the result; *k is their length.  Each byte is
 * spread to four slots, which take its places (places 0 and 1 from one
 * permute, 2 and 3 from another, with the same indices), and the slots
 * that hold 0 are compressed out.  No branch on what the bytes are.
 */
inline __m512i forms_of_16(const form_places &p, size_t from, size_t n, size_t *k)
{
    alignas(64) static const char SLOTS[64] = {
        0,  64, 0,  64, 1,  65, 1,  65, 2,  66, 2,  66, 3,  67, 3,  67, 4,  68, 4,  68, 5,  69,
        5,  69, 6,  70, 6,  70, 7,  71, 7,  71, 8,  72, 8,  72, 9,  73, 9,  73, 10, 74, 10, 74,
        11, 75, 11, 75, 12, 76, 12, 76, 13, 77, 13, 77, 14, 78, 14, 78, 15, 79, 15, 79};
    const uint64_t LAST_TWO = 0xCCCCCCCCCCCCCCCCULL;
    __m512i at = _mm512_add_epi8(_mm512_load_si512(SLOTS), _mm512_set1_epi8((char)from));
    __m512i forms = _mm512_mask_blend_epi8(LAST_TWO, _mm512_permutex2var_epi8(p.first, at, p.second),
                                           _mm512_permutex2var_epi8(p.third, at, p.fourth));
    uint64_t keep = _mm512_mask_test_epi8_mask(first_bits(4 * (n - from < 16 ? n - from : 16)), forms, forms);
    *k = (size_t)__builtin_popcountll(keep);
    return _mm512_maskz_compress_epi8(keep, forms);
}

/* Writes the forms of the first n <= 64 bytes with places p at dst, and returns where they end. */
inline char *store_forms(char *dst, const form_places &p, size_t n)
{
    for (size_t from = 0; from < n; from += 16) {
        size_t k;
        __m512i forms = forms_of_16(p, from, n, &k);
        vec512::masked_store(dst, first_bits(k), forms);
        dst += k;
    }
    return dst;
}

int raw_text_to_kel_with_forms(char *out, const char *in, int capacity);
int raw_text_to_kel_up_to_16(char *out, const char *in, int capacity, __m512i v, size_t len);
int raw_text_to_kel_the_long_way(char *out, const char *in, int capacity);

/*
 * raw_text_to_kel of a short text: a plain one of 64 bytes or more copied
 * here; any other text handed to one of the functions after the kernels,
 * which go the long way themselves when they must.  So that call is the
 * kernel's last act and the converter's too, a jump, and a plain text
 * pays for no frame.  Below 64 bytes a plain text takes the forms' way
 * too: which names hold a special byte is unpredictable, and a branch on
 * it, which waits for the text's load, costs more each time it goes wrong
 * than the forms cost a plain name there.  Longer names mostly hold a
 * special byte, so the branch on them is mostly right, and a plain one is
 * copied at a fraction of its forms' cost.
 */
TEXTCODEC_SHORT_TEXT_KERNEL short_raw_text_to_kel_by_forms(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    int whole;
    if (t.len != 0 && t.len <= 16) {
        whole = raw_text_to_kel_up_to_16(out, in, capacity, t.lo, t.len);
    } else if (t.len != 0 && t.len < 64) {
        whole = raw_text_to_kel_with_forms(out, in, capacity);
    } else if (t.len != 0 && t.len < 128) {
        text_bits special = specials_of(t);
        if ((special.lo | special.hi) == 0)
            return copy_short_plain(out, t, capacity);
        whole = raw_text_to_kel_with_forms(out, in, capacity);
    } else {
        whole = raw_text_to_kel_the_long_way(out, in, capacity);
    }
    if (whole == TEXTCODEC_LONG)
        __builtin_unreachable(); // it went the long way instead
    return whole;
}

constexpr struct textcodec_kernels kernels = {
    short_c_text_to_kel,
    short_kel_text_to_raw_by_blocks,
    short_raw_text_to_kel_by_forms,
    either<c_text_to_kel_kernel<vec512, true>, c_text_to_kel_kernel<vec512, false>>,
    either<kel_text_to_raw_blocks<true>, kel_text_to_raw_blocks<false>>,
    either_to_end<raw_text_to_kel_to_end<vec512, true>, raw_text_to_kel_to_end<vec512, false>>};

int raw_text_to_kel_the_long_way(char *out, const char *in, int capacity)
{
    return convert_raw_text_to_kel_long<kernels>(out, in, capacity);
}

/*
 * kel_text_to_raw of a short text's body of n bytes, lo and hi with zeros
 * after it, that holds escapes or other special bytes: each vector
 * decoded as one block, the second skipping what an escape of the first
 * took, and the output compressed out of both.  Anything that is not
 * easy, an escape that would read the closing quote included, goes the
 * long way.
 */
__attribute__((noinline)) int kel_text_to_raw_by_blocks(char *out, const char *in, int capacity, __m512i lo,
                                                        __m512i hi, size_t n)
{
    const __m512i zero = _mm512_setzero_si512();
    decoded_block b0 = decode_block(lo, bytes_from(lo, hi, 1), bytes_from(lo, hi, 2), bytes_from(lo, hi, 3),
                                    lo_bits(n), 0);
    if (b0.hard_at < (n < 64 ? n : 64))
        return convert_kel_text_to_raw_long<kernels>(out, in, capacity);
    size_t made0 = (size_t)__builtin_popcountll(b0.keep);
    decoded_block b1 = {zero, 0, 64, 0};
    if (n > 64) {
        b1 = decode_block(hi, bytes_from(hi, zero, 1), bytes_from(hi, zero, 2), bytes_from(hi, zero, 3),
                          hi_bits(n), first_bits(b0.overhang));
        if (b1.hard_at < n - 64)
            return convert_kel_text_to_raw_long<kernels>(out, in, capacity);
    }
    size_t made = made0 + (size_t)__builtin_popcountll(b1.keep);
    if (out == NULL)
        return (int)made;
    if (capacity < 0 || (size_t)capacity < made)
        return convert_kel_text_to_raw_long<kernels>(out, in, capacity);
    vec512::masked_store(out, first_bits(made0), _mm512_maskz_compress_epi8(b0.keep, b0.bytes));
    if (n > 64)
        vec512::masked_store(out + made0, first_bits(made - made0), _mm512_maskz_compress_epi8(b1.keep, b1.bytes));
    out[made] = '\0';
    return (int)made;
}

/*
 * kel_text_to_raw of a text of up to 127 bytes, quoted or not: its body
 * (without the quotes) moved down into two vectors with zeros after it.
 * A body with nothing to decode is copied here; any other is handed to
 * the function above, which goes the long way itself when it must.
 */
__attribute__((noinline)) int kel_text_to_raw_in_two_blocks(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    if (t.len == 0 || t.len >= 128)
        return convert_kel_text_to_raw_long<kernels>(out, in, capacity);
    size_t n = t.len;
    __m512i lo = t.lo, hi = t.hi;
    // Unbalanced, even where an escape takes the last quote.
    if ((in[0] == '"') != (in[n - 1] == '"'))
        return convert_kel_text_to_raw_long<kernels>(out, in, capacity);
    if (in[0] == '"') {
        if (n < 3)
            return convert_kel_text_to_raw_long<kernels>(out, in, capacity);
        n -= 2;
        lo = bytes_from(t.lo, t.hi, 1);
        hi = bytes_from(t.hi, _mm512_setzero_si512(), 1);
    }
    lo = _mm512_maskz_mov_epi8(lo_bits(n), lo);
    hi = _mm512_maskz_mov_epi8(hi_bits(n), hi);
    short_text body = {lo, hi, n};
    text_bits special = specials_of(body);
    if ((special.lo | special.hi) == 0) {
        int whole = copy_short_plain(out, body, capacity);
        return whole != TEXTCODEC_LONG ? whole : convert_kel_text_to_raw_long<kernels>(out, in, capacity);
    }
    return kel_text_to_raw_by_blocks(out, in, capacity, lo, hi, n);
}

/* For each byte below 128, what decoding a name at once asks of it. */
enum : char { TEXT_SPECIAL = 1, ESCAPE_LETTER = 2, FIRST_OCTAL_DIGIT = 4, OCTAL_DIGIT = 8 };

constexpr letter_table make_text_classes()
{
    letter_table t{};
    for (int code = 0; code < 128; code++) {
        int c = 0;
        if (!is_plain((unsigned char)code))
            c |= TEXT_SPECIAL;
        if (letters.of[code] != 0)
            c |= ESCAPE_LETTER;
        if (code == '0' || code == '1')
            c |= FIRST_OCTAL_DIGIT;
        if (octal_digit_value((char)code) >= 0)
            c |= OCTAL_DIGIT;
        t.of[code] = (char)c;
    }
    return t;
}

constexpr letter_table text_classes = make_text_classes();
static_assert(text_classes.of[(unsigned char)'\\'] == (TEXT_SPECIAL | ESCAPE_LETTER) &&
                  text_classes.of[(unsigned char)'1'] == (FIRST_OCTAL_DIGIT | OCTAL_DIGIT) &&
                  text_classes.of[(unsigned char)'7'] == OCTAL_DIGIT && text_classes.of[(unsigned char)'z'] == 0,
              "the backslash special and a letter, 1 a first digit, 7 a digit, z nothing");

/*
 * kel_text_to_raw of a body of n < 64 bytes, v, with v1 and v2 the same
 * from its second and third byte on: decoded at once, with no branch on
 * what it holds.  One look-up classes the bytes, and the escapes are
 * found from the classes' bits as decode_block finds them: a letter
 * escape's value takes its letter's place, an octal one's its first
 * digit's, and the bytes before and after are compressed out.  Anything
 * that is not easy goes the long way, before anything is written.
 */
__attribute__((noinline)) int kel_name_to_raw(char *out, const char *in, int capacity, __m512i v, __m512i v1,
                                              __m512i v2, size_t n)
{
    uint64_t valid = first_bits(n);
    __m512i c = _mm512_permutex2var_epi8(_mm512_load_si512(text_classes.of), v,
                                         _mm512_load_si512(text_classes.of + 64));
    // The look-up took the low 7 bits of these: each is special, and nothing else.
    uint64_t high = _mm512_movepi8_mask(v) & valid;
    uint64_t ascii = valid & ~high;
    uint64_t special = _mm512_mask_test_epi8_mask(valid, c, _mm512_set1_epi8(TEXT_SPECIAL)) | high;
    uint64_t letter = _mm512_mask_test_epi8_mask(ascii, c, _mm512_set1_epi8(ESCAPE_LETTER));
    uint64_t first_digit = _mm512_mask_test_epi8_mask(ascii, c, _mm512_set1_epi8(FIRST_OCTAL_DIGIT));
    uint64_t digit = _mm512_mask_test_epi8_mask(ascii, c, _mm512_set1_epi8(OCTAL_DIGIT));
    uint64_t backslash = _mm512_mask_cmpeq_epi8_mask(valid, v, _mm512_set1_epi8('\\'));

    uint64_t escaped;
    uint64_t starts = escape_starts(backslash, &escaped);
    // A letter escape first, as the full decoder tries it first; an
    // escape whose bytes pass the body's end has none of the bits it needs.
    uint64_t letter_escapes = starts & (letter >> 1);
    uint64_t octal_escapes = starts & ~letter_escapes & (first_digit >> 1) & (digit >> 2) & (digit >> 3);
    uint64_t hard = (special & ~backslash & ~escaped) | (starts & ~letter_escapes & ~octal_escapes);
    if (hard != 0)
        return convert_kel_text_to_raw_long<kernels>(out, in, capacity);
    uint64_t keep = valid & ~letter_escapes & ~octal_escapes & ~(octal_escapes << 2) & ~(octal_escapes << 3);
    size_t made = (size_t)__builtin_popcountll(keep);
    if (out == NULL)
        return (int)made;
    if (capacity < 0 || (size_t)capacity < made)
        return convert_kel_text_to_raw_long<kernels>(out, in, capacity);

    __m512i letter_value = _mm512_permutex2var_epi8(_mm512_load_si512(letters.of), v,
                                                    _mm512_load_si512(letters.of + 64));
    // The digits' characters will do: '0' has none of the bits kept.
    __m512i octal_value = octal_values(v, v1, v2);
    __m512i bytes = _mm512_mask_mov_epi8(_mm512_mask_mov_epi8(v, letter_escapes << 1, letter_value),
                                         octal_escapes << 1, octal_value);
    vec512::masked_store(out, first_bits(made), _mm512_maskz_compress_epi8(keep, bytes));
    out[made] = '\0';
    return (int)made;
}

/*
 * raw_text_to_kel of a text of 1 to 127 bytes, as the kernel found it:
 * its forms, or the long way where the room is too small.
 */
__attribute__((noinline)) int raw_text_to_kel_with_forms(char *out, const char *in, int capacity)
{
    short_text t = load_short_text(in);
    form_places lo = places_of<false>(t.lo, lo_bits(t.len)), hi;
    size_t total = forms_length(t.len, lo);
    if (t.len > 64) {
        hi = places_of<false>(t.hi, hi_bits(t.len));
        total += forms_length(0, hi);
    }
    if (out != NULL && (capacity < 0 || (size_t)capacity < total))
        return convert_raw_text_to_kel_long<kernels>(out, in, capacity);
    if (out != NULL) {
        char *end = store_forms(out, lo, t.len < 64 ? t.len : 64);
        if (t.len > 64)
            end = store_forms(end, hi, t.len - 64);
        *end = '\0';
    }
    return (int)total;
}

/*
 * raw_text_to_kel of a text of len <= 16 bytes, v, plain or not: its
 * forms with one spread, or the long way where the room is too small.
 * Given the vector, so that the text is not loaded again, and apart from
 * the function above, whose registers and frame it would otherwise set.
 * A text with a byte from 128 on, rare in a name, is that function's: the
 * few steps that such bytes take cost a fifth of this function's time.
 * The terminator's place is known from the places, before the forms are.
 */
__attribute__((noinline)) int raw_text_to_kel_up_to_16(char *out, const char *in, int capacity, __m512i v,
                                                       size_t len)
{
    uint64_t bytes = first_bits(len);
    if ((_mm512_movepi8_mask(v) & bytes) != 0)
        return raw_text_to_kel_with_forms(out, in, capacity);
    form_places p = places_of<true>(v, bytes);
    size_t total = forms_length(len, p);
    if (out == NULL)
        return (int)total;
    if (capacity < 0 || (size_t)capacity < total)
        return convert_raw_text_to_kel_long<kernels>(out, in, capacity);
    size_t k;
    __m512i forms = forms_of_16(p, 0, len, &k);
    vec512::masked_store(out, first_bits(total), forms);
    out[total] = '\0';
    return (int)total;
}

} // namespace

const struct textcodec_converters textcodec_vbmi2_converters = converters_of<kernels>();

// SPDX-License-Identifier: MIT
/*
 * The seam between the codec's exact path and its vector kernels, and the
 * choice of kernels.  Internal: tests and the benchmark include it to pick
 * a level; it is not installed.
 */
#ifndef TEXTCODEC_KERNELS_H
#define TEXTCODEC_KERNELS_H

#include <limits.h>
#include <stddef.h>

/*
 * Where a converter writes: the caller's buffer of capacity + 1 bytes, or
 * nowhere in measure mode (start is null), and how many characters the
 * text has so far.  next and count advance together.
 */
struct textcodec_output {
    char *start;
    char *next;
    int capacity;
    int count;
};

/*
 * How many more characters the text may take: the room left before the
 * terminator's byte, or in measure mode what an int can still count.  The
 * one place where the room is computed.
 */
static inline size_t textcodec_room(const struct textcodec_output *o)
{
    int limit = o->start != NULL ? o->capacity : INT_MAX;
    return limit > o->count ? (size_t)(limit - o->count) : 0;
}

/*
 * A kernel consumes the easy part of a converter's input from in[i] on,
 * among its first len bytes, and returns where the exact path resumes
 * (i itself when nothing at in[i] is easy).  For the bytes it consumes it
 * writes at o->next exactly the characters the exact path would write,
 * and no other byte of the buffer changes; it advances o->next and
 * o->count and never beyond textcodec_room(o).  It never fails and prints
 * nothing: whatever could fail is left to the exact path.  It reads no
 * byte outside in[0] to in[len - 1].
 */
typedef size_t textcodec_kernel(const char *in, size_t len, size_t i, struct textcodec_output *o);

/*
 * A kernel that needs no length: as above, but it consumes in[i] on up to
 * the terminator, which it finds itself, and returns where it stopped (at
 * the terminator when all was easy).  It may read past the terminator,
 * but never past the end of the terminator's page.
 */
typedef size_t textcodec_kernel_to_end(const char *in, size_t i, struct textcodec_output *o);

/*
 * A whole-text kernel for short texts, tried before anything else: it
 * returns the converter's result for the NUL-terminated text in, having
 * written exactly what the converter writes, or TEXTCODEC_LONG, having
 * written nothing, for a text it leaves to the converter (too long, or
 * anything that could fail).  It may read past the terminator, but never
 * past the end of the terminator's page.
 */
typedef int textcodec_text_kernel(char *out, const char *in, int capacity);
enum { TEXTCODEC_LONG = -2 };

/*
 * A short-text kernel is inlined into its converter, which then enters
 * the long way with its arguments still in their registers.
 */
#define TEXTCODEC_SHORT_TEXT_KERNEL __attribute__((always_inline)) inline int

/* One level's kernels; the exact level's consume nothing. */
struct textcodec_kernels {
    textcodec_text_kernel *short_c_text_to_kel;
    textcodec_text_kernel *short_kel_text_to_raw;
    textcodec_text_kernel *short_raw_text_to_kel;
    textcodec_kernel *c_text_to_kel;   /* runs of plain bytes */
    textcodec_kernel *kel_text_to_raw; /* plain bytes, letter and three-digit octal escapes */
    textcodec_kernel_to_end *raw_text_to_kel; /* every byte */
};

/* The exact level's kernels: no short text, nothing consumed. */
// NOLINTNEXTLINE(readability-non-const-parameter): the signature of every short-text kernel
static inline int textcodec_no_short_text(char *out, const char *in, int capacity)
{
    (void)out, (void)in, (void)capacity;
    return TEXTCODEC_LONG;
}
static inline size_t textcodec_nothing_consumed(const char *in, size_t len, size_t i,
                                                struct textcodec_output *o)
{
    (void)in, (void)len, (void)o;
    return i;
}
static inline size_t textcodec_nothing_consumed_to_end(const char *in, size_t i, struct textcodec_output *o)
{
    (void)in, (void)o;
    return i;
}

/* One level's converters, each built over that level's kernels. */
struct textcodec_converters {
    textcodec_text_kernel *c_text_to_kel;
    textcodec_text_kernel *kel_text_to_raw;
    textcodec_text_kernel *raw_text_to_kel;
};

/*
 * The converters in use: the widest level this processor runs, chosen
 * once as the program is loaded (before that, the exact level's), so that
 * a converter call costs no check and no atomic load.
 */
extern struct textcodec_converters textcodec_active;

/* The levels, from the exact path alone up; each needs the ones below it. */
enum textcodec_level {
    TEXTCODEC_EXACT,
    TEXTCODEC_SSE2,
    TEXTCODEC_AVX2,
    TEXTCODEC_AVX512,
    TEXTCODEC_AVX512_VBMI2, /* AVX-512 with the byte permutes and compress */
    TEXTCODEC_LEVELS
};

const char *textcodec_level_name(enum textcodec_level level);

/* Whether a level is compiled in and this processor runs it. */
int textcodec_level_supported(enum textcodec_level level);

/* The widest supported level: what the converters use unless told otherwise. */
enum textcodec_level textcodec_best_level(void);

/*
 * For tests and the benchmark: use this supported level from now on.  Not
 * to be called while another thread converts.
 */
void textcodec_use_level(enum textcodec_level level);
enum textcodec_level textcodec_current_level(void);

/* The converters of each level, where compiled in. */
extern const struct textcodec_converters textcodec_exact_converters;
extern const struct textcodec_converters textcodec_sse2_converters;
extern const struct textcodec_converters textcodec_avx2_converters;
extern const struct textcodec_converters textcodec_avx512_converters;
extern const struct textcodec_converters textcodec_vbmi2_converters;

#endif

// SPDX-License-Identifier: MIT
/*
 * The choice of kernels: which levels this build has and this processor
 * runs, and the kernels in use.  The exact level's kernels consume
 * nothing, so the converters call a kernel without asking whether there
 * is one.
 */
#include "textcodec_kernels.h"

static int no_short_text(char *, const char *, int)
{
    return TEXTCODEC_LONG;
}

static size_t nothing_consumed(const char *, size_t, size_t i, struct textcodec_output *)
{
    return i;
}

const struct textcodec_kernels textcodec_exact_kernels = {
    no_short_text,    no_short_text,    no_short_text,
    nothing_consumed, nothing_consumed, nothing_consumed};

#if defined(TEXTCODEC_HAVE_KERNELS) && defined(__x86_64__)
static int cpu_has(enum textcodec_level level)
{
    __builtin_cpu_init();
    switch (level) {
    case TEXTCODEC_EXACT:
        return 1;
    case TEXTCODEC_SSE2:
        return __builtin_cpu_supports("sse2");
    case TEXTCODEC_AVX2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("bmi2");
    case TEXTCODEC_AVX512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
               __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    case TEXTCODEC_AVX512_VBMI2:
        return cpu_has(TEXTCODEC_AVX512) && __builtin_cpu_supports("avx512vbmi") &&
               __builtin_cpu_supports("avx512vbmi2");
    default:
        return 0;
    }
}

static const struct textcodec_kernels *const level_kernels[TEXTCODEC_LEVELS] = {
    &textcodec_exact_kernels, &textcodec_sse2_kernels, &textcodec_avx2_kernels,
    &textcodec_avx512_kernels, &textcodec_vbmi2_kernels};
#else
static int cpu_has(enum textcodec_level level)
{
    return level == TEXTCODEC_EXACT;
}

static const struct textcodec_kernels *const level_kernels[TEXTCODEC_LEVELS] = {
    &textcodec_exact_kernels};
#endif

const char *textcodec_level_name(enum textcodec_level level)
{
    static const char *const names[TEXTCODEC_LEVELS] = {"exact", "sse2", "avx2", "avx512",
                                                        "avx512vbmi2"};
    return level >= 0 && level < TEXTCODEC_LEVELS ? names[level] : "unknown";
}

int textcodec_level_supported(enum textcodec_level level)
{
    return level >= 0 && level < TEXTCODEC_LEVELS && cpu_has(level);
}

enum textcodec_level textcodec_best_level(void)
{
    int best = TEXTCODEC_EXACT;
    for (int level = TEXTCODEC_EXACT; level < TEXTCODEC_LEVELS; level++) {
        if (textcodec_level_supported((enum textcodec_level)level))
            best = level;
    }
    return (enum textcodec_level)best;
}

/*
 * Constant-initialised to the exact level, so that a converter called by
 * another library's initialiser, before the choice below, is still right.
 */
struct textcodec_kernels textcodec_active = {
    no_short_text,    no_short_text,    no_short_text,
    nothing_consumed, nothing_consumed, nothing_consumed};
static enum textcodec_level active_level = TEXTCODEC_EXACT;

void textcodec_use_level(enum textcodec_level level)
{
    if (!textcodec_level_supported(level))
        return;
    textcodec_active = *level_kernels[level];
    active_level = level;
}

enum textcodec_level textcodec_current_level(void)
{
    return active_level;
}

/* The widest level, chosen once as the program is loaded. */
__attribute__((constructor)) static void choose_kernels(void)
{
    textcodec_use_level(textcodec_best_level());
}

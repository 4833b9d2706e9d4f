// SPDX-License-Identifier: MIT
/*
 * The choice of kernels: which levels this build has and this processor
 * runs, and the converters in use.
 */
#include "textcodec_kernels.h"

#if defined(TEXTCODEC_HAVE_KERNELS) && defined(__x86_64__)
/*
 * What the processor runs and the operating system supports.  An AVX or
 * AVX-512 instruction faults unless the system saves the wider registers'
 * state on a switch: __builtin_cpu_supports reports "avx2" only where
 * XGETBV shows the YMM state enabled (XCR0 bits 1 and 2) and the
 * "avx512*" features only where the opmask and ZMM states are too (bits
 * 5 to 7), in the run-time libraries of GCC (libgcc's cpuinfo) and clang
 * (compiler-rt's cpu_model) that this project builds with.  Each level
 * also asks for every narrower one that its code uses: the AVX-512 levels
 * take 256-bit steps with AVX2, which a virtual machine may offer apart.
 * Each level's file checks at build time that it is compiled for exactly
 * the features asked here, and the SSE2 and AVX2 files for nothing wider.
 */
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
        return cpu_has(TEXTCODEC_AVX2) && __builtin_cpu_supports("avx512f") &&
               __builtin_cpu_supports("avx512bw");
    case TEXTCODEC_AVX512_VBMI2:
        return cpu_has(TEXTCODEC_AVX512) && __builtin_cpu_supports("avx512vbmi") &&
               __builtin_cpu_supports("avx512vbmi2");
    default:
        return 0;
    }
}

static const struct textcodec_converters *const level_converters[TEXTCODEC_LEVELS] = {
    &textcodec_exact_converters, &textcodec_sse2_converters, &textcodec_avx2_converters,
    &textcodec_avx512_converters, &textcodec_vbmi2_converters};
#else
static int cpu_has(enum textcodec_level level)
{
    return level == TEXTCODEC_EXACT;
}

static const struct textcodec_converters *const level_converters[TEXTCODEC_LEVELS] = {
    &textcodec_exact_converters};
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

/* textcodec_active is the exact level's until the choice below. */
static enum textcodec_level active_level = TEXTCODEC_EXACT;

void textcodec_use_level(enum textcodec_level level)
{
    if (!textcodec_level_supported(level))
        return;
    textcodec_active = *level_converters[level];
    active_level = level;
}

enum textcodec_level textcodec_current_level(void)
{
    return active_level;
}

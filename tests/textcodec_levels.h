// SPDX-License-Identifier: MIT
// Runs a test suite once for each level of the codec's kernels.  A level
// that this build does not compile in, or this processor does not run, is
// reported as skipped with the reason.
#ifndef TEXTCODEC_LEVELS_H
#define TEXTCODEC_LEVELS_H

#include "textcodec_kernels.h"

#include <gtest/gtest.h>

#include <string>

class AtEveryLevel : public ::testing::TestWithParam<textcodec_level>
{
  protected:
    void SetUp() override
    {
        if (!textcodec_level_supported(GetParam()))
            GTEST_SKIP() << "level " << textcodec_level_name(GetParam())
                         << ": not compiled in, or not run by this processor";
        textcodec_use_level(GetParam());
    }
    void TearDown() override
    {
        textcodec_use_level(textcodec_best_level());
    }
};

inline std::string level_name(const ::testing::TestParamInfo<textcodec_level> &info)
{
    return textcodec_level_name(info.param);
}

#define INSTANTIATE_AT_EVERY_LEVEL(suite)                                                          \
    INSTANTIATE_TEST_SUITE_P(Level, suite,                                                         \
                             ::testing::Values(TEXTCODEC_EXACT, TEXTCODEC_SSE2, TEXTCODEC_AVX2,   \
                                               TEXTCODEC_AVX512, TEXTCODEC_AVX512_VBMI2),          \
                             level_name)

#endif

#include <gtest/gtest.h>

#include "Brim_Check.h"

namespace {

TEST(ConsistencyCheckDeathTest, ReportsLocationAndExpressionThenAborts) {
    const int answer = 41;
    // The line names this file, the line of the check and the expression text as written.
    EXPECT_DEATH(BRIM_CHECK(answer == 42),
                 "CheckTest\\.cpp:[0-9]+: failed assertion `answer == 42'");
}

TEST(ConsistencyCheckTest, PassesSilentlyWhenTrue) {
    int evaluations = 0;
    BRIM_CHECK(++evaluations == 1);
    EXPECT_EQ(evaluations, 1);  // evaluated once, not twice
}

}  // namespace

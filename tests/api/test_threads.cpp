// The largest thread count a caller may set does not take the process down: the team is cut to
// what the work and the runtime allow, and the result is the single-block one.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "support/net.h"

TEST(Threads, TheLargestThreadCountWithManyBatchesStillAgrees) {
    Net net("3 1 3 1 16 3 4 4 softplus sum_log_dnorm_fat");
    const unsigned R = 3000;
    const std::vector<double> w = random_vector(net.numel(), 1, 0.4), X = random_vector(R * 3, 2),
                              Y = random_vector(R, 3, 0.3);
    double single = 0, many = 0;
    ASSERT_EQ(velt_setpar(net.h, 1, int(R)), 0);
    ASSERT_EQ(velt_obj(net.h, w.data(), net.numel(), X.data(), Y.data(), R, 3, 1, &single), 0);
    ASSERT_EQ(velt_setpar(net.h, 99999, 1), 0);  // 3000 batches of one row
    ASSERT_EQ(velt_obj(net.h, w.data(), net.numel(), X.data(), Y.data(), R, 3, 1, &many), 0);
    EXPECT_NEAR(many, single, 1e-12 * std::fabs(single));
}

// Seeding the tangent parameter vector from the caller's directions in both layouts.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "api/directions.h"
#include "veltn.h"

using namespace veltn;

TEST(DirectionSeeding, ReadsBothLayoutsAndTheSingleParameterRule) {
    const double w[3] = {1, 2, 3};
    // Directions (10, 11, 12) and (20, 21, 22).
    const double by_column[6] = {10, 20, 11, 21, 12, 22};
    const double by_row[6] = {10, 11, 12, 20, 21, 22};
    velt_major(nullptr, 0);
    const fad1<Vec> a = veltn::seeded_parameters(w, 3, by_column, 2, 3);
    velt_major(nullptr, 1);
    const fad1<Vec> b = veltn::seeded_parameters(w, 3, by_row, 2, 3);
    velt_major(nullptr, 0);
    for (const fad1<Vec>* p : {&a, &b}) {
        ASSERT_EQ(p->ndir(), 2u);
        EXPECT_EQ(p->value[2], 3.0);
        EXPECT_EQ(p->tangents[0][1], 11.0);
        EXPECT_EQ(p->tangents[1][2], 22.0);
    }
    const double one = 4.0, ignored = 99.0;
    const fad1<Vec> c = veltn::seeded_parameters(&one, 1, &ignored, 1, 1);
    EXPECT_EQ(c.tangents[0][0], 1.0);
    const fad1<Vec> z = veltn::seeded_parameters(w, 3, nullptr, 2, 3);
    EXPECT_EQ(z.tangents[1][0], 0.0);
    // Entries beyond the network's parameters are not read: NaN there is no event.
    const double w_nan[3] = {1, 2, std::nan("")};
    const double v_nan[6] = {1, 2, 3, 4, std::nan(""), 6};
    const fad1<Vec> u = veltn::seeded_parameters(w_nan, 3, v_nan, 2, 2);
    EXPECT_EQ(u.value[2], 0.0);
    EXPECT_EQ(u.tangents[0][2], 0.0);
    EXPECT_EQ(u.tangents[1][1], 4.0);
}

TEST(DirectionSeeding, WritesBothLayouts) {
    VecTangents t(2, 3);
    t[0] = Vec{1, 2, 3};
    t[1] = Vec{4, 5, 6};
    double out[8];
    velt_major(nullptr, 0);
    veltn::write_directions(t, 2, 3, 4, out);  // nw x k with a zero row beyond the parameters
    EXPECT_EQ(std::vector<double>(out, out + 8), (std::vector<double>{1, 4, 2, 5, 3, 6, 0, 0}));
    velt_major(nullptr, 1);
    veltn::write_directions(t, 2, 3, 4, out);
    velt_major(nullptr, 0);
    EXPECT_EQ(std::vector<double>(out, out + 8), (std::vector<double>{1, 2, 3, 0, 4, 5, 6, 0}));
}

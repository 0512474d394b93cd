// Tangent containers: construction, assignment, reshaping and masked selection.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "forward/fad1.h"
#include "forward/tangent_test_util.h"

using namespace veltn;

using namespace tangent_test;

namespace {
const double kInf = std::numeric_limits<double>::infinity();
}

TEST(FadContainers, ZeroTangentsOfInfiniteValueAreNaN) {
    DirectionCounts counts(5);
    const Vec v = {1.0, kInf};
    fad1<Vec> x(v, 2u);
    ASSERT_EQ(x.tangents.size(), 2u);
    for (unsigned d = 0; d < 2; ++d) {
        ASSERT_EQ(x.tangents[d].size(), 2u);
        EXPECT_EQ(x.tangents[d][0], 0.0);
        EXPECT_TRUE(std::isnan(x.tangents[d][1]));
    }
    fad1<Mat> m(make_mat(1, 2, Vec{-kInf, 2.0}));
    ASSERT_EQ(m.tangents.size(), 5u);
    EXPECT_TRUE(std::isnan(m.tangents[4].data[0]));
    EXPECT_EQ(m.tangents[4].data[1], 0.0);
}

TEST(FadContainers, VectorFromDoubleUsesGlobalDirectionCount) {
    DirectionCounts counts(99, 4);
    fad1<Vec> x(2.5, 3u);
    ASSERT_EQ(x.value.size(), 3u);
    for (double v : x.value) EXPECT_EQ(v, 2.5);
    ASSERT_EQ(x.tangents.size(), 4u);
    for (unsigned d = 0; d < 4; ++d) {
        ASSERT_EQ(x.tangents[d].size(), 3u);
        for (double t : x.tangents[d]) EXPECT_EQ(t, 0.0);
    }
}

TEST(FadContainers, MatrixAndDefaultConstruction) {
    {
        DirectionCounts counts(0);
        fad1<Mat> m(make_mat(2, 3, random_vec(6, 1)));
        EXPECT_EQ(m.tangents.size(), 0u);
        EXPECT_EQ(m.value.rows, 2u);
        EXPECT_EQ(m.value.cols, 3u);
    }
    DirectionCounts counts(3);
    fad1<Mat> m(make_mat(2, 3, random_vec(6, 1)));
    ASSERT_EQ(m.tangents.size(), 3u);
    for (unsigned d = 0; d < 3; ++d) {
        EXPECT_EQ(m.tangents[d].rows, 2u);
        EXPECT_EQ(m.tangents[d].cols, 3u);
        ASSERT_EQ(m.tangents[d].data.size(), 6u);
        for (double t : m.tangents[d].data) EXPECT_EQ(t, 0.0);
    }
    fad1<Mat> e;
    EXPECT_EQ(e.value.size(), 0u);
    EXPECT_EQ(e.value.rows, 0u);
    ASSERT_EQ(e.tangents.size(), 3u);
    EXPECT_EQ(e.tangents[2].size(), 0u);
    fad1<Vec> ev;
    EXPECT_EQ(ev.value.size(), 0u);
    EXPECT_EQ(ev.tangents.size(), 3u);
    // Growing a vector of containers default-constructs the new ones.
    std::vector<fad1<Vec>> many;
    many.resize(2);
    EXPECT_EQ(many[1].tangents.size(), 3u);
}

TEST(FadContainers, AssignmentTakesSourceDirectionsAndCopiesDeep) {
    DirectionCounts counts(1);
    fad1<Vec> src = seeded_vec(random_vec(4, 2), 3, 7);
    fad1<Vec> dst = seeded_vec(random_vec(2, 3), 1, 8);
    dst = src;
    ASSERT_EQ(dst.tangents.size(), 3u);
    expect_bits_equal(dst.value, src.value, "value");
    for (unsigned d = 0; d < 3; ++d) expect_bits_equal(dst.tangents[d], src.tangents[d], "tangent");
    dst.tangents[1][0] = 1234.0;
    EXPECT_NE(src.tangents[1][0], 1234.0);

    fad1<Mat> msrc = seeded_mat(random_mat(3, 2, 4), 2, 9);
    fad1<Mat> mdst = seeded_mat(random_mat(1, 5, 5), 4, 10);
    mdst = msrc;
    ASSERT_EQ(mdst.tangents.size(), 2u);
    EXPECT_EQ(mdst.value.rows, 3u);
    EXPECT_EQ(mdst.value.cols, 2u);
    EXPECT_EQ(mdst.tangents[1].rows, 3u);
    expect_bits_equal(mdst.tangents[1].data, msrc.tangents[1].data, "matrix tangent");
}

TEST(FadContainers, VectorToMatrixAssignmentKeepsTargetShape) {
    DirectionCounts counts(1);
    fad1<Mat> m(Mat(2, 3));
    ASSERT_EQ(m.tangents.size(), 1u);
    const fad1<Vec> v = seeded_vec(random_vec(6, 11), 3, 12);
    m = v;
    EXPECT_EQ(m.value.rows, 2u);
    EXPECT_EQ(m.value.cols, 3u);
    expect_bits_equal(m.value.data, v.value, "value");
    ASSERT_EQ(m.tangents.size(), 3u);
    for (unsigned d = 0; d < 3; ++d) {
        EXPECT_EQ(m.tangents[d].rows, 2u);
        EXPECT_EQ(m.tangents[d].cols, 3u);
        expect_bits_equal(m.tangents[d].data, v.tangents[d], "tangent");
    }
}

TEST(FadContainers, AsMatrixIsRowMajorAndAsVectorInvertsIt) {
    DirectionCounts counts(1);
    const fad1<Vec> v = seeded_vec(random_vec(6, 13), 3, 14);
    const fad1<Mat> m = asMatrix(v, 2, 3);
    EXPECT_EQ(m.value.rows, 2u);
    EXPECT_EQ(m.value.cols, 3u);
    EXPECT_EQ(m.value(1, 2), v.value[5]);
    EXPECT_EQ(m.value(1, 0), v.value[3]);
    ASSERT_EQ(m.tangents.size(), 3u);
    EXPECT_EQ(m.tangents[2].rows, 2u);
    EXPECT_EQ(m.tangents[2].cols, 3u);
    EXPECT_EQ(m.tangents[2](0, 1), v.tangents[2][1]);

    const fad1<Vec> back = asVector(asMatrix(v, 3, 2));
    expect_bits_equal(back.value, v.value, "value");
    ASSERT_EQ(back.tangents.size(), 3u);
    for (unsigned d = 0; d < 3; ++d) expect_bits_equal(back.tangents[d], v.tangents[d], "tangent");
}

TEST(FadContainers, MaskWithNoTrueEntry) {
    DirectionCounts counts(1);
    const fad1<Vec> v = seeded_vec(random_vec(5, 15), 3, 16);
    const fad1<Vec> s = v[std::valarray<bool>(false, 5)];
    EXPECT_EQ(s.value.size(), 0u);
    ASSERT_EQ(s.tangents.size(), 3u);
    for (unsigned d = 0; d < 3; ++d) EXPECT_EQ(s.tangents[d].size(), 0u);
}

TEST(FadContainers, MaskAndNegationSelectEveryEntryOnce) {
    DirectionCounts counts(1);
    const fad1<Vec> v = seeded_vec(Vec{-3.0, 0.5, 2.0, -0.1, 7.0, -8.0, 0.0}, 2, 17);
    const std::valarray<bool> mask = v.value < 0.0;
    const fad1<Vec> in = v[mask];
    const fad1<Vec> out = v[!mask];
    ASSERT_EQ(in.value.size(), 3u);
    ASSERT_EQ(out.value.size(), 4u);
    ASSERT_EQ(in.tangents.size(), 2u);
    ASSERT_EQ(out.tangents.size(), 2u);
    // Walking the positions in order and drawing from the selection the mask points to must
    // rebuild the source exactly.
    std::size_t i_in = 0, i_out = 0;
    for (std::size_t i = 0; i < v.value.size(); ++i) {
        const bool sel = mask[i];
        const std::size_t j = sel ? i_in++ : i_out++;
        const fad1<Vec>& part = sel ? in : out;
        EXPECT_EQ(part.value[j], v.value[i]) << i;
        for (unsigned d = 0; d < 2; ++d) EXPECT_EQ(part.tangents[d][j], v.tangents[d][i]) << i;
    }
    EXPECT_EQ(i_in, in.value.size());
    EXPECT_EQ(i_out, out.value.size());
}

TEST(FadContainers, TransposedRefersWithoutCopy) {
    DirectionCounts counts(1);
    fad1<Mat> m = seeded_mat(random_mat(2, 2, 18), 1, 19);
    TransposedFAD1 t(m);
    EXPECT_EQ(&t.m, &m);
}

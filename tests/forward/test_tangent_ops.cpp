// The net_ops overload set over tangent types and the parameter access of the tangent model.
#include <gtest/gtest.h>

#include <string>

#include "forward/tangent_ops.h"
#include "model/parameters.h"
#include "forward/tangent_test_util.h"

using namespace veltn;

using namespace tangent_test;

namespace {

constexpr unsigned kDirs = 3;

void expect_same(fad1<Mat> const& got, fad1<Mat> const& want, std::string const& what) {
    EXPECT_EQ(got.value.rows, want.value.rows) << what;
    EXPECT_EQ(got.value.cols, want.value.cols) << what;
    expect_bits_equal(got.value.data, want.value.data, what + " value");
    ASSERT_EQ(got.tangents.size(), want.tangents.size()) << what;
    for (std::size_t d = 0; d < want.tangents.size(); ++d) {
        EXPECT_EQ(got.tangents[d].rows, want.tangents[d].rows) << what;
        EXPECT_EQ(got.tangents[d].cols, want.tangents[d].cols) << what;
        expect_bits_equal(got.tangents[d].data, want.tangents[d].data, what + " tangent");
    }
}

// A two-layer tangent model with the shapes mknn gives "2 1 2 1 32 2 3 ...": weights 2x3 and
// 3x1, biases 3 and 1.
TangentNN small_model() {
    TangentNN nn;
    nn.numin = 2;
    nn.numout = 1;
    nn.nlayers = 2;
    nn.niter = 1;
    nn.batch = 32;
    nn.sizes = std::valarray<unsigned>{2u, 3u};
    nn.weights = {fad1<Mat>(Mat(2, 3)), fad1<Mat>(Mat(3, 1))};
    nn.biases = {fad1<Vec>(0.0, 3u), fad1<Vec>(0.0, 1u)};
    return nn;
}
constexpr unsigned kNumel = 3 + 6 + 1 + 3;

}  // namespace

TEST(TangentNetOps, InputAndZerosCarryZeroTangents) {
    DirectionCounts counts(kDirs);
    const Mat X = random_mat(4, 2, 1);
    fad1<Mat> A;
    nn_input(A, X, 5);
    Mat plain;
    nn_input(plain, X, 5);
    EXPECT_EQ(A.value.rows, 4u);
    EXPECT_EQ(A.value.cols, 5u);
    expect_bits_equal(A.value.data, plain.data, "input value");
    ASSERT_EQ(A.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) {
        EXPECT_EQ(A.tangents[d].rows, 4u);
        EXPECT_EQ(A.tangents[d].cols, 5u);
        for (double t : A.tangents[d].data) EXPECT_EQ(t, 0.0);
    }
    fad1<Mat> Z;
    nn_zeros(Z, 2, 3);
    EXPECT_EQ(Z.value.rows, 2u);
    EXPECT_EQ(Z.value.cols, 3u);
    ASSERT_EQ(Z.tangents.size(), kDirs);
    for (double t : Z.tangents[2].data) EXPECT_EQ(t, 0.0);
    EXPECT_EQ(nn_rows(A), 4u);
    EXPECT_EQ(A.value.cols, 5u);
    EXPECT_EQ(nn_count(A), 20u);
    EXPECT_EQ(nn_count(fad1<Vec>(1.0, 7u)), 7u);
}

// The fused product with bias is the product followed by the bias pass, bit for bit, whatever
// directions the operands have: fewer on W or b, a zero direction on A (left out of the
// stacked products), a bias tangent of another length (the unfused steps).
TEST(TangentNetOps, MultBiasIsTheProductThenTheBias) {
    DirectionCounts counts(kDirs);
    struct Case {
        const char* what;
        unsigned w_dirs, b_dirs, b_len;
        bool zero_direction;
    };
    for (Case c : {Case{"all directions", kDirs, kDirs, 3, false}, Case{"W has one", kDirs, 1, 3, false},
                   Case{"b has none", kDirs, 0, 3, false}, Case{"b has one, W none", 0, 1, 3, false},
                   Case{"A has a zero direction", kDirs, kDirs, 3, true},
                   Case{"b's tangents entrywise", kDirs, kDirs, 12, false}}) {
        fad1<Mat> A = seeded_mat(random_mat(4, 2, 2), kDirs, 3);
        if (c.zero_direction) A.tangents[1].data = 0.0;
        const fad1<Mat> W = seeded_mat(random_mat(2, 3, 4), c.w_dirs, 5);
        fad1<Vec> b = seeded_vec(random_vec(3, 6), c.b_dirs, 7);
        for (unsigned d = 0; d < c.b_dirs; ++d) b.tangents[d] = random_vec(c.b_len, 8 + d);
        fad1<Mat> Z, ref;
        nn_mult_bias(A, W, b, Z);
        do_mult(A, W, ref);
        do_binplus(ref, ref, b);
        expect_same(Z, ref, c.what);
    }
}

TEST(TangentNetOps, ColumnBlocksCarryEveryTangent) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> src = seeded_mat(random_mat(3, 2, 8), kDirs, 9);
    fad1<Mat> T;
    nn_zeros(T, 3, 5);
    nn_place_columns(T, src, 2);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 5; ++j) {
            const bool in = j >= 2 && j < 4;
            EXPECT_EQ(T.value(i, j), in ? src.value(i, j - 2) : 0.0);
            for (unsigned d = 0; d < kDirs; ++d) EXPECT_EQ(T.tangents[d](i, j), in ? src.tangents[d](i, j - 2) : 0.0);
        }
    fad1<Mat> back;
    nn_zeros(back, 3, 2);
    nn_add_columns(T, 2, back);
    expect_same(back, src, "the band placed, added back to zeros");

    // A band added onto a matrix, on the directions both have (sum's last one has no partner).
    const fad1<Mat> start = seeded_mat(random_mat(3, 2, 20), kDirs, 21);
    const fad1<Mat> wide = seeded_mat(random_mat(3, 5, 22), kDirs - 1, 23);
    fad1<Mat> sum = start;
    nn_add_columns(wide, 3, sum);
    for (std::size_t i = 0; i < 3; ++i)
        for (std::size_t j = 0; j < 2; ++j) {
            EXPECT_EQ(sum.value(i, j), start.value(i, j) + wide.value(i, 3 + j));
            for (unsigned d = 0; d < kDirs; ++d)
                EXPECT_EQ(sum.tangents[d](i, j),
                          start.tangents[d](i, j) + (d < kDirs - 1 ? wide.tangents[d](i, 3 + j) : 0.0));
        }

    fad1<Mat> rows;
    nn_zeros(rows, 5, 2);
    nn_place_rows(rows, src, 1);
    for (unsigned d = 0; d < kDirs; ++d) {
        EXPECT_EQ(rows.tangents[d](0, 1), 0.0);
        EXPECT_EQ(rows.tangents[d](1, 0), src.tangents[d](0, 0));
        EXPECT_EQ(rows.tangents[d](3, 1), src.tangents[d](2, 1));
        EXPECT_EQ(rows.tangents[d](4, 0), 0.0);
    }
    EXPECT_EQ(rows.value(2, 1), src.value(1, 1));
}

TEST(TangentNetOps, SubTargetChangesValueOnly) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> F0 = seeded_mat(random_mat(2, 2, 10), kDirs, 11);
    const Mat Y = random_mat(2, 2, 12);
    fad1<Mat> F = F0;
    nn_sub_target(F, Y);
    expect_bits_equal(F.value.data, Vec(F0.value.data - Y.data), "value");
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(F.tangents[d].data, F0.tangents[d].data, "tangent");
}

TEST(TangentNetOps, TransposedProductsAndAccumulation) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> A = seeded_mat(random_mat(4, 3, 13), kDirs, 14);
    const fad1<Mat> B = seeded_mat(random_mat(2, 3, 15), kDirs, 16);
    const fad1<Mat> D = seeded_mat(random_mat(4, 2, 17), kDirs, 18);

    fad1<Mat> C, ref;
    nn_mult_nt(A, B, C);
    do_binmult(ref, A, TransposedFAD1<Mat>(B));
    expect_same(C, ref, "mult_nt");

    fad1<Mat> P;
    do_binmult(P, TransposedFAD1<Mat>(A), D);
    fad1<Mat> E;
    nn_mult_tn(A, D, E, false);
    expect_same(E, P, "mult_tn");

    const fad1<Mat> start = seeded_mat(random_mat(3, 2, 19), kDirs, 20);
    fad1<Mat> acc = start;
    nn_mult_tn(A, D, acc, true);
    EXPECT_EQ(acc.value.rows, 3u);
    EXPECT_EQ(acc.value.cols, 2u);
    expect_bits_equal(acc.value.data, Vec(start.value.data + P.value.data), "accumulated value");
    ASSERT_EQ(acc.tangents.size(), kDirs);
    // Each tangent gains its two terms one after the other: equal up to rounding.
    for (unsigned d = 0; d < kDirs; ++d)
        expect_close(acc.tangents[d].data, Vec(start.tangents[d].data + P.tangents[d].data), "accumulated tangent",
                     1e-15, 1e-15);
}

TEST(TangentNetOps, AddIntoSetZeroAndReshape) {
    DirectionCounts counts(kDirs);
    const fad1<Mat> a0 = seeded_mat(random_mat(2, 3, 21), kDirs, 22);
    const fad1<Mat> b = seeded_mat(random_mat(2, 3, 23), kDirs, 24);
    fad1<Mat> a = a0;
    nn_add_into(a, b);
    expect_bits_equal(a.value.data, Vec(a0.value.data + b.value.data), "value");
    for (unsigned d = 0; d < kDirs; ++d)
        expect_bits_equal(a.tangents[d].data, Vec(a0.tangents[d].data + b.tangents[d].data), "tangent");

    fad1<Vec> v = seeded_vec(random_vec(4, 25), kDirs, 26);
    const fad1<Vec> v0 = v;
    const fad1<Vec> w = seeded_vec(random_vec(4, 27), kDirs, 28);
    nn_add_into(v, w);
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(v.tangents[d], Vec(v0.tangents[d] + w.tangents[d]), "vec");

    nn_set_zero(a);
    nn_set_zero(v);
    for (double x : a.value.data) EXPECT_EQ(x, 0.0);
    for (unsigned d = 0; d < kDirs; ++d) {
        for (double x : a.tangents[d].data) EXPECT_EQ(x, 0.0);
        for (double x : v.tangents[d]) EXPECT_EQ(x, 0.0);
    }
    EXPECT_EQ(a.value.rows, 2u);

    const fad1<Vec> flat = nn_as_vector(b);
    fad1<Mat> target(Mat(3, 2));
    nn_assign_values(target, flat);
    EXPECT_EQ(target.value.rows, 3u);
    EXPECT_EQ(target.tangents[1].cols, 2u);
    expect_bits_equal(target.tangents[1].data, b.tangents[1].data, "assign_values");

    tanad::FO::Dynamic::Active<1> s(4.5);
    EXPECT_EQ(scalar_value(s), 4.5);
}

TEST(TangentModel, SetweightsSeedsDirectionsAndGetweightsReturnsThem) {
    DirectionCounts built(1);
    TangentNN nn = small_model();
    DirectionCounts counts(kDirs);
    const fad1<Vec> p = seeded_vec(random_vec(kNumel, 31), kDirs, 32);
    setweights(nn, p);
    // Layer 0: bias entries 0..2, weights 3..8 row-major; layer 1: bias 9, weights 10..12.
    ASSERT_EQ(nn.biases[0].tangents.size(), kDirs);
    ASSERT_EQ(nn.weights[1].tangents.size(), kDirs);
    EXPECT_EQ(nn.biases[0].value[2], p.value[2]);
    EXPECT_EQ(nn.weights[0].value(1, 0), p.value[3 + 3]);
    EXPECT_EQ(nn.weights[0].tangents[2](0, 2), p.tangents[2][5]);
    EXPECT_EQ(nn.weights[0].tangents[2].rows, 2u);
    EXPECT_EQ(nn.weights[0].tangents[2].cols, 3u);
    EXPECT_EQ(nn.biases[1].tangents[1][0], p.tangents[1][9]);
    EXPECT_EQ(nn.weights[1].value(2, 0), p.value[12]);
    EXPECT_EQ(nn.weights[1].tangents[0](2, 0), p.tangents[0][12]);

    const fad1<Vec> q = getweights(nn);
    expect_bits_equal(q.value, p.value, "getweights value");
    ASSERT_EQ(q.tangents.size(), kDirs);
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(q.tangents[d], p.tangents[d], "getweights tangent");
}

TEST(TangentModel, SetweightsZeroAndDoAdd) {
    DirectionCounts counts(kDirs);
    TangentNN a = small_model(), b = small_model();
    const fad1<Vec> pa = seeded_vec(random_vec(kNumel, 33), kDirs, 34);
    const fad1<Vec> pb = seeded_vec(random_vec(kNumel, 35), kDirs, 36);
    setweights(a, pa);
    setweights(b, pb);
    do_add(a, b);
    const fad1<Vec> sum = getweights(a);
    expect_bits_equal(sum.value, Vec(pa.value + pb.value), "value");
    for (unsigned d = 0; d < kDirs; ++d) expect_bits_equal(sum.tangents[d], Vec(pa.tangents[d] + pb.tangents[d]), "tangent");

    zero_parameters(a);
    const fad1<Vec> zero = getweights(a);
    for (double x : zero.value) EXPECT_EQ(x, 0.0);
    for (unsigned d = 0; d < kDirs; ++d)
        for (double x : zero.tangents[d]) EXPECT_EQ(x, 0.0);
    EXPECT_EQ(a.weights[0].value.rows, 2u);
    EXPECT_EQ(a.weights[0].tangents.size(), kDirs);
}

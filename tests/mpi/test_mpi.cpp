// libveltn_mpi under mpirun: every rank builds the same full problem, takes its block of rows,
// and compares the collective result with the one-process result over all rows. Every test is
// collective, so each rank runs the same tests in the same order and no test returns before a
// collective call.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/problem.h"
#include "veltn_mpi.h"
#include "veltn_mpi_testing.h"

namespace {

int world_rank() {
    int r = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &r);
    return r;
}
int world_size() {
    int s = 1;
    MPI_Comm_size(MPI_COMM_WORLD, &s);
    return s;
}

// The relative tolerance of the collective results against the one-process ones, measured
// against the largest entry (sums over differently cut batches may cancel in single entries).
constexpr double kTol = 1e-12;

void expect_close(std::vector<double> const& got, std::vector<double> const& want, const char* what) {
    ASSERT_EQ(got.size(), want.size()) << what;
    double scale = 0, err = 0;
    for (std::size_t i = 0; i < want.size(); ++i) {
        scale = std::max(scale, std::fabs(want[i]));
        err = std::max(err, std::fabs(got[i] - want[i]));
    }
    EXPECT_LE(err, kTol * scale) << what << ": largest difference " << err << " against largest entry " << scale;
}

// Row blocks per rank: how R rows are cut among `size` ranks.
enum class Cut { kEven, kFirstEmpty, kLastTakesMost };

std::vector<unsigned> row_counts(unsigned R, int size, Cut cut) {
    std::vector<unsigned> n(size, 0);
    const int first = cut == Cut::kFirstEmpty && size > 1 ? 1 : 0;
    const int ranks = size - first;
    for (int r = 0; r < ranks; ++r) n[first + r] = R / ranks + (unsigned(r) < R % ranks ? 1 : 0);
    if (cut == Cut::kLastTakesMost && size > 1) {
        for (int r = 0; r < size - 1; ++r) n[r] = std::min(n[r], 3u);
        unsigned used = 0;
        for (int r = 0; r < size - 1; ++r) used += n[r];
        n[size - 1] = R - used;
    }
    return n;
}

// The full problem on every rank, and this rank's block of it.
struct Split {
    DataProblem& p;
    unsigned begin = 0, rows = 0;
    Split(DataProblem& problem, MPI_Comm comm, Cut cut) : p(problem) {
        int rank = 0, size = 1;
        MPI_Comm_rank(comm, &rank);
        MPI_Comm_size(comm, &size);
        const std::vector<unsigned> n = row_counts(p.R, size, cut);
        for (int r = 0; r < rank; ++r) begin += n[r];
        rows = n[rank];
    }
    const double* X() const { return p.X.data() + std::size_t(begin) * p.C; }
    const double* Y() const { return p.Y.data() + std::size_t(begin) * p.net.nout(); }
    std::size_t first_term() const { return std::size_t(begin) * p.net.nout(); }
    std::size_t terms() const { return std::size_t(rows) * p.net.nout(); }
};

struct Case {
    const char* description;
    unsigned rows, cols;
    Cut cut;
    unsigned threads;
};

// Rows not a multiple of the batch (32), fewer rows than ranks could share evenly, an empty
// first rank, and a handle running two threads.
const Case kCases[] = {
    {"3 1 3 1 16 3 8 8 softplus sum", 101, 3, Cut::kEven, 1},
    {"3 1 3 1 16 3 8 8 softplus sum", 101, 3, Cut::kFirstEmpty, 1},
    {"8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", 77, 8, Cut::kLastTakesMost, 1},
    {"8 2 3 2 32 8 16 8 softplus sum_log_dnorm_fat", 5, 6, Cut::kFirstEmpty, 1},
    {"4 3 3 1 16 4 6 5 atan sum_log_dnorm_fat", 130, 4, Cut::kEven, 2},
};

class Ranks : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        const Case& c = GetParam();
        problem_ = std::make_unique<DataProblem>(c.description, c.rows, c.cols, 0.5, 11);
        velt_setpar(problem_->net.h, c.threads, 16);
    }
    void TearDown() override { velt_major(nullptr, 0); }
    std::unique_ptr<DataProblem> problem_;
};

TEST_P(Ranks, ObjectiveGradientAndTermsEqualOneProcess) {
    DataProblem& p = *problem_;
    const Split s(p, MPI_COMM_WORLD, GetParam().cut);
    const unsigned nout = p.net.nout();
    double J1 = 0;
    const std::vector<double> g1 = p.grad(p.w, &J1);
    const std::vector<double> terms1 = p.objv(p.w);

    double J = 0, Jg = 0;
    std::vector<double> g(p.nw(), -1.0), terms(s.terms() + 1, -7.0);
    EXPECT_EQ(velt_mpi_obj(p.net.h, MPI_COMM_WORLD, p.w.data(), p.nw(), s.X(), s.Y(), s.rows, p.C, nout, &J), 0)
        << velt_mpi_last_error();
    EXPECT_EQ(velt_mpi_g(p.net.h, MPI_COMM_WORLD, p.w.data(), p.nw(), s.X(), s.Y(), s.rows, p.C, nout, &Jg, g.data()),
              0);
    EXPECT_EQ(velt_mpi_objv(p.net.h, MPI_COMM_WORLD, p.w.data(), p.nw(), s.X(), s.Y(), s.rows, p.C, nout,
                            terms.data()),
              0);
    expect_close({J, Jg}, {J1, J1}, "J");
    expect_close(g, g1, "gradient");
    // The rank's own terms only, and nothing written past them.
    EXPECT_EQ(terms.back(), -7.0);
    terms.pop_back();
    expect_close(terms, std::vector<double>(terms1.begin() + s.first_term(), terms1.begin() + s.first_term() + s.terms()),
                 "terms");
}

TEST_P(Ranks, HessianVectorEqualsOneProcessInBothStorageOrders) {
    DataProblem& p = *problem_;
    const Split s(p, MPI_COMM_WORLD, GetParam().cut);
    const unsigned nout = p.net.nout(), nw = p.nw(), k = 3;
    const std::vector<double> V = random_vector(std::size_t(k) * nw, 5);
    for (int flag : {0, 1}) {
        velt_major(nullptr, flag);
        double J1 = 0, J = 0;
        std::vector<double> g1(nw), Hv1(std::size_t(k) * nw), g(nw), Hv(Hv1.size());
        ASSERT_EQ(velt_Hv(p.net.h, p.w.data(), nw, V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, nout, &J1, g1.data(),
                          Hv1.data()),
                  0);
        EXPECT_EQ(velt_mpi_Hv(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, V.data(), k, s.X(), s.Y(), s.rows, p.C, nout, &J,
                              g.data(), Hv.data()),
                  0)
            << velt_mpi_last_error();
        expect_close({J}, {J1}, "J");
        expect_close(g, g1, "g");
        expect_close(Hv, Hv1, flag ? "Hv (one direction per row)" : "Hv (one direction per column)");
    }
}

// G v is gathered like H v; the Jacobian's rows stay with the rank that holds their rows.
TEST_P(Ranks, GaussNewtonGatheredAndJacobianRowsLocal) {
    DataProblem& p = *problem_;
    const Split s(p, MPI_COMM_WORLD, GetParam().cut);
    const unsigned nout = p.net.nout(), nw = p.nw(), k = 2;
    const std::vector<double> V = random_vector(std::size_t(k) * nw, 6);
    for (int flag : {0, 1}) {
        velt_major(nullptr, flag);
        double J1 = 0, J = 0;
        std::vector<double> g1(nw), G1(std::size_t(k) * nw), g(nw), G(G1.size());
        ASSERT_EQ(velt_GNv(p.net.h, p.w.data(), nw, V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, nout, &J1,
                           g1.data(), G1.data()),
                  0);
        EXPECT_EQ(velt_mpi_GNv(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, V.data(), k, s.X(), s.Y(), s.rows, p.C, nout,
                               &J, g.data(), G.data()),
                  0)
            << velt_mpi_last_error();
        expect_close({J}, {J1}, "J");
        expect_close(g, g1, "g");
        expect_close(G, G1, "GNv");
    }
    std::vector<double> res1(p.terms()), Jac1(p.terms() * nw);
    ASSERT_EQ(velt_jacobian(p.net.h, p.w.data(), nw, p.X.data(), p.Y.data(), p.R, p.C, nout, res1.data(),
                            Jac1.data()),
              0);
    std::vector<double> res(s.terms()), Jac(s.terms() * nw);
    EXPECT_EQ(velt_mpi_jacobian(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, s.X(), s.Y(), s.rows, p.C, nout, res.data(),
                                Jac.data()),
              0)
        << velt_mpi_last_error();
    expect_close(res, std::vector<double>(res1.begin() + s.first_term(), res1.begin() + s.first_term() + s.terms()),
                 "terms");
    expect_close(Jac, std::vector<double>(Jac1.begin() + s.first_term() * nw,
                                          Jac1.begin() + (s.first_term() + s.terms()) * nw),
                 "Jac");
}

// vJ is gathered and Jv kept local; the adjoint identity u.(Jv) = (U^T J).v over all ranks ties
// the two together independently of the one-process run.
TEST_P(Ranks, VectorJacobianGatheredAndJacobianVectorLocal) {
    DataProblem& p = *problem_;
    const Split s(p, MPI_COMM_WORLD, GetParam().cut);
    const unsigned nout = p.net.nout(), nw = p.nw(), m = 2, k = 2;
    const std::vector<double> U = random_vector(std::size_t(m) * p.terms(), 21);
    const std::vector<double> V = random_vector(std::size_t(k) * nw, 22);

    std::vector<double> res1(p.terms()), vJ1(std::size_t(m) * nw), Jv1(p.terms() * k);
    ASSERT_EQ(velt_vJ_vec(p.net.h, p.w.data(), nw, U.data(), m, p.X.data(), p.Y.data(), p.R, p.C, nout, res1.data(),
                          vJ1.data()),
              0);
    ASSERT_EQ(velt_Jv(p.net.h, p.w.data(), nw, V.data(), k, p.X.data(), p.Y.data(), p.R, p.C, nout, res1.data(),
                      Jv1.data()),
              0);

    // This rank's rows of each weight vector.
    std::vector<double> Ulocal;
    for (unsigned j = 0; j < m; ++j) {
        const double* Uj = U.data() + std::size_t(j) * p.terms() + s.first_term();
        Ulocal.insert(Ulocal.end(), Uj, Uj + s.terms());
    }
    std::vector<double> res(s.terms()), vJ(nw), vJv(std::size_t(m) * nw), Jv(s.terms() * k);
    EXPECT_EQ(velt_mpi_vJ(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, Ulocal.data(), 0, s.X(), s.Y(), s.rows, p.C, nout,
                          res.data(), vJ.data()),
              0)
        << velt_mpi_last_error();
    EXPECT_EQ(velt_mpi_vJ_vec(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, Ulocal.data(), m, s.X(), s.Y(), s.rows, p.C,
                              nout, res.data(), vJv.data()),
              0);
    EXPECT_EQ(velt_mpi_Jv(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, V.data(), k, s.X(), s.Y(), s.rows, p.C, nout,
                          res.data(), Jv.data()),
              0);
    expect_close(vJ, std::vector<double>(vJ1.begin(), vJ1.begin() + nw), "vJ");
    expect_close(vJv, vJ1, "vJ_vec");
    // Storage-order flag clear: Jv[e*k + d], so this rank's terms are one contiguous block.
    expect_close(Jv, std::vector<double>(Jv1.begin() + s.first_term() * k, Jv1.begin() + (s.first_term() + s.terms()) * k),
                 "Jv");
    expect_close(res, std::vector<double>(res1.begin() + s.first_term(), res1.begin() + s.first_term() + s.terms()),
                 "res");

    // u_0.(J v_d) summed over the ranks against (U_0^T J).v_d.
    std::vector<double> uJv(k, 0.0);
    for (std::size_t e = 0; e < s.terms(); ++e)
        for (unsigned d = 0; d < k; ++d) uJv[d] += Ulocal[e] * Jv[e * k + d];
    MPI_Allreduce(MPI_IN_PLACE, uJv.data(), int(k), MPI_DOUBLE, MPI_SUM, MPI_COMM_WORLD);
    std::vector<double> vJdotv(k, 0.0);
    for (unsigned d = 0; d < k; ++d)
        for (unsigned i = 0; i < nw; ++i) vJdotv[d] += vJ[i] * V[std::size_t(i) * k + d];
    for (unsigned d = 0; d < k; ++d)
        EXPECT_NEAR(uJv[d], vJdotv[d], 1e-10 * (1 + std::fabs(vJdotv[d]))) << "direction " << d;
}

// The gathered results reduced in pieces of 7 values (a short last piece included) carry the
// same bits as in one piece: every value is summed over the ranks exactly once, in place. (Bits
// can be compared since the sum of two ranks' values does not depend on their order, and the
// test environment fixes Open MPI's order for three.)
TEST_P(Ranks, ReductionInPiecesGivesTheSameBits) {
    DataProblem& p = *problem_;
    const Split s(p, MPI_COMM_WORLD, GetParam().cut);
    const unsigned nout = p.net.nout(), nw = p.nw(), k = 3, m = 2;
    const std::vector<double> V = random_vector(std::size_t(k) * nw, 5);
    const std::vector<double> U = random_vector(std::size_t(m) * s.terms(), 6);
    auto gathered = [&] {
        std::vector<double> J(2), g(nw), Hv(std::size_t(k) * nw), g2(nw), vJ(std::size_t(m) * nw), res(s.terms());
        EXPECT_EQ(velt_mpi_g(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, s.X(), s.Y(), s.rows, p.C, nout, &J[0], g.data()),
                  0);
        EXPECT_EQ(velt_mpi_Hv(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, V.data(), k, s.X(), s.Y(), s.rows, p.C, nout,
                              &J[1], g2.data(), Hv.data()),
                  0);
        EXPECT_EQ(velt_mpi_vJ_vec(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, U.data(), m, s.X(), s.Y(), s.rows, p.C,
                                  nout, res.data(), vJ.data()),
                  0);
        for (auto const* v : {&g, &Hv, &g2, &vJ}) J.insert(J.end(), v->begin(), v->end());
        return J;
    };
    const std::vector<double> whole = gathered();
    ASSERT_NE((2 + nw) % 7, 0u) << "the gradient's buffer should end in a short piece";
    velt_mpi_testing_reduction_chunk(7);
    const std::vector<double> pieces = gathered();
    velt_mpi_testing_reduction_chunk(0);
    ASSERT_EQ(pieces.size(), whole.size());
    EXPECT_EQ(std::memcmp(pieces.data(), whole.data(), whole.size() * sizeof(double)), 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, Ranks, ::testing::ValuesIn(kCases));

// A sub-communicator: ranks sum over their own group only (the library never uses the world).
TEST(Communicator, GroupsReduceOverTheirOwnRows) {
    const int rank = world_rank();
    MPI_Comm group;
    MPI_Comm_split(MPI_COMM_WORLD, rank % 2, rank, &group);
    // Group c holds the rows of a problem seeded by c; its ranks cut them evenly.
    DataProblem p("3 1 3 1 16 3 8 8 softplus sum", 45, 3, 0.5, 30 + rank % 2);
    const Split s(p, group, Cut::kEven);
    double J1 = 0, J = 0;
    const std::vector<double> g1 = p.grad(p.w, &J1);
    std::vector<double> g(p.nw());
    EXPECT_EQ(velt_mpi_g(p.net.h, group, p.w.data(), p.nw(), s.X(), s.Y(), s.rows, p.C, 1, &J, g.data()), 0);
    expect_close({J}, {J1}, "J");
    expect_close(g, g1, "gradient");
    MPI_Comm_free(&group);
}

TEST(Communicator, NullCommunicatorIsRefusedWithoutACollective) {
    Net net("3 1 3 1 16 3 8 8 softplus sum");
    const std::vector<double> w(net.numel(), 0.1), X(3, 0.5), Y(1, 0.0);
    double J = 5.0;
    velt_set_message_handler([](void*, int, const char*) {}, nullptr);
    EXPECT_EQ(velt_mpi_obj(net.h, MPI_COMM_NULL, w.data(), net.numel(), X.data(), Y.data(), 1, 3, 1, &J), -1);
    velt_set_message_handler(nullptr, nullptr);
    EXPECT_EQ(J, 5.0);
    EXPECT_STREQ(velt_mpi_last_error(), "velt_mpi_obj: the communicator is MPI_COMM_NULL");
}

// ---- Failures ----------------------------------------------------------------------------

// Lines written through the message path during one call.
struct Lines {
    std::vector<std::string> written;
    static void add(void* user, int, const char* line) { static_cast<std::vector<std::string>*>(user)->push_back(line); }
    Lines() { velt_set_message_handler(&Lines::add, &written); }
    ~Lines() { velt_set_message_handler(nullptr, nullptr); }
};

// What one rank (or every rank) does wrong.
enum class Fault { kNanInX, kShortParameters, kOtherC, kNullHandleOnEmptyRank, kNoRowsAnywhere, kOtherK, kOtherOrder };

struct FailureCase {
    const char* name;
    Fault fault;
    int status;
    const char* message;   // expected in the common line
    bool from_one_rank;    // the line names the failing rank
};

const FailureCase kFailures[] = {
    {"nan", Fault::kNanInX, -2, "velt_g: floating-point exception: invalid operation: X holds NaN or infinity", true},
    {"short_parameters", Fault::kShortParameters, -1, "the parameter vector holds", true},
    {"other_C", Fault::kOtherC, -1, "the ranks pass different C (2 to 3)", false},
    {"null_handle_empty_rank", Fault::kNullHandleOnEmptyRank, -1, "velt_mpi_g: the handle is null", true},
    {"no_rows", Fault::kNoRowsAnywhere, -1, "velt_mpi_g: no rows on any rank", false},
    {"other_k", Fault::kOtherK, -1, "velt_mpi_Hv: the ranks pass different k (2 to 3)", false},
    {"other_order", Fault::kOtherOrder, -1, "the ranks pass different storage-order flags (0 to 1)", false},
};

class Failure : public ::testing::TestWithParam<FailureCase> {};

// The last rank does it wrong; every rank must return the same status and line, write no
// output, and the line must be written once on each rank.
TEST_P(Failure, EveryRankReturnsTheFailingRanksStatusAndMessage) {
    const FailureCase& fc = GetParam();
    const int rank = world_rank(), size = world_size(), bad = size - 1;
    if (size == 1 && (fc.fault == Fault::kOtherC || fc.fault == Fault::kOtherK || fc.fault == Fault::kOtherOrder))
        GTEST_SKIP() << "needs two ranks";
    DataProblem p("3 1 3 1 16 3 8 8 softplus sum", 40, 3, 0.5, 3);
    const Split s(p, MPI_COMM_WORLD, Cut::kEven);
    std::vector<double> X(s.X(), s.X() + std::size_t(s.rows) * p.C);
    void* h = p.net.h;
    unsigned npar = p.nw(), C = p.C, rows = s.rows, k = 2;
    if (rank == bad) {
        switch (fc.fault) {
        case Fault::kNanInX: X[1] = std::nan(""); break;
        case Fault::kShortParameters: npar -= 1; break;
        case Fault::kOtherC: C = 2; break;
        case Fault::kNullHandleOnEmptyRank: h = nullptr, rows = 0; break;
        case Fault::kOtherK: k = 3; break;
        case Fault::kOtherOrder: velt_major(nullptr, 1); break;
        default: break;
        }
    }
    if (fc.fault == Fault::kNoRowsAnywhere) rows = 0;

    const double t0 = MPI_Wtime();
    std::vector<double> g(p.nw(), -3.0), Hv(std::size_t(3) * p.nw(), -3.0), V = random_vector(Hv.size(), 4);
    double J = -3.0;
    int status;
    {
        Lines lines;
        if (fc.fault == Fault::kOtherK || fc.fault == Fault::kOtherOrder)
            status = velt_mpi_Hv(h, MPI_COMM_WORLD, p.w.data(), npar, V.data(), k, X.data(), s.Y(), rows, C, 1, &J,
                                 g.data(), Hv.data());
        else
            status = velt_mpi_g(h, MPI_COMM_WORLD, p.w.data(), npar, X.data(), s.Y(), rows, C, 1, &J, g.data());
        // One line on each rank: the library's own on the failing rank when it refused, this
        // layer's everywhere else.
        const bool library_wrote = rank == bad && (fc.fault == Fault::kNanInX || fc.fault == Fault::kShortParameters);
        ASSERT_EQ(lines.written.size(), 1u);
        if (!library_wrote) {
            EXPECT_EQ(lines.written[0], velt_mpi_last_error());
        }
    }
    velt_major(nullptr, 0);
    const double seconds = MPI_Wtime() - t0;

    EXPECT_EQ(status, fc.status);
    const std::string line = velt_mpi_last_error();
    EXPECT_NE(line.find(fc.message), std::string::npos) << line;
    if (fc.from_one_rank) {
        EXPECT_NE(line.find("rank " + std::to_string(bad) + " of " + std::to_string(size) + ": "), std::string::npos)
            << line;
    }
    EXPECT_EQ(J, -3.0);
    EXPECT_TRUE(std::all_of(g.begin(), g.end(), [](double x) { return x == -3.0; }));
    EXPECT_TRUE(std::all_of(Hv.begin(), Hv.end(), [](double x) { return x == -3.0; }));

    // The same line on every rank: compare with rank 0's.
    char first[1024] = {};
    line.copy(first, sizeof first - 1);
    MPI_Bcast(first, sizeof first, MPI_CHAR, 0, MPI_COMM_WORLD);
    EXPECT_EQ(line, std::string(first));
    // A hang is bounded by the test's time-out; this records how long agreeing took.
    RecordProperty("seconds", std::to_string(seconds));
}

INSTANTIATE_TEST_SUITE_P(OneRank, Failure, ::testing::ValuesIn(kFailures),
                         [](auto const& info) { return std::string(info.param.name); });

// Several failing ranks: the lowest one's status and message win everywhere.
// The new entry points agree on their sizes like the others: every rank returns -1 with the
// same line and leaves the gathered results (and res) unwritten.
TEST(Failures, GaussNewtonAndJacobianRefuseSizesThatDiffer) {
    const int rank = world_rank(), size = world_size();
    if (size < 2) GTEST_SKIP() << "needs two ranks";
    DataProblem p("3 1 3 1 16 3 8 8 softplus sum_sq", 40, 3, 0.5, 3);
    const Split s(p, MPI_COMM_WORLD, Cut::kEven);
    const unsigned nw = p.nw(), last = rank == size - 1;
    const std::vector<double> V = random_vector(std::size_t(3) * nw, 4);
    std::vector<double> g(nw, -3.0), G(std::size_t(3) * nw, -3.0), res(s.terms(), -3.0), Jac(s.terms() * nw);
    double J = -3.0;
    velt_set_message_handler([](void*, int, const char*) {}, nullptr);
    EXPECT_EQ(velt_mpi_GNv(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, V.data(), 2 + last, s.X(), s.Y(), s.rows, p.C, 1,
                           &J, g.data(), G.data()),
              -1);
    EXPECT_STREQ(velt_mpi_last_error(), "velt_mpi_GNv: the ranks pass different k (2 to 3)");
    EXPECT_EQ(velt_mpi_jacobian(p.net.h, MPI_COMM_WORLD, p.w.data(), nw, s.X(), s.Y(), s.rows, p.C - last, 1,
                                res.data(), Jac.data()),
              -1);
    EXPECT_STREQ(velt_mpi_last_error(), "velt_mpi_jacobian: the ranks pass different nin (2 to 3)");
    velt_set_message_handler(nullptr, nullptr);
    EXPECT_EQ(J, -3.0);
    for (double x : g) ASSERT_EQ(x, -3.0);
    for (double x : G) ASSERT_EQ(x, -3.0);
    for (double x : res) ASSERT_EQ(x, -3.0);
}

TEST(Failures, LowestFailingRankWins) {
    const int rank = world_rank(), size = world_size();
    if (size < 3) GTEST_SKIP() << "needs three ranks";
    DataProblem p("3 1 3 1 16 3 8 8 softplus sum", 30, 3, 0.5, 3);
    const Split s(p, MPI_COMM_WORLD, Cut::kEven);
    std::vector<double> Y(s.Y(), s.Y() + s.rows);
    unsigned npar = p.nw();
    if (rank == 1) Y[0] = INFINITY;  // -2 from rank 1
    if (rank == 2) npar = 1;         // -1 from rank 2
    double J = 0;
    Lines quiet;
    EXPECT_EQ(velt_mpi_obj(p.net.h, MPI_COMM_WORLD, p.w.data(), npar, s.X(), Y.data(), s.rows, p.C, 1, &J), -2);
    EXPECT_NE(std::string(velt_mpi_last_error()).find("rank 1 of"), std::string::npos) << velt_mpi_last_error();
    EXPECT_NE(std::string(velt_mpi_last_error()).find("Y holds NaN or infinity"), std::string::npos);
}

// Prints the failures of ranks other than 0, whose default output is turned off.
class RankFailures : public ::testing::EmptyTestEventListener {
public:
    explicit RankFailures(int rank) : rank_(rank) {}
    void OnTestPartResult(::testing::TestPartResult const& r) override {
        if (r.failed())
            std::fprintf(stderr, "rank %d: %s:%d: %s\n", rank_, r.file_name() ? r.file_name() : "?", r.line_number(),
                         r.summary());
    }

private:
    int rank_;
};

}  // namespace

int main(int argc, char** argv) {
    MPI_Init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int rank = world_rank();
    if (rank != 0) {
        auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
        delete listeners.Release(listeners.default_result_printer());
        listeners.Append(new RankFailures(rank));
    }
    int failed = RUN_ALL_TESTS() != 0;
    MPI_Allreduce(MPI_IN_PLACE, &failed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Finalize();
    return failed;
}

// A small generated regression fitted with "sum_sq" through the C interface alone, by a damped
// Newton loop (Levenberg-Marquardt damping of the exact Hessian from velt_Hv) written here. It
// must converge: the gradient falls below 1e-8 of its first norm. The same loop on the "sum"
// norm, which has no minimum, never gets there.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "support/net.h"
#include "veltn.h"

namespace {

using Vector = std::vector<double>;

double norm2(Vector const& v) {
    double s = 0;
    for (double x : v) s += x * x;
    return std::sqrt(s);
}

// Solves (H + lambda I) p = -g by Cholesky; false when the matrix is not positive definite.
bool damped_step(Vector const& H, Vector const& g, double lambda, Vector& p) {
    const std::size_t n = g.size();
    Vector L(n * n, 0.0);
    for (std::size_t j = 0; j < n; ++j) {
        double d = H[j * n + j] + lambda;
        for (std::size_t k = 0; k < j; ++k) d -= L[j * n + k] * L[j * n + k];
        if (!(d > 0)) return false;
        L[j * n + j] = std::sqrt(d);
        for (std::size_t i = j + 1; i < n; ++i) {
            double s = 0.5 * (H[i * n + j] + H[j * n + i]);
            for (std::size_t k = 0; k < j; ++k) s -= L[i * n + k] * L[j * n + k];
            L[i * n + j] = s / L[j * n + j];
        }
    }
    Vector y(n);
    for (std::size_t i = 0; i < n; ++i) {
        double s = -g[i];
        for (std::size_t k = 0; k < i; ++k) s -= L[i * n + k] * y[k];
        y[i] = s / L[i * n + i];
    }
    p.assign(n, 0.0);
    for (std::size_t i = n; i-- > 0;) {
        double s = y[i];
        for (std::size_t k = i + 1; k < n; ++k) s -= L[k * n + i] * p[k];
        p[i] = s / L[i * n + i];
    }
    return true;
}

struct Fit {
    int iterations = 0;
    double first_gradient = 0, last_gradient = 0, objective = 0;
    bool failed_call = false;
};

// Minimises the objective of `description` on (X, Y) from w.
Fit newton(std::string const& description, Vector const& X, Vector const& Y, unsigned R, unsigned C, Vector w,
           int max_iterations) {
    Fit fit;
    Net net(description);
    const unsigned n = net.numel();
    // The identity as directions: velt_Hv returns the full Hessian.
    Vector I(std::size_t(n) * n, 0.0), H(std::size_t(n) * n), g(n), gt(n);
    for (unsigned i = 0; i < n; ++i) I[i * n + i] = 1.0;
    double lambda = 1e-3;
    for (fit.iterations = 0; fit.iterations < max_iterations; ++fit.iterations) {
        double J = 0;
        if (velt_Hv(net.h, w.data(), n, I.data(), n, X.data(), Y.data(), R, C, 1, &J, g.data(), H.data()) != 0) {
            fit.failed_call = true;
            return fit;
        }
        fit.objective = J;
        fit.last_gradient = norm2(g);
        if (fit.iterations == 0) fit.first_gradient = fit.last_gradient;
        if (fit.last_gradient <= 1e-8 * fit.first_gradient) return fit;
        // Raise the damping until the step lowers the objective (or, at the rounding level of
        // the objective, at least the gradient).
        for (int tries = 0; tries < 60; ++tries) {
            Vector p;
            if (damped_step(H, g, lambda, p)) {
                Vector trial = w;
                for (unsigned i = 0; i < n; ++i) trial[i] += p[i];
                double Jt = 0;
                if (velt_g(net.h, trial.data(), n, X.data(), Y.data(), R, C, 1, &Jt, gt.data()) != 0) {
                    fit.failed_call = true;
                    return fit;
                }
                const bool lower = Jt < J;
                const bool level = Jt <= J * (1 + 1e-13) && norm2(gt) < fit.last_gradient;
                if (lower || level) {
                    w = trial;
                    lambda = std::fmax(lambda * 0.1, 1e-15);
                    break;
                }
            }
            lambda *= 10;
        }
    }
    return fit;
}

}  // namespace

TEST(NewtonFit, SumSqRegressionConvergesToAStationaryPoint) {
    // Targets from a network of the same shape plus noise; the fit starts elsewhere.
    const std::string description = "3 1 2 1 16 3 2 atan sum_sq";
    const unsigned R = 200, C = 3;
    const Vector X = random_vector(R * C, 301);
    Net truth(description);
    const unsigned n = truth.numel();
    ASSERT_EQ(n, 11u);
    const Vector w_true = random_vector(n, 302, 1.0);
    Vector Y(R);
    ASSERT_EQ(velt_compute(truth.h, w_true.data(), n, X.data(), R, C, 0, Y.data()), 0);
    const Vector noise = random_vector(R, 303, 0.01);
    for (unsigned i = 0; i < R; ++i) Y[i] += noise[i];
    Vector w0 = w_true;
    const Vector shift = random_vector(n, 304, 0.2);
    for (unsigned i = 0; i < n; ++i) w0[i] += shift[i];

    const Fit fit = newton(description, X, Y, R, C, w0, 100);
    ASSERT_FALSE(fit.failed_call) << velt_last_error();
    EXPECT_LE(fit.last_gradient, 1e-8 * fit.first_gradient)
        << "after " << fit.iterations << " iterations, objective " << fit.objective;
    // Newton's method with an exact Hessian ends quadratically: a handful of iterations.
    EXPECT_LE(fit.iterations, 15);
    // Half the mean squared error at the minimum is about the noise's: 0.5 * 0.01^2 = 5e-5.
    EXPECT_LT(fit.objective, 1e-4);
    EXPECT_GT(fit.first_gradient, 1e-3);
}

TEST(NewtonFit, TheSumNormHasNoStationaryPointToReach) {
    // The same loop on the signed mean of the residuals: its gradient never vanishes with an id
    // output, so the loop runs out of iterations (or damping) instead of converging.
    const std::string description = "2 1 2 1 16 2 1 id sum";
    const unsigned R = 20, C = 2;
    const Vector X = random_vector(R * C, 311), Y = random_vector(R, 312);
    const Fit fit = newton(description, X, Y, R, C, random_vector(5, 313, 0.5), 20);
    ASSERT_FALSE(fit.failed_call) << velt_last_error();
    EXPECT_GT(fit.last_gradient, 1e-8 * fit.first_gradient);
}

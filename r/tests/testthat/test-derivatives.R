# Derivatives against numDeriv's Richardson differences and against each other.

deriv_cases <- list(
  list(desc = "3 2 3 1 32 3 4 4 atan sum_log_dnorm_fat", rows = 7L),
  list(desc = "2 1 3 1 32 2 4 3 softplus sum", rows = 5L),
  list(desc = "2 2 2 1 32 2 3 softplus_shifted sum_log_dnorm_fat", rows = 3L)
)

rel_err <- function(a, b) max(abs(a - b)) / max(1, max(abs(b)))

for (case in deriv_cases) {
  net <- veltn_network(case$desc)
  n <- veltn_n_params(net)
  p <- params_for(net)
  d <- make_data(net, case$rows, seed = 11)
  set.seed(12)
  V <- matrix(rnorm(n * 3), n, 3)
  objective <- function(q) veltn_objective(net, q, d$X, d$Y)
  gradient <- function(q) veltn_gradient(net, q, d$X, d$Y)$gradient
  terms <- function(q) as.vector(veltn_terms(net, q, d$X, d$Y))

  test_that(paste("gradient and Hessian against numDeriv:", case$desc), {
    g <- veltn_gradient(net, p, d$X, d$Y)
    expect_equal(g$value, objective(p), tolerance = tol_exact)
    expect_lt(rel_err(g$gradient, numDeriv::grad(objective, p)), tol_fd)
    Hfd <- numDeriv::jacobian(gradient, p)
    H <- veltn_hessian(net, p, d$X, d$Y)
    expect_identical(dim(H), c(n, n))
    expect_lt(rel_err(H, Hfd), tol_fd)
    expect_lt(rel_err(H, t(H)), 1e-10)
  })

  test_that(paste("hvp against numDeriv, k directions equal k single ones:", case$desc), {
    Hfd <- numDeriv::jacobian(gradient, p)
    Hv <- veltn_hvp(net, p, V, d$X, d$Y)
    expect_identical(dim(Hv), c(n, 3L))
    expect_lt(rel_err(Hv, Hfd %*% V), tol_fd)
    for (j in 1:3) expect_equal(veltn_hvp(net, p, V[, j], d$X, d$Y), Hv[, j], tolerance = tol_exact)
    # symmetry u.(Hv) = v.(Hu), linearity
    expect_equal(sum(V[, 1] * Hv[, 2]), sum(V[, 2] * Hv[, 1]), tolerance = 1e-10)
    expect_equal(veltn_hvp(net, p, 2 * V[, 1] - V[, 3], d$X, d$Y), 2 * Hv[, 1] - Hv[, 3], tolerance = 1e-10)
  })

  test_that(paste("jvp against numDeriv and vjp by the adjoint identity:", case$desc), {
    Jfd <- numDeriv::jacobian(terms, p)
    nout <- veltn_n_outputs(net)
    Jv <- veltn_jvp(net, p, V, d$X, d$Y)
    expect_identical(dim(Jv), c(case$rows, nout, 3L))
    expect_lt(rel_err(matrix(Jv, ncol = 3), Jfd %*% V), tol_fd)
    one <- veltn_jvp(net, p, V[, 2], d$X, d$Y)
    expect_identical(dim(one), c(case$rows, nout))
    expect_equal(one, array(Jv[, , 2], dim(one)), tolerance = tol_exact)
    set.seed(13)
    U <- array(rnorm(case$rows * nout * 2), c(case$rows, nout, 2))
    vJ <- veltn_vjp(net, p, U, d$X, d$Y)
    expect_identical(dim(vJ), c(n, 2L))
    for (m in 1:2) {
      u <- U[, , m, drop = FALSE]
      dim(u) <- dim(u)[1:2]
      single <- veltn_vjp(net, p, u, d$X, d$Y)
      expect_equal(single, vJ[, m], tolerance = tol_exact)
      for (j in 1:3) expect_equal(sum(single * V[, j]), sum(u * Jv[, , j]), tolerance = 1e-10)
    }
    expect_lt(rel_err(vJ, t(Jfd) %*% matrix(U, ncol = 2)), tol_fd)
  })

  test_that(paste("problem closures give the direct results and keep no stale point:", case$desc), {
    prob <- veltn_problem(net, d$X, d$Y)
    q <- p + 0.05
    expect_equal(prob$fn(p), objective(p))
    expect_equal(prob$gr(q), gradient(q))   # after fn at another point
    expect_equal(prob$fn(q), objective(q))
    expect_equal(prob$gr(p), gradient(p))
    fg <- prob$fg(q)
    expect_equal(as.vector(fg), objective(q))
    expect_equal(attr(fg, "gradient"), gradient(q))
    expect_equal(prob$hessian(p), veltn_hessian(net, p, d$X, d$Y))
    expect_equal(prob$hvp(p, V), veltn_hvp(net, p, V, d$X, d$Y))
    expect_equal(prob$hvp(q, V[, 1]), veltn_hvp(net, q, V[, 1], d$X, d$Y))
  })
}

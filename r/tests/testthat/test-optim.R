# Fitting a small generated regression with nlminb (gradient and Hessian), optim and nlm. The
# data come from a network of the same shape plus noise, so the fit is well posed.

fit_case <- function(norm) {
  desc <- paste("2 1 2 1 32 2 2 atan", norm)
  net <- veltn_network(desc)
  n <- veltn_n_params(net)
  set.seed(31)
  X <- matrix(runif(200, -2, 2), 100, 2)
  truth <- 0.9 * sin(1:n)
  y <- ref_outputs(desc, truth, X)[, 1] + 0.02 * rnorm(100)
  prob <- veltn_problem(net, X, y)
  start <- truth + 0.2 * cos(1:n)
  list(net = net, prob = prob, start = start, X = X, y = y, g0 = sqrt(sum(prob$gr(start)^2)))
}

grad_norm <- function(f, par) sqrt(sum(f$prob$gr(par)^2))

expect_nlminb_converges <- function(f) {
  fit <- nlminb(f$start, f$prob$fn, f$prob$gr, f$prob$hessian)
  expect_identical(fit$convergence, 0L, info = fit$message)
  expect_lt(fit$iterations, 30L)
  expect_lt(grad_norm(f, fit$par), 1e-8 * f$g0)
  expect_lt(fit$objective, f$prob$fn(f$start))
  fit
}

test_that("nlminb with gradient and Hessian converges on sum_sq", {
  skip_if_not(norm_known("sum_sq"), "the installed libveltn does not know the norm sum_sq yet")
  f <- fit_case("sum_sq")
  r <- veltn_residuals(f$net, f$start, f$X, f$y)
  expect_equal(veltn_terms(f$net, f$start, f$X, f$y), r^2 / 2, tolerance = 1e-12)
  fit <- expect_nlminb_converges(f)
  # what is left is the noise (standard deviation 0.02)
  expect_lt(sqrt(2 * fit$objective), 0.025)
})

test_that("nlminb with gradient and Hessian converges on sum_log_dnorm_fat", {
  f <- fit_case("sum_log_dnorm_fat")
  fit <- expect_nlminb_converges(f)
  # inside the normal core the terms are 4.5 r^2: the noise again
  expect_lt(sqrt(fit$objective / 4.5), 0.025)
})

test_that("optim BFGS and nlm reach the same minimum on sum_log_dnorm_fat", {
  f <- fit_case("sum_log_dnorm_fat")
  best <- nlminb(f$start, f$prob$fn, f$prob$gr, f$prob$hessian)
  fit <- optim(f$start, f$prob$fn, f$prob$gr, method = "BFGS", control = list(maxit = 1000, reltol = 1e-14))
  expect_identical(fit$convergence, 0L)
  expect_lt(grad_norm(f, fit$par), 1e-6 * f$g0)
  expect_equal(fit$par, best$par, tolerance = 1e-5)
  fit <- nlm(f$prob$fg, f$start, gradtol = 1e-10, iterlim = 500)
  expect_lte(fit$code, 2L)
  expect_lt(grad_norm(f, fit$estimate), 1e-6 * f$g0)
  expect_equal(fit$estimate, best$par, tolerance = 1e-5)
})

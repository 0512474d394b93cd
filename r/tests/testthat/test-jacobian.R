# The Jacobian, Gauss-Newton products and covariances: against the Python package's values on the
# same data (python-values.R, written by python-values.py; matrices times W there), against R's sandwich package on an
# nls fit, and their layouts against the products.

test_that("jacobian, gnvp and covariances equal the Python package's", {
  source(test_path("python-values.R"), local = TRUE)
  py <- python_values
  E <- 2L * nrow(py$X)
  to_r_rows <- as.vector(t(matrix(seq_len(E), 2L)))  # Python's row 2 i + o is R's i + o R
  for (norm in c("pseudo_huber", "sq")) {
    net <- veltn_network(sprintf(py$description, paste0("sum_", norm)))
    at <- function(name) py[[paste0(name, "_", norm)]]
    expect_equal(veltn_jacobian(net, py$p, py$X, py$Y) %*% py$W, at("jacobian")[to_r_rows, ], tolerance = 1e-12)
    expect_equal(veltn_gnvp(net, py$p, py$V, py$X, py$Y), at("gnvp"), tolerance = 1e-12)
    # p is not a minimum: H may be indefinite (a warning), the values are defined all the same
    args <- list(list(), list(bread = "gauss_newton", hc = "HC1"), list(cluster = py$cluster), list("hessian"),
                 list("gauss_newton"))
    for (j in seq_along(args)) {
      cov <- suppressWarnings(do.call(veltn_covariance, c(list(net, py$p, py$X, py$Y), args[[j]])))
      expect_equal(cov %*% py$W, at(c("sandwich", "sandwich_gn_hc1", "cluster", "hessian", "gauss_newton")[j]),
                   tolerance = 1e-9)
    }
  }
})

test_that("the Gauss-Newton sandwich equals sandwich() and vcovCL() of an nls fit of the same network", {
  skip_if_not_installed("sandwich")
  x <- seq(-2, 2, length.out = 60)
  y <- atan(-0.2 + 1.2 * atan(0.3 + 1.5 * x)) + 0.05 * sin(17 * x)
  # one hidden unit: parameters b0, w0 (layer 0), b1, w1 (layer 1), in the library's order
  fit <- nls(y ~ atan(b1 + w1 * atan(b0 + w0 * x)), data = data.frame(x = x, y = y),
             start = list(b0 = 0.2, w0 = 1.2, b1 = 0, w1 = 1))
  net <- veltn_network("1 1 2 1 32 1 1 atan sum_sq")
  p <- unname(coef(fit))
  cl <- rep(1:6, each = 10)
  strip <- function(m) unname(unclass(m))
  expect_equal(veltn_covariance(net, p, x, y, bread = "gauss_newton"), strip(sandwich::sandwich(fit)),
               tolerance = 1e-6)
  expect_equal(veltn_covariance(net, p, x, y, bread = "gauss_newton", cluster = cl, hc = "HC1"),
               strip(sandwich::vcovCL(fit, cluster = cl, type = "HC1")), tolerance = 1e-6)
  expect_equal(veltn_covariance(net, p, x, y, "gauss_newton"), strip(vcov(fit)), tolerance = 1e-6)
})

test_that("the problem's least-squares pair is in one order, and warns off the norm sum", {
  net <- veltn_network("3 2 3 1 32 3 4 4 atan sum")
  d <- make_data(net, 5L, seed = 21)
  p <- params_for(net)
  prob <- veltn_problem(net, d$X, d$Y)
  V <- matrix(cos(seq_len(veltn_n_params(net) * 2)), ncol = 2)
  expect_equal(prob$residuals(p), as.vector(veltn_residuals(net, p, d$X, d$Y)), tolerance = 1e-14)
  expect_equal(prob$jacobian(p) %*% V, matrix(veltn_jvp(net, p, V, d$X, d$Y), ncol = 2), tolerance = 1e-12)
  expect_equal(prob$gnvp(p, V), veltn_gnvp(net, p, V, d$X, d$Y))
  sq <- veltn_problem(veltn_network("3 2 3 1 32 3 4 4 atan sum_sq"), d$X, d$Y)
  expect_warning(sq$jacobian(p), "norm \"sum\"")
  expect_no_warning(sq$residuals(p))
})

test_that("covariance refusals are conditions of their own class", {
  net <- veltn_network("3 2 3 1 32 3 4 4 atan sum_sq")
  d <- make_data(net, 20L, seed = 22)
  p <- params_for(net)
  expect_error(veltn_covariance(net, p, d$X, d$Y, hc = "HC1"), "HC1 needs more than n_params = 46 rows, got 20",
               class = "veltn_covariance_error")
  expect_error(veltn_covariance(net, p, d$X, d$Y, cluster = rep(1, 20), hc = "HC0"), "at least 2 clusters",
               class = "veltn_covariance_error")
  expect_error(veltn_covariance(veltn_network("3 2 3 1 32 3 4 4 atan sum"), p, d$X, d$Y, "gauss_newton"),
               "Gauss-Newton matrix E\\*G is singular", class = "veltn_covariance_error")
  expect_error(veltn_covariance(net, p, d$X, d$Y, kind = "robust"), class = "veltn_argument_error")
})

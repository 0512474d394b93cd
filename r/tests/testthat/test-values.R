# Values against the R forward pass, on shapes where a column-major reading would go wrong.

nets <- list(
  list(desc = "2 1 3 1 32 2 4 4 softplus sum", rows = 7L, cols = 2L),
  list(desc = "3 2 2 1 32 3 5 atan sum", rows = 5L, cols = 3L),
  list(desc = "3 2 3 1 32 3 4 4 id sum", rows = 6L, cols = 2L) # fewer columns than inputs
)

test_that("outputs, residuals, terms and objective agree with the R forward pass", {
  for (case in nets) {
    net <- veltn_network(case$desc)
    p <- params_for(net)
    d <- make_data(net, case$rows, seed = 1, cols = case$cols)
    F <- ref_outputs(case$desc, p, d$X)
    expect_equal(veltn_outputs(net, p, d$X), F, tolerance = tol_exact, info = case$desc)
    expect_equal(veltn_residuals(net, p, d$X, d$Y), F - d$Y, tolerance = tol_exact, info = case$desc)
    expect_equal(veltn_terms(net, p, d$X, d$Y), F - d$Y, tolerance = tol_exact, info = case$desc)
    expect_equal(veltn_objective(net, p, d$X, d$Y), mean(F - d$Y), tolerance = tol_exact, info = case$desc)
  }
})

test_that("a non-square X is read by rows: its column-major reading would give other outputs", {
  desc <- "2 1 2 1 32 2 3 softplus sum"
  net <- veltn_network(desc)
  p <- params_for(net)
  X <- rbind(c(0.9, -0.4), c(0.1, 0.7), c(-0.8, 0.3), c(0.5, 0.5), c(-0.2, -0.9))
  misread <- matrix(as.vector(X), nrow(X), 2, byrow = TRUE)
  expect_gt(max(abs(ref_outputs(desc, p, misread) - ref_outputs(desc, p, X))), 1e-3)
  expect_equal(veltn_outputs(net, p, X), ref_outputs(desc, p, X), tolerance = tol_exact)
  # a data frame is its matrix
  expect_equal(veltn_outputs(net, p, as.data.frame(X)), veltn_outputs(net, p, X))
})

test_that("Y with several outputs is read by rows", {
  desc <- "3 2 2 1 32 3 4 softplus sum"
  net <- veltn_network(desc)
  p <- params_for(net)
  d <- make_data(net, 5, seed = 2)
  Y <- matrix(1:10 / 10, 5, 2)
  expect_equal(veltn_residuals(net, p, d$X, Y), ref_outputs(desc, p, d$X) - Y, tolerance = tol_exact)
})

test_that("sum_log_dnorm_fat terms are 4.5 r^2 inside the normal core", {
  desc <- "3 2 2 1 32 3 4 atan sum_log_dnorm_fat"
  net <- veltn_network(desc)
  p <- params_for(net)
  d <- make_data(net, 6, seed = 3)
  r <- ref_outputs(desc, p, d$X) - d$Y
  stopifnot(all(abs(r) < 2))
  expect_equal(veltn_terms(net, p, d$X, d$Y), 4.5 * r^2, tolerance = 1e-10)
  expect_equal(veltn_objective(net, p, d$X, d$Y), mean(4.5 * r^2), tolerance = 1e-10)
})

test_that("vectors are one column when the network has one input or one output", {
  net <- veltn_network("1 1 3 1 32 1 3 3 atan sum_log_dnorm_fat")
  p <- params_for(net)
  x <- seq(-1, 1, length.out = 9); y <- cos(x)
  expect_equal(veltn_outputs(net, p, x), veltn_outputs(net, p, matrix(x)))
  expect_equal(veltn_objective(net, p, x, y), veltn_objective(net, p, matrix(x), matrix(y)))
  expect_equal(veltn_gradient(net, p, x, y), veltn_gradient(net, p, matrix(x), matrix(y)))
  expect_identical(dim(veltn_outputs(net, p, x)), c(9L, 1L))
  # integers and logicals are numbers
  expect_equal(veltn_outputs(net, p, 1:3), veltn_outputs(net, p, c(1, 2, 3)))
})

test_that("threads and batches give the single-block objective and gradient", {
  desc <- "3 2 3 1 32 3 6 6 softplus sum_log_dnorm_fat"
  one <- veltn_network(desc)
  two <- veltn_network(desc, threads = 2, batch = 4)
  expect_identical(c(two$threads, two$batch), c(2L, 4L))
  p <- params_for(one)
  d <- make_data(one, 37, seed = 4)
  expect_equal(veltn_objective(two, p, d$X, d$Y), veltn_objective(one, p, d$X, d$Y), tolerance = tol_exact)
  expect_equal(veltn_gradient(two, p, d$X, d$Y), veltn_gradient(one, p, d$X, d$Y), tolerance = tol_exact)
})

test_that("sizes, description and printing", {
  net <- veltn_network("3 1 3 1 16 3 8 8 softplus sum")
  expect_identical(c(veltn_n_params(net), veltn_n_inputs(net), veltn_n_outputs(net)), c(113L, 3L, 1L))
  expect_identical(veltn_description(net), "3 1 3 1 16 3 8 8 softplus sum")
  expect_output(print(net), "113 parameters, 3 inputs, 1 output")
  v <- veltn_version()
  expect_identical(names(v), c("library", "headers"))
  expect_match(v[["library"]], "^[0-9]+\\.[0-9]+\\.[0-9]+$")
})

# A description whose numin exceeds s_0: the package takes at most s_0 columns.

test_that("veltn_n_inputs is the number of columns a call takes, min(numin, s_0)", {
  cases <- list(list(desc = "5 1 3 1 16 3 8 8 softplus sum", cols = 3L),
                list(desc = "3 1 3 1 16 5 8 8 softplus sum", cols = 3L),
                list(desc = "4294967295 1 2 1 1 2 1 id sum", cols = 2L))
  for (case in cases) {
    net <- suppressMessages(veltn_network(case$desc))
    expect_identical(veltn_n_inputs(net), case$cols, info = case$desc)
    p <- rep(0.1, veltn_n_params(net))
    expect_equal(dim(veltn_outputs(net, p, matrix(1, 2, case$cols))), c(2L, 1L), info = case$desc)
    expect_error(veltn_outputs(net, p, matrix(1, 2, case$cols + 1L)), class = "veltn_argument_error",
                 info = case$desc)
  }
})

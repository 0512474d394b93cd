test_that("veltn_n_inputs is min(numin, s_0), the columns a call takes", {
  for (case in list(list("5 1 3 1 16 3 8 8 softplus sum", 3L), list("3 1 3 1 16 5 8 8 softplus sum", 3L),
                    list("4294967295 1 2 1 1 2 1 id sum", 2L))) {
    net <- suppressMessages(veltn_network(case[[1]]))
    expect_identical(veltn_n_inputs(net), case[[2]], info = case[[1]])
    p <- rep(0.1, veltn_n_params(net))
    expect_equal(dim(veltn_outputs(net, p, matrix(1, 2, case[[2]]))), c(2L, 1L))
    expect_error(veltn_outputs(net, p, matrix(1, 2, case[[2]] + 1L)), class = "veltn_argument_error")
  }
})

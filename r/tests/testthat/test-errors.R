# Checks at the edge, library conditions and the message path.

net <- veltn_network("2 2 3 1 32 2 3 3 softplus sum_log_dnorm_fat")
n <- veltn_n_params(net)
p <- params_for(net)
d <- make_data(net, 5, seed = 21)

test_that("wrong shapes name the argument and both shapes before the library is called", {
  cases <- list(
    list(quote(veltn_objective(net, p[-1], d$X, d$Y)),
         sprintf("params: got a vector of length %d, expected a vector of length %d", n - 1, n)),
    list(quote(veltn_outputs(net, p, cbind(d$X, 1))), "X: got 5 x 3, expected 5 x C with 1 <= C <= 2"),
    list(quote(veltn_outputs(net, p, d$X[, 1])), "X: got a vector of length 5, expected a 5 x C matrix with C <= 2"),
    list(quote(veltn_residuals(net, p, d$X, d$Y[-1, ])), "Y: got 4 x 2, expected 5 x 2"),
    list(quote(veltn_objective(net, p, d$X, t(d$Y))), "Y: got 2 x 5, expected 5 x 2"),
    list(quote(veltn_terms(net, p, d$X, as.vector(d$Y))), "Y: got a vector of length 10, expected 5 x 2"),
    list(quote(veltn_hvp(net, p, p[-1], d$X, d$Y)),
         sprintf("V: got a vector of length %d, expected a vector of length %d or a %d x k matrix", n - 1, n, n)),
    list(quote(veltn_jvp(net, p, matrix(0, n + 1, 2), d$X, d$Y)), sprintf("V: got %d x 2, expected %d x k", n + 1, n)),
    list(quote(veltn_gnvp(net, p, matrix(0, n - 1, 2), d$X, d$Y)), sprintf("V: got %d x 2, expected %d x k", n - 1, n)),
    list(quote(veltn_jacobian(net, p, d$X, d$Y[, 1])), "Y: got a vector of length 5, expected 5 x 2"),
    list(quote(veltn_vjp(net, p, d$Y[, 1], d$X, d$Y)), "U: got a vector of length 5, expected 5 x 2"),
    list(quote(veltn_vjp(net, p, array(0, c(5, 1, 2)), d$X, d$Y)), "U: got 5 x 1 x 2, expected 5 x 2"),
    list(quote(veltn_gradient(net, p, d$X[0, ], d$Y[0, ])), "X: got 0 x 2, expected at least 1 row"),
    list(quote(veltn_outputs(net, p, letters[1:4])), "X: expected numeric values, got character"),
    list(quote(veltn_outputs(net, p, d$X + 0i)), "X: expected numeric values, got complex"),
    list(quote(veltn_gradient(net, complex(real = p), d$X, d$Y)), "params: expected numeric values, got complex"),
    list(quote(veltn_vjp(net, p, d$Y + 1i, d$X, d$Y)), "U: expected numeric values, got complex"),
    list(quote(veltn_objective(list(), p, d$X, d$Y)), "net: expected a veltn_network"),
    list(quote(veltn_network("2 1 2 1 32 2 3 id sum", threads = 0)), "threads: expected one whole number from 1"),
    list(quote(veltn_problem(net, d$X, d$Y[1:4, ])$fn(p)), "Y: got 4 x 2, expected 5 x 2"),
    list(quote(veltn_problem(net, d$X, d$Y)$gr(p[1:3])), sprintf("par: got a vector of length 3, expected a vector of length %d", n))
  )
  for (case in cases)
    expect_error(eval(case[[1]]), case[[2]], fixed = TRUE, class = "veltn_argument_error",
                 info = deparse(case[[1]]))
})

test_that("a floating-point event is a veltn_fpe at every entry point, with the library's message", {
  Xbad <- d$X
  Xbad[2, 1] <- Inf
  V <- matrix(1, n, 2)
  calls <- list(
    objective = function() veltn_objective(net, p, Xbad, d$Y),
    gradient = function() veltn_gradient(net, p, Xbad, d$Y),
    hvp = function() veltn_hvp(net, p, V, Xbad, d$Y),
    hessian = function() veltn_hessian(net, p, Xbad, d$Y),
    jvp = function() veltn_jvp(net, p, V, Xbad, d$Y),
    gnvp = function() veltn_gnvp(net, p, V, Xbad, d$Y),
    jacobian = function() veltn_jacobian(net, p, Xbad, d$Y),
    vjp = function() veltn_vjp(net, p, d$Y, Xbad, d$Y),
    terms = function() veltn_terms(net, p, Xbad, d$Y),
    outputs = function() veltn_outputs(net, p, Xbad)
  )
  for (name in names(calls)) {
    e <- tryCatch(calls[[name]](), error = identity)
    expect_identical(class(e), c("veltn_fpe", "veltn_error", "error", "condition"), info = name)
    expect_identical(e$status, -2L, info = name)
    expect_match(conditionMessage(e), "^velt_[A-Za-z_]+: floating-point exception: .*infinity", info = name)
  }
  # the network is still usable
  expect_equal(veltn_outputs(net, p, d$X), ref_outputs(net$description, p, d$X), tolerance = tol_exact)
})

test_that("a description or norm the library refuses is a veltn_error, not a veltn_fpe", {
  e <- tryCatch(suppressMessages(veltn_network("2 1 x")), error = identity)
  expect_identical(class(e), c("veltn_error", "error", "condition"))
  # R prints "Error" itself: the library's "Error: " tag is not repeated in the message
  expect_match(conditionMessage(e), "^invalid network data: field 3 \\(nlayers\\)")
  odd <- suppressMessages(veltn_network("2 1 2 1 32 2 3 id nonorm"))
  x <- matrix(0.5, 3, 2)
  expect_identical(dim(veltn_outputs(odd, rep(0.1, veltn_n_params(odd)), x)), c(3L, 1L))
  e <- tryCatch(veltn_gradient(odd, rep(0.1, veltn_n_params(odd)), x, 1:3), error = identity)
  expect_identical(class(e), c("veltn_error", "error", "condition"))
  expect_identical(e$status, -1L)
  expect_match(conditionMessage(e), "nonorm")
})

test_that("a network that went through serialize() is refused, not used", {
  copy <- unserialize(serialize(net, NULL))
  expect_error(veltn_outputs(copy, p, d$X), "not valid")
})

test_that("library lines arrive as veltn_message conditions and suppressMessages silences them", {
  got <- list()
  withCallingHandlers(veltn_network("2 1 2 1 32 2 3 id nonorm"), message = function(m) {
    got[[length(got) + 1L]] <<- m
    invokeRestart("muffleMessage")
  })
  expect_length(got, 1L)
  for (m in got) {
    expect_s3_class(m, c("veltn_message", "message", "condition"), exact = TRUE)
    expect_match(conditionMessage(m), "^invalid norm function name: nonorm \\(known: .*\n$")
  }
  m <- tryCatch(veltn_network("2 1 2 1 32 2 3 id nonorm"), message = identity)
  expect_identical(m$stream, 1L)
  expect_silent(suppressMessages(veltn_network("2 1 2 1 32 2 3 id nonorm")))
  # a failing call's own line is its error, not also a message; no line is left for the next call
  seen <- character()
  collect <- function(m) {
    seen <<- c(seen, conditionMessage(m))
    invokeRestart("muffleMessage")
  }
  Xbad <- d$X
  Xbad[1, 1] <- NaN
  withCallingHandlers({
    expect_error(veltn_objective(net, p, Xbad, d$Y), class = "veltn_fpe")
    veltn_objective(net, p, d$X, d$Y)
  }, message = collect)
  expect_identical(seen, character())
})

test_that("no library line reaches the process's streams directly", {
  rscript <- file.path(R.home("bin"), "Rscript")
  code <- paste(
    "library(veltn); n <- 0L",
    "invisible(withCallingHandlers({",
    "  net <- veltn_network('2 1 2 1 32 2 3 atan sum')",
    "  p <- rep(0.1, veltn_n_params(net))",
    "  veltn_jvp(net, p, p, matrix(0.5, 4, 2), rep(0, 4))",
    "}, veltn_message = function(m) { n <<- n + 1L; invokeRestart('muffleMessage') }))",
    "cat('messages:', n, '\\n')",
    "invisible(suppressMessages(veltn_vjp(net, p, rep(1, 4), matrix(0.5, 4, 2), rep(0, 4))))",
    sep = "\n")
  script <- tempfile(fileext = ".R")
  on.exit(unlink(script))
  writeLines(code, script)
  libs <- paste(.libPaths(), collapse = ":")
  out <- suppressWarnings(system2(rscript, c("--vanilla", script), stdout = TRUE, stderr = TRUE,
                                  env = c("INFO=1", "NN_TRACE=1", paste0("R_LIBS=", shQuote(libs)))))
  # one INFO build line from building the network, one NN_TRACE line from velt_Jv
  expect_identical(trimws(out), "messages: 2")
})

# Shared helpers: a forward pass written in R from the documented parameter layout (an
# independent route to the outputs), data generators and one place for tolerances.

act_fun <- list(id = identity, atan = atan, softplus = function(z) log1p(exp(z)))

# Outputs of a network with niter = 1 computed in R: each layer adds its bias to the input
# times its weight matrix, stored row by row (one row per input unit), then applies the activation.
ref_outputs <- function(description, p, X) {
  tok <- strsplit(description, "[[:space:]]+")[[1]]
  nums <- as.integer(tok[1:5])
  nout <- nums[2]; nlayers <- nums[3]
  widths <- as.integer(tok[5 + seq_len(nlayers)])
  act <- act_fun[[tok[6 + nlayers]]]
  X <- as.matrix(X)
  A <- cbind(X, matrix(0, nrow(X), widths[1] - ncol(X)))
  fan <- c(widths, nout)
  at <- 0L
  for (l in seq_len(nlayers)) {
    nin <- fan[l]; nouts <- fan[l + 1]
    b <- p[at + seq_len(nouts)]; at <- at + nouts
    W <- matrix(p[at + seq_len(nin * nouts)], nin, nouts, byrow = TRUE); at <- at + nin * nouts
    A <- act(sweep(A %*% W, 2, b, "+"))
  }
  stopifnot(at == length(p))
  A
}

params_for <- function(net, scale = 0.4) scale * sin(1.3 * seq_len(veltn_n_params(net)) + 0.2)

# A non-square problem: rows != columns of X and rows != outputs.
make_data <- function(net, rows, seed, cols = veltn_n_inputs(net)) {
  set.seed(seed)
  list(X = matrix(runif(rows * cols, -1, 1), rows, cols),
       Y = matrix(0.3 * rnorm(rows * veltn_n_outputs(net)), rows, veltn_n_outputs(net)))
}

# TRUE when the installed library knows the norm (an unknown norm makes the objective fail).
norm_known <- function(norm) {
  net <- suppressMessages(veltn_network(paste("1 1 2 1 32 1 2 id", norm)))
  tryCatch({
    veltn_objective(net, rep(0, veltn_n_params(net)), 0, 0)
    TRUE
  }, veltn_error = function(e) FALSE)
}

tol_fd <- 1e-6     # derivatives against numDeriv (Richardson extrapolation), relative
tol_exact <- 1e-12 # two exact routes that differ only by rounding

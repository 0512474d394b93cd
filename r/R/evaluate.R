#' Outputs, residuals, per-element terms and the objective
#'
#' Evaluate a network on the rows of X: its outputs, the residuals against Y, the norm's
#' per-element terms and their mean, the objective.
#'
#' @param net A network from [veltn_network()].
#' @param params The parameter vector, of length [veltn_n_params()] (for each layer its bias,
#'   then its weight matrix stored row by row: one row per input unit).
#' @param X Inputs: a numeric matrix (or data frame) with one row per sample and at most [veltn_n_inputs()]
#'   columns (missing columns read as zeros), indexed the R way. A vector is taken as one column
#'   when the network has one input.
#' @param Y Targets: a matrix with as many rows as X and [veltn_n_outputs()] columns; a vector
#'   is taken as one column when the network has one output.
#' @return `veltn_outputs`: the R x n_outputs matrix of network outputs F. `veltn_residuals`:
#'   F - Y. `veltn_terms`: the norm's term of each residual (the residuals themselves for the
#'   norm `"sum"`). `veltn_objective`: the objective, the mean of the terms (one number).
#' @details Shapes are checked before the library is called; a wrong shape raises an error of
#'   class `veltn_argument_error` whose message names the argument, its shape and the expected
#'   one. A failure inside the library raises a `veltn_error` (also `veltn_fpe` for a
#'   floating-point event, for example an infinite input). The objective needs at least one row.
#' @examples
#' net <- veltn_network("2 1 2 1 32 2 3 atan sum_log_dnorm_fat")
#' p <- seq(-0.5, 0.5, length.out = veltn_n_params(net))
#' X <- cbind(x1 = c(0, 0.5, 1), x2 = c(1, -1, 0))
#' veltn_outputs(net, p, X)
#' veltn_objective(net, p, X, c(0.1, 0.2, 0.3))
#' @export
veltn_outputs <- function(net, params, X) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, NULL, call)
  .run(C_eval, call, 0L, net$ptr, p, d$xt, NULL, d$dims)$value
}

#' @rdname veltn_outputs
#' @export
veltn_residuals <- function(net, params, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call)
  .run(C_eval, call, 1L, net$ptr, p, d$xt, d$yt, d$dims)$value
}

#' @rdname veltn_outputs
#' @export
veltn_terms <- function(net, params, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call)
  .run(C_eval, call, 2L, net$ptr, p, d$xt, d$yt, d$dims)$value
}

#' @rdname veltn_outputs
#' @export
veltn_objective <- function(net, params, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  .run(C_objective, call, net$ptr, p, d$xt, d$yt, d$dims)$value
}

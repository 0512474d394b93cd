#' Gradient, Hessian and Hessian-vector products of the objective
#'
#' Exact derivatives of [veltn_objective()] with respect to the parameters.
#'
#' @inheritParams veltn_outputs
#' @param V One direction (a vector of length [veltn_n_params()]) or several, as the columns of
#'   an n_params x k matrix.
#' @return `veltn_gradient`: `list(value = J, gradient = g)`. `veltn_hvp`: H v, a vector for a
#'   vector V and an n_params x k matrix for a matrix V. `veltn_hessian`: the n_params x n_params
#'   Hessian H (symmetric up to rounding); it costs about n_params Hessian-vector products.
#' @details All three need at least one row. Errors are as for [veltn_outputs()].
#' @examples
#' net <- veltn_network("2 1 2 1 32 2 3 atan sum_log_dnorm_fat")
#' p <- seq(-0.5, 0.5, length.out = veltn_n_params(net))
#' X <- cbind(c(0, 0.5, 1), c(1, -1, 0)); Y <- c(0.1, 0.2, 0.3)
#' veltn_gradient(net, p, X, Y)$gradient
#' H <- veltn_hessian(net, p, X, Y)
#' all.equal(H[, 2], veltn_hvp(net, p, diag(veltn_n_params(net))[, 2], X, Y))
#' @export
veltn_gradient <- function(net, params, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  res <- .run(C_gradient, call, net$ptr, p, d$xt, d$yt, d$dims)
  list(value = res$value, gradient = res$gradient)
}

#' @rdname veltn_gradient
#' @export
veltn_hvp <- function(net, params, V, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  v <- .directions(net, V, d$dims[1], call)
  hv <- .run(C_hvp, call, net$ptr, p, v$v, d$xt, d$yt, d$dims)$hv
  if (v$matrix) hv else as.vector(hv)
}

#' @rdname veltn_gradient
#' @export
veltn_hessian <- function(net, params, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  .check_hessian(p, call)
  .run(C_hvp, call, net$ptr, p, NULL, d$xt, d$yt, d$dims)$hv
}

#' Jacobian-vector and vector-Jacobian products of the per-element terms
#'
#' J is the Jacobian of [veltn_terms()] (the R x n_outputs terms, taken column by column) with
#' respect to the parameters. With the norm `"sum"` the terms are the residuals, so J is the
#' Jacobian of the network outputs.
#'
#' @inheritParams veltn_gradient
#' @param U Weights of the terms: an R x n_outputs matrix (a vector of length R when the
#'   network has one output), or m of them as an R x n_outputs x m array.
#' @return `veltn_jvp`: J v as an R x n_outputs matrix for a vector V, or an R x n_outputs x k
#'   array for an n_params x k matrix V. `veltn_vjp`: the n_params values of U^T J, that is the
#'   gradient of `sum(U * terms)`; for an array U, an n_params x m matrix with one column per
#'   weight matrix.
#' @details Both need at least one row. Errors are as for [veltn_outputs()].
#' @examples
#' net <- veltn_network("2 1 2 1 32 2 3 atan sum")
#' n <- veltn_n_params(net); p <- seq(-0.5, 0.5, length.out = n)
#' X <- cbind(c(0, 0.5, 1), c(1, -1, 0)); Y <- c(0.1, 0.2, 0.3)
#' v <- rep(1, n); u <- c(1, 2, 3)
#' # the adjoint identity: u . (J v) = (u^T J) . v
#' all.equal(sum(u * veltn_jvp(net, p, v, X, Y)), sum(veltn_vjp(net, p, u, X, Y) * v))
#' @export
veltn_jvp <- function(net, params, V, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  v <- .directions(net, V, d$dims[1], call)
  jv <- .run(C_jvp, call, net$ptr, p, v$v, d$xt, d$yt, d$dims)$jv
  if (v$matrix) jv else matrix(jv, nrow = dim(jv)[1], ncol = dim(jv)[2])
}

#' @rdname veltn_jvp
#' @export
veltn_vjp <- function(net, params, U, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  u <- .weights(net, U, d$dims[1], call)
  vj <- .run(C_vjp, call, net$ptr, p, u$u, d$xt, d$yt, d$dims)$vj
  if (u$array) vj else as.vector(vj)
}

#' The whole Jacobian of the terms, and Gauss-Newton products
#'
#' `veltn_jacobian` is the matrix whose products [veltn_jvp()] and [veltn_vjp()] give, from one
#' reverse sweep. `veltn_gnvp` gives generalised Gauss-Newton products G v, with
#' G = J_F^T diag(phi''(r)) J_F / (R n_outputs), J_F the Jacobian of the outputs and phi'' the
#' norm's second derivative.
#'
#' @inheritParams veltn_gradient
#' @return `veltn_jacobian`: the (R n_outputs) x n_params Jacobian of the terms, row
#'   `i + (j - 1) * R` for the term of row i and output j, the order of `as.vector(veltn_terms())`.
#'   With the norm `"sum"` these are the residuals and their Jacobian, as `nls.lm`-style
#'   solvers take them. `veltn_gnvp`: as [veltn_hvp()].
#' @details G is positive semi-definite for `"sum_sq"` and `"sum_pseudo_huber"`, 0 for `"sum"`
#'   and indefinite in the tails of `"sum_log_dnorm_fat"`; it equals the Hessian where every
#'   residual has phi'(r) = 0 (zero residuals on `"sum_sq"`). The Jacobian may hold 2^32 values
#'   or more (R's long vectors); its two extents must each stay below 2^31.
#' @export
veltn_jacobian <- function(net, params, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  .check_jacobian(net, d$dims[1], call)
  .run(C_jacobian, call, net$ptr, p, d$xt, d$yt, d$dims)$jacobian
}

#' @rdname veltn_jacobian
#' @export
veltn_gnvp <- function(net, params, V, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  v <- .directions(net, V, d$dims[1], call)
  gv <- .run(C_gnvp, call, net$ptr, p, v$v, d$xt, d$yt, d$dims)$hv
  if (v$matrix) gv else as.vector(gv)
}

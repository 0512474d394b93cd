#' Covariance of the parameters of the M-estimator a network defines
#'
#' The covariance of the parameters that minimise the sum of the norm's terms, from the exact
#' Hessian, Gauss-Newton matrix and Jacobian.
#'
#' @inheritParams veltn_outputs
#' @param kind `"sandwich"` (robust, valid for any norm), `"hessian"` or `"gauss_newton"`.
#' @param bread The sandwich's bread: `"hessian"` (E H) or `"gauss_newton"` (E G).
#' @param hc `"HC0"` or `"HC1"`; `NULL` means `"HC0"` without clusters and `"HC1"` (CR1) with them.
#' @param cluster `NULL`, or one cluster label per row of X for the cluster-robust meat. `hc` and
#'   `cluster` are for the sandwich only.
#' @return The n_params x n_params covariance matrix.
#' @details With E = R n_outputs, H the Hessian of the objective (a mean), G its Gauss-Newton
#'   matrix and s_i the gradient of row i's terms (the rows of [veltn_jacobian()] for that
#'   sample, summed):
#'   `"sandwich"`: B^-1 (sum_i s_i s_i^T) B^-1 with B = E H or E G (on `"sum_sq"` the Gauss-Newton
#'   bread gives what `sandwich::sandwich()` gives for an `nls` fit); `"hessian"`: (E H)^-1, the
#'   inverse observed information when the terms are a negative log-likelihood;
#'   `"gauss_newton"`: (E G)^-1. On `"sum_sq"` the last two are multiplied by
#'   sigma^2 = sum r^2 / (E - n_params), the classical nonlinear least-squares covariance.
#'   The meat's `"HC1"` multiplies by n / (n - n_params) (n the rows); with `cluster` the meat is
#'   sum_c (sum_{i in c} s_i)(sum_{i in c} s_i)^T times C / (C - 1), and with `"HC1"` also
#'   (n - 1) / (n - n_params) (CR1), as `sandwich::vcovCL()` with that type.
#'
#'   Refusals raise a `veltn_error` (class `veltn_covariance_error`): a matrix to invert whose
#'   reciprocal condition number is below 1e-12 (named; the norm `"sum"` has G = 0),
#'   n <= n_params for HC1, CR1 or the sigma^2 of `"sum_sq"` (there E <= n_params), fewer than 2
#'   clusters. A bread that is not positive definite (params is not a minimum) gives a warning.
#'
#'   Networks of the activations `"relu"` and `"id"` have exact scaling symmetries (a hidden
#'   unit's incoming weights and bias times c > 0, its outgoing weights divided by c, leave the
#'   outputs unchanged), so their H and G are singular and their parameters have no covariance.
#' @export
veltn_covariance <- function(net, params, X, Y, kind = c("sandwich", "hessian", "gauss_newton"),
                             bread = c("hessian", "gauss_newton"), hc = NULL, cluster = NULL) {
  call <- sys.call()
  .check_net(net, call)
  kind <- .choice(kind, c("sandwich", "hessian", "gauss_newton"), "kind", call)
  bread <- .choice(bread, c("hessian", "gauss_newton"), "bread", call)
  if (!is.null(hc)) hc <- .choice(hc, c("HC0", "HC1"), "hc", call)
  if (kind != "sandwich" && (!is.null(hc) || !is.null(cluster)))
    .argument_error(sprintf("hc, cluster: they belong to the sandwich's meat, not to kind = \"%s\"", kind), call)
  p <- .params(net, params, "params", call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  n <- d$dims[1]
  nw <- net$n_params
  E <- n * net$n_outputs
  sum_sq <- .norm_name(net$description) == "sum_sq"
  groups <- NULL
  if (kind == "sandwich") {
    if (is.null(hc)) hc <- if (is.null(cluster)) "HC0" else "HC1"
    if (hc == "HC1") .more_rows(n, nw, if (is.null(cluster)) "HC1" else "CR1", call)
    if (!is.null(cluster)) {
      if (length(cluster) != n)
        .shape_error("cluster", cluster, sprintf("one label per row of X (%d)", n), call)
      groups <- as.integer(factor(cluster, exclude = NULL))
      if (max(groups) < 2L) .covariance_error("the cluster-robust form needs at least 2 clusters, got 1", call)
    }
  } else if (sum_sq) {
    .more_rows(E, nw, "sigma^2 of the norm \"sum_sq\" (rows x outputs)", call)
  }
  which <- if (kind == "sandwich") bread else kind
  .check_hessian(p, call)
  B <- .run(if (which == "hessian") C_hvp else C_gnvp, call, net$ptr, p, NULL, d$xt, d$yt, d$dims)$hv
  Binv <- .symmetric_inverse(E * B, which, call)
  if (kind != "sandwich") {
    if (sum_sq) {
      r <- .run(C_eval, call, 1L, net$ptr, p, d$xt, d$yt, d$dims)$value
      Binv <- Binv * sum(r^2) / (E - nw)
    }
    return(Binv)
  }
  .check_jacobian(net, n, call)
  jac <- .run(C_jacobian, call, net$ptr, p, d$xt, d$yt, d$dims)$jacobian
  # rows i, i + n, ... of the Jacobian are row i's terms
  scores <- rowsum(jac, rep(seq_len(n), net$n_outputs), reorder = TRUE)
  if (is.null(groups)) {
    meat <- crossprod(scores)
    if (hc == "HC1") meat <- meat * n / (n - nw)
  } else {
    C <- max(groups)
    meat <- crossprod(rowsum(scores, groups)) * C / (C - 1)
    if (hc == "HC1") meat <- meat * (n - 1) / (n - nw)
  }
  V <- Binv %*% meat %*% Binv
  (V + t(V)) / 2
}

.choice <- function(x, choices, arg, call) {
  if (identical(x, choices)) return(choices[1])
  if (!is.character(x) || length(x) != 1L || !(x %in% choices))
    .argument_error(sprintf("%s: expected one of %s, got %s", arg, paste0("\"", choices, "\"", collapse = ", "),
                            paste(format(x), collapse = " ")), call)
  x
}

.covariance_error <- function(message, call) {
  stop(structure(class = c("veltn_covariance_error", "veltn_error", "error", "condition"),
                 list(message = paste("veltn_covariance:", message), call = call)))
}

.more_rows <- function(n, nw, what, call) {
  if (n <= nw) .covariance_error(sprintf("%s needs more than n_params = %d rows, got %d", what, nw, n), call)
}

.symmetric_inverse <- function(B, which, call) {
  name <- if (which == "hessian") "the Hessian E*H" else "the Gauss-Newton matrix E*G"
  if (!all(is.finite(B))) .covariance_error(sprintf("%s has non-finite entries", name), call)
  e <- eigen((B + t(B)) / 2, symmetric = TRUE)
  largest <- max(abs(e$values))
  rcond <- if (largest > 0) min(abs(e$values)) / largest else 0
  if (rcond < 1e-12)
    .covariance_error(paste(sprintf("%s is singular to working precision: reciprocal condition number %.3g < 1e-12",
                                    name, rcond),
                            "(the norm \"sum\" has G = 0; relu and id networks have scaling symmetries)"), call)
  if (min(e$values) < 0)
    warning(sprintf("veltn_covariance: %s is indefinite (smallest eigenvalue %.3g, largest %.3g): %s", name,
                    min(e$values), max(e$values), "params is not a minimum of the objective"), call. = FALSE)
  e$vectors %*% (t(e$vectors) / e$values)
}

#' An objective with its derivatives for optim(), nlminb() and nlm()
#'
#' Checks X and Y once and keeps them in the layout the library reads, then returns closures
#' over them that take only the parameters.
#'
#' @inheritParams veltn_outputs
#' @return An object of class `"veltn_problem"`, a list of
#'   \describe{
#'     \item{`fn(par)`}{the objective;}
#'     \item{`gr(par)`}{its gradient;}
#'     \item{`hessian(par)`}{its Hessian (n_params x n_params);}
#'     \item{`hvp(par, v)`}{Hessian-vector products, as [veltn_hvp()];}
#'     \item{`gnvp(par, v)`}{Gauss-Newton products, as [veltn_gnvp()];}
#'     \item{`residuals(par)`, `jacobian(par)`}{the least-squares pair for `nls.lm`-style
#'       solvers: the terms as one vector and their Jacobian (see [veltn_jacobian()]), rows in
#'       the same order. With the norm `"sum"` the terms are the residuals; on another norm the
#'       first call warns, as the solver would square the norm's terms again;}
#'     \item{`fg(par)`}{the objective with its gradient as attribute `"gradient"`, as [nlm()]
#'       expects;}
#'     \item{`net`, `n_rows`}{the network and the number of rows.}
#'   }
#'   `fn`, `gr` and `fg` share one library call per point: the objective and gradient of the
#'   last point are kept and reused while the parameters are identical.
#' @examples
#' net <- veltn_network("1 1 2 1 32 1 2 atan sum_log_dnorm_fat")
#' x <- seq(-2, 2, length.out = 50); y <- 0.5 * sin(x)
#' prob <- veltn_problem(net, x, y)
#' p0 <- seq(-0.3, 0.3, length.out = veltn_n_params(net))
#' nlminb(p0, prob$fn, prob$gr, prob$hessian)$objective
#' optim(p0, prob$fn, prob$gr, method = "BFGS")$value
#' nlm(prob$fg, p0)$minimum
#' @export
veltn_problem <- function(net, X, Y) {
  call <- sys.call()
  .check_net(net, call)
  d <- .data(net, X, Y, call, min_rows = 1L)
  at <- NULL
  kept <- NULL
  norm <- .norm_name(net$description)
  least_squares_checked <- FALSE
  check_least_squares <- function(call) {
    if (least_squares_checked || norm == "sum") return(invisible())
    least_squares_checked <<- TRUE
    warning(sprintf(paste("the terms of the norm \"%s\" are not residuals: least-squares solvers square what",
                          "they are given, so build the network with the norm \"sum\" for them"), norm), call. = FALSE)
  }
  value_gradient <- function(par, call) {
    p <- .params(net, par, "par", call)
    if (!identical(p, at)) {
      res <- .run(C_gradient, call, net$ptr, p, d$xt, d$yt, d$dims)
      kept <<- list(value = res$value, gradient = res$gradient)
      at <<- p
    }
    kept
  }
  structure(list(
    fn = function(par) value_gradient(par, sys.call())$value,
    gr = function(par) value_gradient(par, sys.call())$gradient,
    fg = function(par) {
      r <- value_gradient(par, sys.call())
      structure(r$value, gradient = r$gradient)
    },
    hessian = function(par) {
      call <- sys.call()
      p <- .params(net, par, "par", call)
      .check_hessian(p, call)
      .run(C_hvp, call, net$ptr, p, NULL, d$xt, d$yt, d$dims)$hv
    },
    hvp = function(par, v) {
      call <- sys.call()
      p <- .params(net, par, "par", call)
      dv <- .directions(net, v, d$dims[1], call)
      hv <- .run(C_hvp, call, net$ptr, p, dv$v, d$xt, d$yt, d$dims)$hv
      if (dv$matrix) hv else as.vector(hv)
    },
    gnvp = function(par, v) {
      call <- sys.call()
      p <- .params(net, par, "par", call)
      dv <- .directions(net, v, d$dims[1], call)
      gv <- .run(C_gnvp, call, net$ptr, p, dv$v, d$xt, d$yt, d$dims)$hv
      if (dv$matrix) gv else as.vector(gv)
    },
    residuals = function(par) {
      call <- sys.call()
      check_least_squares(call)
      as.vector(.run(C_eval, call, 2L, net$ptr, .params(net, par, "par", call), d$xt, d$yt, d$dims)$value)
    },
    jacobian = function(par) {
      call <- sys.call()
      check_least_squares(call)
      .check_jacobian(net, d$dims[1], call)
      .run(C_jacobian, call, net$ptr, .params(net, par, "par", call), d$xt, d$yt, d$dims)$jacobian
    },
    net = net, n_rows = d$dims[1]), class = "veltn_problem")
}

#' @export
print.veltn_problem <- function(x, ...) {
  cat(sprintf("<veltn_problem: %d rows on \"%s\"; fn, gr, hessian, hvp, gnvp, fg, residuals, jacobian>\n", x$n_rows, x$net$description))
  invisible(x)
}

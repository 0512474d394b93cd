# Checks at the edge, library conditions and message delivery. Nothing here is exported.

.argument_error <- function(message, call) {
  stop(structure(class = c("veltn_argument_error", "error", "condition"),
                 list(message = message, call = call)))
}

# "a vector of length 5", "20 x 3", "20 x 1 x 4"
.shape <- function(x) {
  if (is.null(dim(x))) sprintf("a vector of length %d", length(x)) else paste(dim(x), collapse = " x ")
}

.shape_error <- function(arg, x, expected, call) {
  .argument_error(sprintf("%s: got %s, expected %s", arg, .shape(x), expected), call)
}

.check_net <- function(net, call) {
  if (!inherits(net, "veltn_network"))
    .argument_error(sprintf("net: expected a veltn_network from veltn_network(), got an object of class %s",
                            paste(class(net), collapse = "/")), call)
}

# x as a double array with its dimensions; data frames become matrices.
.as_double <- function(x, arg, call) {
  if (is.data.frame(x)) x <- as.matrix(x)
  if (!is.numeric(x) && !is.logical(x)) {
    # a plain vector, matrix or array by its type ("complex"), anything else by its class
    what <- if (is.atomic(x) && !is.object(x)) typeof(x) else paste(class(x), collapse = "/")
    .argument_error(sprintf("%s: expected numeric values, got %s", arg, what), call)
  }
  storage.mode(x) <- "double"
  x
}

# Every count handed to the library is 32-bit unsigned, and so is every product of counts.
.check_count <- function(arg, x, n, call) {
  if (n >= 2^32)
    .argument_error(sprintf("%s: %s means %.0f values, the library takes fewer than 2^32", arg, .shape(x), n), call)
}

.check_hessian <- function(p, call) {
  if (as.double(length(p))^2 >= 2^32)
    .argument_error(sprintf("the Hessian of %d parameters has %.0f values, the library takes fewer than 2^32; use Hessian-vector products",
                            length(p), as.double(length(p))^2), call)
}

# The Jacobian's rows (rows x outputs) and columns are R matrix extents; its length may exceed 2^32.
.check_jacobian <- function(net, rows, call) {
  if (as.double(rows) * net$n_outputs >= 2^31)
    .argument_error(sprintf("X: %d rows x %d outputs are more Jacobian rows than an R matrix holds (2^31 - 1)",
                            rows, net$n_outputs), call)
}

# The norm named in a description ("" when the description stops before it).
.norm_name <- function(description) {
  fields <- strsplit(trimws(description), "[[:space:]]+")[[1]]
  at <- 7L + as.integer(fields[3])
  if (length(fields) >= at) fields[at] else ""
}

.params <- function(net, params, arg, call) {
  params <- .as_double(params, arg, call)
  if (length(params) != net$n_params || (!is.null(dim(params)) && sum(dim(params) > 1L) > 1L))
    .shape_error(arg, params, sprintf("a vector of length %d (veltn_n_params)", net$n_params), call)
  as.vector(params)
}

# Column count 1 for a vector, else the matrix's; NA for arrays of another rank.
.ncol <- function(x) if (is.null(dim(x))) 1L else if (length(dim(x)) == 2L) ncol(x) else NA_integer_
.nrow <- function(x) if (is.null(dim(x))) length(x) else nrow(x)

# X (and Y unless NULL) checked against the network and each other, and handed over row-major:
# list(xt, yt, dims = c(rows, columns of X)).
.data <- function(net, X, Y, call, min_rows = 0L) {
  X <- .as_double(X, "X", call)
  nin <- net$n_inputs
  if (is.null(dim(X)) && nin != 1L)
    .shape_error("X", X, sprintf("a %d x C matrix with C <= %d (one row per sample; a vector is one column only for a network with one input)",
                                 length(X), nin), call)
  if (is.na(.ncol(X)) || .ncol(X) > nin || .ncol(X) < 1L)
    .shape_error("X", X, sprintf("%d x C with 1 <= C <= %d (rows are samples, columns the network's inputs)", .nrow(X), nin), call)
  rows <- .nrow(X)
  if (rows < min_rows)
    .shape_error("X", X, sprintf("at least %d row%s", min_rows, if (min_rows == 1L) "" else "s"), call)
  .check_count("X", X, as.double(rows) * .ncol(X), call)
  out <- list(xt = if (is.null(dim(X)) || ncol(X) == 1L) as.vector(X) else as.vector(t(X)),
              yt = NULL, dims = c(rows, .ncol(X)))
  if (!is.null(Y)) {
    Y <- .as_double(Y, "Y", call)
    nout <- net$n_outputs
    want <- sprintf("%d x %d (one row per row of X, one column per network output)", rows, nout)
    if (is.null(dim(Y)) && nout != 1L) .shape_error("Y", Y, want, call)
    if (.nrow(Y) != rows || is.na(.ncol(Y)) || .ncol(Y) != nout) .shape_error("Y", Y, want, call)
    .check_count("Y", Y, as.double(rows) * nout, call)
    out$yt <- if (nout == 1L) as.vector(Y) else as.vector(t(Y))
  }
  out
}

# V as a vector of n (one direction) or an n x k matrix (one direction per column):
# list(v, k, matrix = whether a matrix came in).
.directions <- function(net, V, rows, call) {
  V <- .as_double(V, "V", call)
  n <- net$n_params
  if (is.null(dim(V))) {
    if (length(V) != n) .shape_error("V", V, sprintf("a vector of length %d or a %d x k matrix (one direction per column)", n, n), call)
    return(list(v = V, k = 1L, matrix = FALSE))
  }
  if (length(dim(V)) != 2L || nrow(V) != n)
    .shape_error("V", V, sprintf("%d x k (one direction of veltn_n_params values per column)", n), call)
  .check_count("V", V, as.double(n) * ncol(V), call)
  .check_count("V", V, as.double(rows) * net$n_outputs * ncol(V), call)
  list(v = as.vector(V), k = ncol(V), matrix = TRUE)
}

# U as an R x numout matrix (a vector of R when numout is 1) or an R x numout x m array:
# list(u, m, array = whether a 3-d array came in).
.weights <- function(net, U, rows, call) {
  U <- .as_double(U, "U", call)
  nout <- net$n_outputs
  want <- sprintf("%d x %d (rows of X x network outputs) or %d x %d x m", rows, nout, rows, nout)
  d <- dim(U)
  if (is.null(d)) {
    if (nout != 1L || length(U) != rows) .shape_error("U", U, want, call)
    return(list(u = U, m = 1L, array = FALSE))
  }
  if (length(d) == 2L && all(d == c(rows, nout))) return(list(u = as.vector(U), m = 1L, array = FALSE))
  if (length(d) == 3L && all(d[1:2] == c(rows, nout))) {
    .check_count("U", U, as.double(rows) * nout * d[3], call)
    return(list(u = as.vector(U), m = d[3], array = TRUE))
  }
  .shape_error("U", U, want, call)
}

.count <- function(x, arg, lo, hi, call) {
  if (!is.numeric(x) || length(x) != 1L || is.na(x) || x != round(x) || x < lo || x > hi)
    .argument_error(sprintf("%s: expected one whole number from %d to %d, got %s", arg, lo, hi,
                            paste(format(x), collapse = " ")), call)
  as.integer(x)
}

# Hands the lines the library wrote during the last call to message(), one condition of class
# "veltn_message" per line; a failing call's own line is left out, as it becomes the error.
.emit_messages <- function(error = NULL) {
  lines <- .Call(C_take_messages)
  if (length(lines) == 0L) return(invisible())
  streams <- attr(lines, "stream")
  if (!is.null(error)) {
    own <- match(error, lines)
    if (!is.na(own)) {
      lines <- lines[-own]
      streams <- streams[-own]
    }
  }
  for (i in seq_along(lines))
    message(structure(class = c("veltn_message", "message", "condition"),
                      list(message = paste0(lines[i], "\n"), call = NULL, stream = streams[i])))
}

# The library's "Error: " tag is left out of the condition's message: R says "Error" already.
.library_error <- function(status, message, call) {
  message <- sub("^Error: ", "", message)
  class <- c("veltn_error", "error", "condition")
  if (status == -2L) class <- c("veltn_fpe", class)
  stop(structure(class = class, list(message = message, call = call, status = status)))
}

# One library call through .Call: its messages go out, a failure becomes a condition.
.run <- function(fun, call, ...) {
  res <- .Call(fun, ...)
  failed <- res$status != 0L
  .emit_messages(if (failed) res$error)
  if (failed) .library_error(res$status, res$error, call)
  res
}

.version_string <- function(n) sprintf("%d.%d.%d", n %/% 10000L, (n %/% 100L) %% 100L, n %% 100L)

.onLoad <- function(libname, pkgname) {
  v <- .Call(C_version)
  if (v[1] %/% 100L != v[2] %/% 100L)
    stop(sprintf("veltn was built against libveltn %s but loaded libveltn %s: reinstall the package",
                 .version_string(v[2]), .version_string(v[1])), call. = FALSE)
}

.onUnload <- function(libpath) library.dynam.unload("veltn", libpath)

#' Build a network from its one-line description
#'
#' Parses a network description with libveltn and returns a network whose parameters are
#' passed to every evaluation.
#'
#' @param description One string: `"numin numout nlayers niter batch s_0 ... s_{nlayers-1}
#'   activation norm"`, for example `"3 1 3 1 16 3 8 8 softplus sum"` (see the package help,
#'   [veltn-package]).
#' @param threads Threads the library uses for the row batches of one call (1 to 99999).
#' @param batch Rows per batch (at least 1).
#' @return An object of class `"veltn_network"`. The library's handle inside it is released by a
#'   finalizer when the object is garbage-collected; it does not survive [save()]/[load()] or
#'   [saveRDS()] (using a reloaded network raises an error: build it again).
#' @details A description the library refuses raises a `veltn_error`. An unknown norm name still
#'   gives a network (the library says so through [message()]) whose outputs and residuals work,
#'   while the objective and its derivatives raise a `veltn_error`.
#' @examples
#' net <- veltn_network("3 1 3 1 16 3 8 8 softplus sum")
#' veltn_n_params(net)   # 113
#' @export
veltn_network <- function(description, threads = 1L, batch = 32L) {
  call <- sys.call()
  if (!is.character(description) || length(description) != 1L || is.na(description))
    .argument_error("description: expected one string", call)
  threads <- .count(threads, "threads", 1L, 99999L, call)
  batch <- .count(batch, "batch", 1L, .Machine$integer.max, call)
  res <- .run(C_new, call, description, threads, batch)
  structure(list(ptr = res$ptr, description = description, threads = threads, batch = batch,
                 n_params = as.integer(res$n_params), n_inputs = res$n_inputs,
                 n_outputs = res$n_outputs),
            class = "veltn_network")
}

#' Sizes of a network
#'
#' Parameter count, input and output counts and the description of a network.
#'
#' @param net A network from [veltn_network()].
#' @return `veltn_n_params`: the length of the parameter vector. `veltn_n_inputs`: the largest
#'   number of columns X may have. `veltn_n_outputs`: the number of outputs, which is the number
#'   of columns of Y. `veltn_description`: the description the network was built from.
#' @examples
#' net <- veltn_network("3 1 3 1 16 3 8 8 softplus sum")
#' c(veltn_n_params(net), veltn_n_inputs(net), veltn_n_outputs(net))
#' @export
veltn_n_params <- function(net) {
  .check_net(net, sys.call())
  net$n_params
}

#' @rdname veltn_n_params
#' @export
veltn_n_inputs <- function(net) {
  .check_net(net, sys.call())
  net$n_inputs
}

#' @rdname veltn_n_params
#' @export
veltn_n_outputs <- function(net) {
  .check_net(net, sys.call())
  net$n_outputs
}

#' @rdname veltn_n_params
#' @export
veltn_description <- function(net) {
  .check_net(net, sys.call())
  net$description
}

#' @export
print.veltn_network <- function(x, ...) {
  cat(sprintf("<veltn_network \"%s\": %d parameters, %d input%s, %d output%s, %d thread%s, batch %d>\n",
              x$description, x$n_params, x$n_inputs, if (x$n_inputs == 1L) "" else "s",
              x$n_outputs, if (x$n_outputs == 1L) "" else "s", x$threads,
              if (x$threads == 1L) "" else "s", x$batch))
  invisible(x)
}

#' Version of libveltn
#'
#' The version of the loaded libveltn and of the header the package was built against.
#'
#' @return A named character vector: `library`, the version of the libveltn that is loaded, and
#'   `headers`, the version the package was compiled against. The package refuses to load when
#'   their major or minor numbers differ.
#' @examples
#' veltn_version()
#' @export
veltn_version <- function() {
  v <- .Call(C_version)
  c(library = .version_string(v[1]), headers = .version_string(v[2]))
}

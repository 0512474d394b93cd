#' veltn: small dense networks with exact derivatives, from R
#'
#' The package calls libveltn, which builds a dense feed-forward network from a one-line
#' description and returns its outputs, per-element objective terms, the objective and exact
#' derivatives in double precision.
#'
#' @section Description:
#' `"numin numout nlayers niter batch s_0 ... s_{nlayers-1} activation norm"`. Layers 0 to
#' nlayers-2 form the hidden stack (run niter times), the last layer maps to numout outputs;
#' every layer applies the activation (`id`, `relu`, `atan`, `softplus`, `softplus_shifted`).
#' The norm is `sum` (the residual itself), `sum_log_dnorm_fat` (a negative log-likelihood with
#' a normal core of sigma 1/3 and Cauchy tails) or another norm the installed library knows.
#' The objective is the mean of the norm's terms over all R x numout residuals (prediction
#' minus target).
#'
#' @section Storage order:
#' X and Y are ordinary R matrices: row i is sample i. The library reads them row by row; the
#' package passes the transposed data, so a user never deals with the library's order. Direction
#' matrices (V, one direction per column) and every result are in R's order too. The library's
#' process-wide storage-order flag for V, Hv and Jv is read at each call and never changed.
#'
#' @section Errors:
#' Arguments are checked before the library is called: a wrong type or shape raises an error of
#' class `c("veltn_argument_error", "error", "condition")` whose message names the argument,
#' its shape and the expected shape. A failure reported by the library raises an error of class
#' `c("veltn_error", "error", "condition")` with the library's message and its `status` (-1);
#' a floating-point event (status -2, for example a NaN or an infinity in X, or an overflow)
#' raises `c("veltn_fpe", "veltn_error", "error", "condition")`.
#'
#' @section Messages:
#' The package installs the library's message handler when it is loaded (the handler is
#' process-wide; it is removed when the package is unloaded). The handler runs inside library
#' calls, where R must not be called (an R error would jump over the library's frames), so it
#' only stores each line in a buffer. When the call has returned, the package hands each stored
#' line to [message()] as a condition of class `c("veltn_message", "message", "condition")`
#' with a field `stream` (1: a line the library would print on standard output, 2: standard
#' error). [suppressMessages()] therefore silences them, and nothing goes to the process's
#' standard error directly. The line of a failing call is not repeated as a message: it is the
#' error's message.
#'
#' @section Interrupts:
#' A library call cannot be interrupted while it runs: Ctrl-C takes effect as soon as the call
#' returns, before its results are used, and leaves the network and the package usable. An
#' optimiser running over a [veltn_problem()] can therefore be interrupted between evaluations;
#' a single call on a very large problem (a full [veltn_hessian()], say) runs to its end first.
#'
#' @section Threads:
#' `threads` in [veltn_network()] sets the library's OpenMP threads for the row batches of one
#' call. Results with more than one thread may differ from one run to the next in the last
#' bits.
#' @name veltn-package
#' @aliases veltn
#' @keywords package
"_PACKAGE"

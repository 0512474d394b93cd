# Fits a small network to a generated regression with nlminb, using the exact gradient and
# Hessian from libveltn, on the least-squares norm sum_sq (term r^2/2).
#
#   Rscript examples/fit.R [out.png] [norm]
#
# Needs the R package (see the README, "From R"). Prints one line per iteration and the final
# gradient norm, and draws the fitted surface and the objective against the iteration.
library(veltn)

args <- commandArgs(trailingOnly = TRUE)
out <- if (length(args) >= 1) args[1] else "fit.png"
norm <- if (length(args) >= 2) args[2] else "sum_sq"

# y = exp(-|x|^2 / 2) - 0.3 + noise, 300 samples on [-2, 2]^2
truth <- function(x1, x2) exp(-(x1^2 + x2^2) / 2) - 0.3
set.seed(1)
X <- matrix(runif(600, -2, 2), ncol = 2, dimnames = list(NULL, c("x1", "x2")))
y <- truth(X[, 1], X[, 2]) + rnorm(300, sd = 0.05)

net <- veltn_network(paste("2 1 2 1 32 2 6 atan", norm))
prob <- veltn_problem(net, X, y)
set.seed(1)
start <- rnorm(veltn_n_params(net), sd = 0.5)
invisible(tryCatch(prob$fn(start), veltn_error = function(e)
  stop("the installed libveltn cannot evaluate norm ", norm, ": ", conditionMessage(e), call. = FALSE)))

# nlminb asks for the Hessian once per iteration: report the iteration there (fn and gr reuse
# the evaluation kept for the same point).
trace <- numeric()
hessian <- function(par) {
  trace[length(trace) + 1] <<- prob$fn(par)
  cat(sprintf("%4d  objective %.10e  |gradient| %.3e\n", length(trace) - 1, prob$fn(par),
              sqrt(sum(prob$gr(par)^2))))
  prob$hessian(par)
}
cat(sprintf("fitting %s (%d parameters) to %d rows with nlminb\n", veltn_description(net),
            veltn_n_params(net), nrow(X)))
fit <- nlminb(start, prob$fn, prob$gr, hessian, control = list(iter.max = 500, eval.max = 1000))

g <- prob$gr(fit$par)
cat(sprintf("%s after %d iterations (%d objective evaluations)\n", fit$message, fit$iterations,
            fit$evaluations[["function"]]))
cat(sprintf("objective %.10e, gradient norm %.3e, residual standard deviation %.4f (noise 0.05)\n",
            fit$objective, sqrt(sum(g^2)), sd(veltn_residuals(net, fit$par, X, y))))

png(out, width = 1100, height = 480, type = "cairo")
par(mfrow = c(1, 2), mar = c(4.5, 4.5, 3, 1))
grid <- seq(-2, 2, length.out = 81)
G <- as.matrix(expand.grid(x1 = grid, x2 = grid))
surface <- matrix(veltn_outputs(net, fit$par, G), length(grid))
image(grid, grid, surface, col = hcl.colors(64, "Blue-Red 3"), xlab = "x1", ylab = "x2",
      main = "fitted surface, generating function dashed")
contour(grid, grid, outer(grid, grid, truth), add = TRUE, lty = 2, drawlabels = FALSE)
points(X, pch = 20, cex = 0.6)
plot(seq_along(trace) - 1, trace, type = "b", log = "y", pch = 20, xlab = "iteration",
     ylab = paste0("objective (", norm, ")"), main = "nlminb with the exact gradient and Hessian")
invisible(dev.off())
cat("wrote", out, "\n")

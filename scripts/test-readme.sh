#!/usr/bin/env bash
# Runs the README's command sequences that the rest of scripts/test.sh does not, as the README
# writes them, in BUILD/readme (folders renamed into it, so the source tree stays clean):
#   - the R route: a fresh build of the target veltn alone, `cmake --install` of what was built,
#     the R package into an R library folder, then the README's R code;
#   - examples/objective.c linked through pkg-config against that prefix, with the rpath and with
#     LD_LIBRARY_PATH;
#   - make_problem and hv_driver on a generated problem (from BUILD);
#   - examples/fit.py in the virtual environment BUILD/venv, when scripts/test.sh made one.
# Usage: scripts/test-readme.sh [build-dir]   (scripts/test.sh runs it last)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
case $build in /*) ;; *) build="$PWD/$build" ;; esac
work="$build/readme"
rm -rf "$work"
mkdir -p "$work"
log="$work/log"
step() { echo "README: $*"; }

step "R route (library alone, install, R package)"
cmake -S . -B "$work/build" >> "$log" 2>&1
cmake --build "$work/build" -j"$(nproc)" --target veltn >> "$log" 2>&1
if ! cmake --install "$work/build" --prefix "$work/prefix" >> "$log" 2>&1; then
  cat "$log"
  exit 1
fi
if [ -e "$work/prefix/lib/libveltn_mpi.so" ] || [ -e "$work/prefix/lib/pkgconfig/veltn_mpi.pc" ]; then
  echo "cmake --install installed libveltn_mpi files that were not built" >&2
  exit 1
fi
mkdir -p "$work/r-lib"
if ! PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" R CMD INSTALL --library="$work/r-lib" r >> "$log" 2>&1; then
  cat "$log"
  exit 1
fi
# The README's R code block, with a seed.
awk '/^```r$/ { on = 1; next } /^```$/ { if (on) exit } on' README.md > "$work/readme.R"
(cd "$work" && R_LIBS="$work/r-lib" Rscript -e 'set.seed(1); source("readme.R", echo = FALSE)
  J0 <- veltn_objective(net, p, X, y); stopifnot(is.finite(fit$objective), fit$objective < J0 / 10)
  cat("README R code: objective", J0, "->", fit$objective, "with nlminb\n")')

step "examples/objective.c through pkg-config, with the rpath and with LD_LIBRARY_PATH"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
libdir=$(pkg-config --variable=libdir veltn)
# shellcheck disable=SC2046
cc examples/objective.c $(pkg-config --cflags --libs veltn) -Wl,-rpath,"$libdir" -lm -o "$work/objective_rpath"
# shellcheck disable=SC2046
cc examples/objective.c $(pkg-config --cflags --libs veltn) -lm -o "$work/objective"
env -u LD_LIBRARY_PATH "$work/objective_rpath" > "$work/objective_rpath.out"
LD_LIBRARY_PATH="$libdir" "$work/objective" > "$work/objective.out"
cmp "$work/objective_rpath.out" "$work/objective.out"
if env -u LD_LIBRARY_PATH "$work/objective" > /dev/null 2>&1; then
  echo "a program without the rpath found libveltn.so in $libdir: the README's advice was not tested" >&2
  exit 1
fi
unset PKG_CONFIG_PATH

if [ -x "$build/drivers/make_problem" ]; then
  step "make_problem and hv_driver"
  "$build/drivers/make_problem" "$work/m" "16 4 3 1 32 16 64 64 softplus sum_log_dnorm_fat" 4096 8 > /dev/null
  NN_DATA_DIR="$work/m" "$build/drivers/hv_driver"
fi

if [ -x "$build/venv/bin/python" ]; then
  step "examples/fit.py"
  "$build/venv/bin/python" examples/fit.py "$work/fit.png" | tail -n 2
fi

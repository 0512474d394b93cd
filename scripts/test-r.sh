#!/usr/bin/env bash
# Tests the R package both ways it links the library:
# - against the library built in BUILD, found through pkg-config: installs the library into
#   BUILD/r-prefix, the package into the R library BUILD/r-lib (with an rpath to that libveltn, so
#   it loads with no environment variable), runs its testthat tests, then examples/fit.R when the
#   library knows the norm sum_sq;
# - on its own: R CMD build makes the tarball (which carries a copy of the library's sources) and
#   R CMD check --no-manual installs it in a fresh place, building the library from that copy
#   and linking it statically; any ERROR or WARNING fails (NOTEs are printed).
# Usage: scripts/test-r.sh [build-dir]   (scripts/test.sh runs it after the C++ tests)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${1:-build}
case $build in /*) ;; *) build="$PWD/$build" ;; esac
if grep -q '^VELTN_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "R package: not tested in a sanitizer build (R does not load the sanitizer runtime first)"
  exit 0
fi
prefix="$build/r-prefix"
rlib="$build/r-lib"
cmake --install "$build" --prefix "$prefix" > /dev/null
pc=$(find "$prefix" -name veltn.pc | head -n 1)
mkdir -p "$rlib"
if ! PKG_CONFIG_PATH="$(dirname "$pc")" R CMD INSTALL --clean --library="$rlib" r > "$build/r-install.log" 2>&1; then
  cat "$build/r-install.log"
  exit 1
fi
export R_LIBS="$rlib"
(cd r/tests/testthat && Rscript -e 'r <- as.data.frame(testthat::test_dir(".", package = "veltn",
  load_package = "installed", reporter = testthat::SummaryReporter$new(show_praise = FALSE), stop_on_failure = TRUE))
  cat(sprintf("R package: %d tests, %d expectations passed, %d tests skipped, %d failed\n", nrow(r),
              sum(r$passed), sum(r$skipped), sum(r$failed)))')
if Rscript -e 'n <- suppressMessages(veltn::veltn_network("1 1 2 1 32 1 2 id sum_sq"))
  p <- rep(0, veltn::veltn_n_params(n))
  q(status = tryCatch({veltn::veltn_objective(n, p, 0, 0); 0}, veltn_error = function(e) 1))'; then
  Rscript examples/fit.R "$build/fit.png" | tail -n 3
else
  echo "examples/fit.R: not run, the library does not know the norm sum_sq yet"
fi

# The tarball on its own. The check's temporary files stay under BUILD, where ccache (used when
# installed) finds the same relative paths from one run to the next.
check="$build/r-check"
rm -rf "$check"
mkdir -p "$check/tmp"
(cd r && sh tools/vendor-libveltn.sh)
(cd "$check" && R CMD build --no-build-vignettes --no-manual "$root/r" > build.log 2>&1) || { cat "$check/build.log"; exit 1; }
tarball=$(ls "$check"/veltn_*.tar.gz)
if command -v ccache > /dev/null && [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ]; then
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="${CCACHE_BASEDIR:-$check}"
fi
status=0
(cd "$check" && TMPDIR="$check/tmp" VELTN_FROM_SOURCE=1 _R_CHECK_FORCE_SUGGESTS_=false \
   R CMD check --no-manual --no-build-vignettes "$tarball" > check.log 2>&1) || status=$?
log="$check/veltn.Rcheck/00check.log"
if [ "$status" -ne 0 ] || grep -qE '^Status:.*(ERROR|WARNING)' "$log"; then
  cat "$check/check.log"
  cat "$check/veltn.Rcheck/00install.out" 2>/dev/null | tail -n 40
  exit 1
fi
echo "R CMD check on $(basename "$tarball"): $(grep '^Status:' "$log")"
grep -B1 -A8 -E '\.\.\. NOTE$' "$log" || true

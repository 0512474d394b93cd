#!/usr/bin/env bash
# Runs each fuzz target for SECONDS from its seed corpus: fuzz/run.sh BUILD_DIR SECONDS [libFuzzer flags...]
# New inputs go to a scratch copy of the corpus, so the repository's seeds stay as they are.
# Any crash, leak, timeout or allocation above 64 MiB ends the run with a non-zero status and
# leaves the input in the scratch directory, which is printed.
set -euo pipefail
cd "$(dirname "$0")"
build=$(cd "../${1:?usage: fuzz/run.sh BUILD_DIR SECONDS}" && pwd)
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS}
shift 2
scratch=$(mktemp -d)
status=0
# target, corpus, longest input, RSS limit (MiB): 8000 bytes holds every v7.3 seed and keeps the
# largest matrix a compressed input may announce (1032 x its size, as doubles) under the 64 MiB
# allocation limit. The description target builds handles of up to 1 MB each, and the
# sanitizer's quarantine of their freed storage lifts its resident size to about 700 MB.
for spec in "fuzz_description description 512 2048" "fuzz_mat4 mat4 4096 1024" "fuzz_matio matio 8000 1024"; do
  read -r target corpus max_len rss <<< "$spec"
  mkdir -p "$scratch/$target"
  cp corpus/"$corpus"/* "$scratch/$target"/
  echo "== $target: $seconds s from $(ls corpus/"$corpus" | wc -l) seeds"
  # close_fd_mask=3: the readers' own error lines would drown libFuzzer's report.
  if ! (cd "$scratch" && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        "$build/fuzz/$target" "$scratch/$target" -max_total_time="$seconds" -max_len="$max_len" \
        -rss_limit_mb="$rss" -malloc_limit_mb=64 -timeout=10 -close_fd_mask=3 -print_final_stats=1 "$@" \
        2>&1 | tee "$scratch/$target.log" | grep -E "^#[0-9]+ +(DONE|INITED)|stat::|ERROR|SUMMARY|==[0-9]+==|Test unit written"; \
        exit "${PIPESTATUS[0]}"); then
    status=1
    echo "== $target FAILED; inputs and log in $scratch"
  fi
done
[ "$status" -eq 0 ] && rm -rf "$scratch"
exit "$status"

#!/usr/bin/env bash
# Builds the fuzz targets and runs each for the given number of seconds
# (default 60), starting from the corpus kept in fuzz/corpus. New inputs go
# to a scratch directory; a finding stops the script with its input saved in
# fuzz/findings/ to be turned into a regression test.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir -p fuzz/findings
for target in options exclude_list fit_path dos_time; do
  mkdir -p "$scratch/$target"
  echo "== fuzz_$target for ${seconds}s"
  if ! build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix=fuzz/findings/$target- "$scratch/$target" "fuzz/corpus/$target" \
        >"$scratch/$target.log" 2>&1; then
    tail -n 40 "$scratch/$target.log"
    echo "fuzz_$target found a failing input: see fuzz/findings/"
    exit 1
  fi
  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb' "$scratch/$target.log"
done

#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer + ASan + UBSan) and runs each
# for FUZZ_SECONDS (default 20), starting from fuzz/corpus/<target>. Fails on
# any crash or sanitizer report. Prints executions and coverage per target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${FUZZ_SECONDS:-20}"
build="${FUZZ_BUILD:-build-fuzz}"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DKORIMO_FUZZ=ON -DKORIMO_WITH_QT=OFF \
  -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target fuzz_parse_command fuzz_form_field fuzz_request_path
status=0
for t in parse_command form_field request_path; do
  work=$(mktemp -d)
  log="$work/log"
  if "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=4096 \
       -print_final_stats=1 -artifact_prefix="$work/" "$work" "$PWD/fuzz/corpus/$t" >"$log" 2>&1; then
    execs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}')
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | awk '{print $2}')
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | awk '{print $2}')
    echo "fuzz $t: ${seconds}s, $execs executions, coverage $cov edges ($ft features), no crash"
  else
    echo "fuzz $t: FAILED" >&2
    grep -E 'ERROR|SUMMARY|runtime error|Test unit written' "$log" | head -20 >&2 || tail -30 "$log" >&2
    status=1
  fi
  rm -rf "$work"
done
exit $status

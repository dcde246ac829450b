#!/usr/bin/env bash
# Builds the benchmark in Release into build-bench/ and runs it. Generated days
# are cached in build-bench/bench-data/ and made again only when missing.
# Arguments (all optional): RUNS (5), DATE_CHANGES (20), one size such as 200000x30.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TABULON_BENCH_BUILD:-$root/build-bench}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target tabulon_bench tabulon_bench_child
uptime
"$build/bench/tabulon_bench" "$build/bench/tabulon_bench_child" "$build/bench-data" "${1:-5}" "${2:-20}" "${3:-}"

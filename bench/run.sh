#!/usr/bin/env bash
# Builds the benchmark in Release into build-bench/ (or $TABULON_BENCH_BUILD)
# and runs it. Generated databases are cached in its bench-data/ and made
# again only when missing or out of date.
# Arguments (all optional): RUNS (5), DATE_CHANGES (20), and SETS: one set
# such as 200000x30, 200000x30-distinct, 800000x5-text, 1000000x30-distinct or
# year, or several separated by commas. Without SETS every set runs but
# 1000000x30-distinct, which needs about 5 GB of memory and runs only by name.
# "keys" as the first argument times F5 and Ctrl+A, Ctrl+C instead: then RUNS
# (3) and SETS (200000x30-distinct,year) follow.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TABULON_BENCH_BUILD:-$root/build-bench}"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j 2 --target tabulon_bench tabulon_bench_child
# The load before and after: the machine is shared, and figures are noisy.
uptime
"$build/bench/tabulon_bench" "$build/bench/tabulon_bench_child" "$build/bench-data" "${1:-5}" "${2:-20}" "${3:-}"
uptime

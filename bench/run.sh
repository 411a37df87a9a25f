#!/bin/sh
# Builds the benchmarks and runs both: the line list and name hash in memory (medians of five
# repetitions), then whole conversions by the built gantrel against the floor program and cp (RUNS
# alternating runs of each, 300 by default). Neither is part of the test suite.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh --bench
cmake --preset bench >/dev/null
cmake --build --preset bench
build/bench/bench/gantrel_line_list_bench --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_display_aggregates_only=true 2>&1 |
    grep -E '^(Benchmark|-|[a-z0-9_/]+_median)'
build/bench/bench/gantrel_process_bench build/bench/gantrel build/bench/bench/gantrel_floor \
    examples/icosahedron.quorvdata "${1:-300}"

#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and UndefinedBehaviorSanitizer,
# warnings as errors, and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir="${QUORVEL_BUILD_DIR:-build/sanitize}"
jobs="${QUORVEL_JOBS:-$(nproc)}"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON -DQUORVEL_BENCHMARKS=OFF -DQUORVEL_WERROR=ON
cmake --build "$build_dir" -j "$jobs"

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" --timeout 300

#!/usr/bin/env bash
# Builds everything with ThreadSanitizer and runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir="${QUORVEL_BUILD_DIR:-build/tsan}"
jobs="${QUORVEL_JOBS:-$(nproc)}"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_TSAN=ON -DQUORVEL_BENCHMARKS=OFF -DQUORVEL_WERROR=ON
cmake --build "$build_dir" -j "$jobs"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" --timeout 300

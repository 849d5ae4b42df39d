#!/usr/bin/env bash
# Builds everything with ThreadSanitizer and runs the whole test suite. QUORVEL_BUILD_DIR names the
# folder, QUORVEL_JOBS sets the parallelism, QUORVEL_DROP_BUILDS=1 removes the folder once the
# tests pass.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

build_dir="${QUORVEL_BUILD_DIR:-build/tsan}"
jobs="${QUORVEL_JOBS:-$(nproc)}"

cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Debug -DQUORVEL_TSAN=ON -DQUORVEL_BENCHMARKS=OFF -DQUORVEL_WERROR=ON
cmake --build "$build_dir" -j "$jobs"

export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp"
ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" --timeout 300
if [ "${QUORVEL_DROP_BUILDS:-0}" = 1 ]; then
    rm -rf "$build_dir"
fi

#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite twice: with AddressSanitizer
# and UndefinedBehaviorSanitizer (Debug), and optimized as a user ships it (RelWithDebInfo), both
# with warnings as errors. Some faults show only under one of them: the sanitizers find memory and
# undefined-behaviour errors, while optimization changes timing and inlining enough to show races
# the slower sanitized build hides.
#
# QUORVEL_TEST_BUILDS picks the builds ("sanitize", "release" or both, the default);
# QUORVEL_BUILD_DIR, with a single build, names its folder; QUORVEL_JOBS sets the parallelism;
# QUORVEL_DROP_BUILDS=1 removes each build's folder once its tests pass (CI, short of disk).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

builds="${QUORVEL_TEST_BUILDS:-sanitize release}"
jobs="${QUORVEL_JOBS:-$(nproc)}"
build_count=$(wc -w <<<"$builds")

for build in $builds; do
    case "$build" in
        sanitize)
            flags=(-DCMAKE_BUILD_TYPE=Debug -DQUORVEL_SANITIZE=ON)
            default_dir=build/sanitize
            ;;
        release)
            flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
            default_dir=build/optimized
            ;;
        *)
            echo "unknown build in QUORVEL_TEST_BUILDS: $build (sanitize or release)" >&2
            exit 2
            ;;
    esac
    build_dir="$default_dir"
    if [ "$build_count" -eq 1 ] && [ -n "${QUORVEL_BUILD_DIR:-}" ]; then
        build_dir="$QUORVEL_BUILD_DIR"
    fi
    echo "== $build build in $build_dir"
    cmake -S . -B "$build_dir" "${flags[@]}" -DQUORVEL_BENCHMARKS=OFF -DQUORVEL_WERROR=ON
    cmake --build "$build_dir" -j "$jobs"
    ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        ctest --test-dir "$build_dir" --output-on-failure -j "$jobs" --timeout 300
    if [ "${QUORVEL_DROP_BUILDS:-0}" = 1 ]; then
        rm -rf "$build_dir"
    fi
done

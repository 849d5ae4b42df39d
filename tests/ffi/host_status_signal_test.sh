#!/usr/bin/env bash
# The example host prints each agent's status report on SIGUSR1 and keeps running, and prints it
# once more when SIGINT stops it.
#   host_status_signal_test.sh HOST
set -uo pipefail
host="$1"
work="$(mktemp -d "${TMPDIR:-/tmp}/quorvel-host-signal.XXXXXX")"
pid=""
cleanup() {
    if [ -n "$pid" ]; then
        kill -KILL "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAILED: $*"
    echo "--- the host's output:"
    cat "$work/out"
    echo "--- the agent's log (last lines):"
    tail -n 20 "$work/log"
    exit 1
}
# Waits up to 30 s until the host's output has COUNT lines matching PATTERN.
wait_for() {
    local pattern="$1" count="$2"
    for _ in $(seq 1 300); do
        if [ "$(grep -c -- "$pattern" "$work/out")" -ge "$count" ]; then
            return 0
        fi
        sleep 0.1
    done
    fail "no $count lines matching '$pattern'"
}
reports() { grep -c '^\[solo\] status report:$' "$work/out"; }

export QUORVEL_MIN_POW_DIFFICULTY=0
"$host" --duration 120 "name=solo,config=$work/solo.toml" >"$work/out" 2>"$work/log" &
pid=$!
wait_for '^\[solo\] started with configuration' 1
[ "$(reports)" -eq 0 ] || fail "a status report before any signal"

for round in 1 2; do
    kill -USR1 "$pid"
    wait_for '^\[solo\] status report:$' "$round"
    kill -0 "$pid" 2>/dev/null || fail "the host ended on SIGUSR1"
done
grep -q '^stopping' "$work/out" && fail "the host stopped on SIGUSR1"
grep -q '^Info:$' "$work/out" || fail "the report has no Info section"

kill -INT "$pid"
wait "$pid"
status=$?
pid=""
[ "$status" -eq 0 ] || fail "the host exited with $status"
[ "$(reports)" -eq 3 ] || fail "$(reports) status reports, not 3"
[ "$(grep -n '^stopping (signal)$' "$work/out" | cut -d: -f1)" -lt \
    "$(grep -n '^\[solo\] shut down$' "$work/out" | cut -d: -f1)" ] ||
    fail "the last report is not printed on stopping"
echo "the host printed its status report on each SIGUSR1 and on stopping"

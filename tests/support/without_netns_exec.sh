#!/usr/bin/env bash
# Runs COMMAND... where network namespaces can be created but no command can run inside one (the
# `ip` of no_netns_exec/ comes first on the PATH), shows its output, and passes when it exits 0 and
# its output matches the extended regular expression PATTERN. Exits 77 (skipped) where namespaces
# cannot be created at all, since the command then never reaches the case.
#   without_netns_exec.sh PATTERN COMMAND...
set -uo pipefail
pattern="$1"
shift
probe="qv-netns-probe-$$"
if ! ip netns add "$probe" 2>/dev/null; then
    echo "network namespaces cannot be created here; skipped"
    exit 77
fi
ip netns delete "$probe"
here="$(cd "$(dirname "$0")" && pwd)"
output="$(PATH="$here/no_netns_exec:$PATH" "$@" 2>&1)"
status=$?
printf '%s\n' "$output"
if [ "$status" -ne 0 ]; then
    echo "FAILED: the command exited with $status"
    exit 1
fi
if ! grep -qE -- "$pattern" <<<"$output"; then
    echo "FAILED: the output does not match: $pattern"
    exit 1
fi

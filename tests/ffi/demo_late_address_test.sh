#!/usr/bin/env bash
# The demo copes with an address that comes after the agents' first housekeeping pass: the first
# retrieval of the network document fails (the file is missing), or the document at first lists
# only alpha, and the document in full appears a few seconds later. The demo then still succeeds,
# with its traffic only after both addresses. Where the document never becomes valid, the demo
# fails after its wait, names the agent without an address and shows why from its status report.
#   demo_late_address_test.sh HOST DEMO_SCRIPT
set -uo pipefail
host="$1"
demo="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/quorvel-demo-late.XXXXXX")"
trap 'rm -rf "$work"' EXIT
failures=0

# Each case: name | demo mode (auto: TUN devices where the machine allows them) | document delay |
# early members | expected exit status | agents reported without an address | status line shown
# for each of them.
cases=(
    "missing_at_first|socketpair|3||0||"
    "bravo_not_yet_member|socketpair|3|alpha|0||"
    "missing_at_first_auto_mode|auto|3||0||"
    "never_there|socketpair|never||1|alpha bravo|Status: RetrieveConfigError(\"I/O error: No such file or directory"
    "bravo_never_member|socketpair|never|alpha|1|bravo|Status: NotAMemberError"
)

# First line number of a line matching $1 in $2 (0 for none).
line_of() {
    local n
    n="$(grep -n -m 1 -- "$1" "$2" | cut -d: -f1)"
    echo "${n:-0}"
}

# Runs the demo of one case, leaving its output in $work/NAME.out and its exit status in
# $work/NAME.rc.
run_demo() {
    local name="$1" mode="$2" delay="$3" early="$4"
    local mode_env=()
    [ "$mode" = auto ] || mode_env=(QUORVEL_DEMO_MODE="$mode")
    # The demo bounds its own wait; this bound only keeps a hanging demo from hanging the test.
    env "${mode_env[@]}" QUORVEL_DEMO_HOST="$host" QUORVEL_DEMO_DOCUMENT_DELAY="$delay" \
        QUORVEL_DEMO_EARLY_NODES="$early" timeout -k 10 150 bash "$demo" >"$work/$name.out" 2>&1
    echo $? >"$work/$name.rc"
}

check_case() {
    local name="$1" early="$4" want_rc="$5" unaddressed="$6" why="$7"
    local out="$work/$name.out" problems=()
    local rc
    rc="$(cat "$work/$name.rc")"
    [ "$rc" -ne 124 ] || problems+=("the demo did not end within 150 s")
    [ "$rc" -eq "$want_rc" ] || problems+=("exit status $rc, expected $want_rc")

    # The first pass reported no address for an agent missing from the first document.
    local late=(bravo)
    [ -n "$early" ] || late=(alpha bravo)
    for agent in "${late[@]}"; do
        [ "$(line_of "^\[$agent\] network change: ips='' " "$out")" -gt 0 ] ||
            problems+=("no first network change of $agent without an address")
    done

    local requests
    requests="$(line_of "tunnel: sending ICMP echo request\|^\\\$ ip netns exec .* ping" "$out")"
    if [ "$want_rc" -eq 0 ]; then
        grep -qx "== demo complete" "$out" || problems+=("no '== demo complete'")
        grep -q "did not report its address" "$out" && problems+=("an agent reported missing")
        for expected in "^\[alpha\] network change: ips='10.77.0.1/24' " \
            "^\[bravo\] network change: ips='10.77.0.2/24' "; do
            local at
            at="$(line_of "$expected" "$out")"
            if [ "$at" -eq 0 ]; then
                problems+=("missing: $expected")
            elif [ "$requests" -eq 0 ] || [ "$requests" -lt "$at" ]; then
                problems+=("the echo requests do not follow: $expected")
            fi
        done
        if grep -q "tunnel: sending ICMP echo request" "$out"; then
            grep -q "^\[alpha\] 3 of 3 echo requests answered$" "$out" ||
                problems+=("not every echo request was answered")
        fi
    else
        grep -qx "== demo FAILED" "$out" || problems+=("no '== demo FAILED'")
        [ "$requests" -eq 0 ] || problems+=("echo requests sent without both addresses")
        for agent in alpha bravo; do
            local message="^== $agent did not report its address 10.77.0.[12]/24 within 20 s"
            case " $unaddressed " in
            *" $agent "*)
                # The message, then that agent's Networks section up to the demo's next line.
                local section
                section="$(awk -v m="$message" '$0 ~ m { on = 1; next }
                                                 on && /^== / { exit }
                                                 on { print }' "$out")"
                if [ "$(line_of "$message" "$out")" -eq 0 ]; then
                    problems+=("no message that $agent has no address")
                elif ! grep -qx "Networks:" <<<"$section"; then
                    problems+=("no Networks section after the message about $agent")
                elif ! grep -qF -- "$why" <<<"$section"; then
                    problems+=("$agent's Networks section does not show '$why'")
                fi
                ;;
            *)
                [ "$(line_of "$message" "$out")" -eq 0 ] ||
                    problems+=("$agent is reported without an address, yet it has one")
                ;;
            esac
        done
    fi

    if [ ${#problems[@]} -eq 0 ]; then
        echo "ok: $name"
        return
    fi
    failures=$((failures + 1))
    echo "FAILED: $name"
    printf '  %s\n' "${problems[@]}"
    echo "--- the demo's output:"
    grep -v '^    \|^      ' "$out"
}

# The demos run side by side (each has its own folder, keys and namespaces), then each is checked.
for row in "${cases[@]}"; do
    IFS='|' read -r name mode delay early _ <<<"$row"
    run_demo "$name" "$mode" "$delay" "$early" &
done
wait
for row in "${cases[@]}"; do
    IFS='|' read -r name mode delay early want_rc unaddressed why <<<"$row"
    check_case "$name" "$mode" "$delay" "$early" "$want_rc" "$unaddressed" "$why"
done
[ "$failures" -eq 0 ] || exit 1
echo "the demo waited for late addresses and named each agent that never got one"

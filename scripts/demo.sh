#!/usr/bin/env bash
# The agent's main job, end to end: installs what is missing, builds with CMake's defaults and
# runs two agents through the C interface (the example host in examples/), each with a freshly
# generated configuration, both joined to the example network document in examples/ through a
# file:// URL (no controller). It prints each agent's network change and status report and shows
# traffic crossing the overlay from one agent's tunnel to the other's, then shuts down.
#
# Where TUN devices and network namespaces are available (root on Linux), each agent gets a TUN
# device inside a network namespace of its own, and `ping` runs from one agent's namespace to the
# other agent's overlay address. Otherwise the same two agents run on packet socket pairs and the
# host sends ICMP echo requests through one tunnel and shows them arrive at the other.
#
# Nothing is configured in the machine's own network namespace: the namespaces, the TUN devices
# in them and their addresses and routes are created here and removed at the end. The agents'
# peer-to-peer traffic stays on the loopback interface.
#
# An agent reports its address in a network change once a housekeeping pass has read the network
# document; a pass whose read fails reports no address, and the next pass is the retry. The demo
# therefore waits up to two of the agent's housekeeping intervals for both addresses before any
# traffic, and when an agent has none by then, fails and shows that agent's Networks section of
# its status report, which names the reason (a retrieval error, say).
#
# Environment: QUORVEL_DEMO_MODE=socketpair forces the fallback; QUORVEL_BUILD_DIR picks the
# build directory (default build/default); QUORVEL_DEMO_HOST names an already built example host
# and skips installing and building.
# For tests of a late address: QUORVEL_DEMO_DOCUMENT_DELAY=SECONDS puts the network document in
# place only SECONDS after the host starts (`never`: not at all); until then its file is missing,
# or, with QUORVEL_DEMO_EARLY_NODES naming agents (e.g. "alpha"), holds a document in which only
# those agents are members.
set -euo pipefail
cd "$(dirname "$0")/.."

# Each agent binds a free loopback port unless QUORVEL_UDP_PORT says otherwise: the port its key
# names may be held by another program (or another demo), which would fail the agent's start.
export QUORVEL_UDP_PORT="${QUORVEL_UDP_PORT-0}"

if [ -n "${QUORVEL_DEMO_HOST:-}" ]; then
    host="$QUORVEL_DEMO_HOST"
else
    bash scripts/install-deps.sh
    build_dir="${QUORVEL_BUILD_DIR:-build/default}"
    echo "== building with CMake's defaults in $build_dir"
    mkdir -p "$build_dir"
    # The compiler's output goes to a log, shown only when the build fails; meanwhile the build's
    # own progress lines show, one per step of its percentage.
    if ! { cmake -S . -B "$build_dir" &&
        cmake --build "$build_dir" -j "${QUORVEL_JOBS:-$(nproc)}" --target quorvel_host; } 2>&1 |
        tee "$build_dir/demo-build.log" |
        awk 'match($0, /^\[ *[0-9]+%\]/) {
                 pct = substr($0, RSTART, RLENGTH)
                 if (pct != last) { print; fflush(); last = pct }
             }'; then
        tail -n 60 "$build_dir/demo-build.log"
        echo "== the build failed; its whole output is in $build_dir/demo-build.log"
        exit 1
    fi
    host="$build_dir/quorvel_host"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/quorvel-demo.XXXXXX")"
ns_a="qv-demo-alpha-$$"
ns_b="qv-demo-bravo-$$"
namespaces=()
host_pid=""

cleanup() {
    if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
        kill -INT "$host_pid" 2>/dev/null || true
        wait "$host_pid" 2>/dev/null || true
    fi
    for ns in "${namespaces[@]}"; do
        ip netns delete "$ns" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

# A new identity is a proof of work; a lower difficulty than the default keeps the demo quick.
export QUORVEL_MIN_POW_DIFFICULTY="${QUORVEL_MIN_POW_DIFFICULTY:-16}"

echo "== generating two agent configurations"
alpha_pk="$("$host" --public-key "$work/alpha.toml" 2>/dev/null)"
bravo_pk="$("$host" --public-key "$work/bravo.toml" 2>/dev/null)"
echo "alpha: $work/alpha.toml, public key $alpha_pk"
echo "bravo: $work/bravo.toml, public key $bravo_pk"

# The network document with the agents named in $1 as its members; a key nobody holds stands in
# for each other agent's.
document() {
    local alpha="0000000000000000000000000000000000000000000000000000000000000000"
    local bravo="$alpha"
    case " $1 " in *" alpha "*) alpha="$alpha_pk" ;; esac
    case " $1 " in *" bravo "*) bravo="$bravo_pk" ;; esac
    sed -e "s/@ALPHA_PK@/$alpha/" -e "s/@BRAVO_PK@/$bravo/" examples/demo-network.toml.in
}
document_delay="${QUORVEL_DEMO_DOCUMENT_DELAY:-}"
if [ -z "$document_delay" ]; then
    document "alpha bravo" >"$work/network.toml"
elif [[ "$document_delay" =~ ^([0-9]+|never)$ ]]; then
    document "alpha bravo" >"$work/network.later"
    if [ -n "${QUORVEL_DEMO_EARLY_NODES:-}" ]; then
        document "$QUORVEL_DEMO_EARLY_NODES" >"$work/network.toml"
    fi
else
    echo "QUORVEL_DEMO_DOCUMENT_DELAY must be a number of seconds or never" >&2
    exit 2
fi
network_url="file://$work/network.toml"
echo "network: $network_url (10.77.0.0/24: alpha 10.77.0.1, bravo 10.77.0.2)"

# The agent runs a housekeeping pass when it starts and then every 10 seconds (Agent::start in
# src/agent/agent.cpp; the "Housekeeping Interval" of the status report belongs to the P2P node,
# not to this pass). An address that the first pass missed comes with a later one.
housekeeping_interval=10
address_wait=$((2 * housekeeping_interval))
host_started=0
unaddressed=()

# Succeeds once agent $1 has reported the addresses $2 in a network change (and, on a TUN device,
# the host has applied that change).
has_address() {
    awk -v change="[$1] network change: ips='$2' " -v applied="[$1] applied to " -v mode="$mode" '
        index($0, change) == 1 { seen = 1 }
        seen && (mode != "tun" || index($0, applied) == 1) { found = 1; exit }
        END { exit !found }' "$work/host.out"
}

# Waits until both agents have their addresses, up to two housekeeping intervals after the host
# started, or until the host ends; leaves the names of those without in `unaddressed`, and in
# `wait_end` how the wait ended.
wait_end=""
wait_for_addresses() {
    while :; do
        if [ -e "$work/network.later" ] && [ "$document_delay" != never ] &&
            [ $((SECONDS - host_started)) -ge "$document_delay" ]; then
            # Renamed into place, so that no read ever sees half a document.
            mv -f "$work/network.later" "$work/network.toml"
        fi
        unaddressed=()
        has_address alpha 10.77.0.1/24 || unaddressed+=(alpha)
        has_address bravo 10.77.0.2/24 || unaddressed+=(bravo)
        if [ ${#unaddressed[@]} -eq 0 ]; then
            return 0
        elif ! kill -0 "$host_pid" 2>/dev/null; then
            wait_end="before the host ended"
            return 0
        elif [ $((SECONDS - host_started)) -ge "$address_wait" ]; then
            wait_end="within $address_wait s (two housekeeping intervals of the agent)"
            return 0
        fi
        sleep 0.1
    done
}

# The Networks section of the last status report of agent $1 in the host's output (the whole
# report where it has none).
networks_section() {
    local line
    # No report is an answer too (the host ended before the agent started): not a failure of
    # this script, which goes on to say that the demo failed.
    line="$(grep -nxF "[$1] status report:" "$work/host.out" | tail -n 1 | cut -d: -f1 || true)"
    if [ -z "$line" ]; then
        echo "  (the host printed no status report of $1)"
        return 0
    fi
    # awk reads the file itself: leaving a pipe early would end its writer with SIGPIPE.
    awk -v from="$line" '
        NR <= from { next }
        /^\[/ { exit }
        { report = report $0 "\n" }
        /^Networks:$/ { in_section = 1 }
        in_section && /^[^ ]/ && !/^Networks:$/ { in_section = 0 }
        in_section { section = section $0 "\n" }
        END { printf "%s", section != "" ? section : report }' "$work/host.out"
}

mode=tun
reason=""
if [ "${QUORVEL_DEMO_MODE:-}" = socketpair ]; then
    mode=socketpair
    reason="the socket-pair mode was asked for"
elif [ ! -c /dev/net/tun ]; then
    mode=socketpair
    reason="/dev/net/tun is not available"
elif ! command -v ip >/dev/null || ! command -v ping >/dev/null; then
    mode=socketpair
    reason="the ip or ping command is missing"
elif ! ip netns add "$ns_a" 2>/dev/null; then
    mode=socketpair
    reason="network namespaces cannot be created here (this needs root on Linux)"
else
    namespaces+=("$ns_a")
    if ! ip netns add "$ns_b" 2>/dev/null; then
        mode=socketpair
        reason="a second network namespace cannot be created"
    else
        namespaces+=("$ns_b")
        # Creating a namespace can work where running a command in one cannot (`ip netns exec`
        # and `ip -n` remount / and /sys, which fails where / is not a mount point).
        if ! probe="$(ip netns exec "$ns_a" true 2>&1)"; then
            mode=socketpair
            probe="${probe%%$'\n'*}"
            reason="commands cannot run in a network namespace here (ip netns exec: ${probe:-failed})"
        fi
    fi
fi

status=0
if [ "$mode" = tun ]; then
    echo "== running both agents on TUN devices, in namespaces $ns_a and $ns_b"
    ip -n "$ns_a" link set lo up
    ip -n "$ns_b" link set lo up
    : >"$work/host.out"
    host_started=$SECONDS
    "$host" --duration 120 \
        "name=alpha,config=$work/alpha.toml,network=$network_url,tun=qv-alpha,netns=$ns_a" \
        "name=bravo,config=$work/bravo.toml,network=$network_url,tun=qv-bravo,netns=$ns_b" \
        >"$work/host.out" 2>"$work/agent.log" &
    host_pid=$!
    wait_for_addresses
    cat "$work/host.out"
    shown=$(wc -l <"$work/host.out")
    if [ ${#unaddressed[@]} -eq 0 ]; then
        echo "== ping from alpha's namespace to bravo's overlay address"
        echo "\$ ip netns exec $ns_a ping -c 3 -W 2 10.77.0.2"
        if ! ip netns exec "$ns_a" ping -c 3 -W 2 10.77.0.2 | tee "$work/ping.out"; then
            status=1
        fi
        grep -q " 0% packet loss" "$work/ping.out" || status=1
    fi
    echo "== stopping the host"
    kill -INT "$host_pid" 2>/dev/null || true
    wait "$host_pid" || status=1
    host_pid=""
    tail -n +"$((shown + 1))" "$work/host.out"
else
    echo "== TUN devices in network namespaces are not available: $reason"
    echo "== running both agents on packet socket pairs; the host sends ICMP echo requests"
    echo "   through alpha's tunnel and answers them at bravo's"
    # The host sends the requests itself, once both agents have their addresses.
    : >"$work/host.out"
    host_started=$SECONDS
    "$host" --duration 60 --exit-after-ping \
        "name=alpha,config=$work/alpha.toml,network=$network_url,ping=10.77.0.2" \
        "name=bravo,config=$work/bravo.toml,network=$network_url" \
        >"$work/host.out" 2>"$work/agent.log" &
    host_pid=$!
    wait_for_addresses
    if [ ${#unaddressed[@]} -ne 0 ]; then
        kill -INT "$host_pid" 2>/dev/null || true
    fi
    wait "$host_pid" || status=1
    host_pid=""
    cat "$work/host.out"
    grep -q "^\[bravo\] tunnel: ICMP echo request from 10.77.0.1 to 10.77.0.2" "$work/host.out" ||
        status=1
    grep -q "^\[alpha\] tunnel: ICMP echo reply from 10.77.0.2" "$work/host.out" || status=1
fi

# What every run must show: both agents' addresses and a status report of each agent.
for name in "${unaddressed[@]}"; do
    case "$name" in alpha) ips=10.77.0.1/24 ;; *) ips=10.77.0.2/24 ;; esac
    echo "== $name did not report its address $ips $wait_end;"
    echo "   its networks, from its status report:"
    networks_section "$name"
    status=1
done
for expected in "^\[alpha\] status report" "^\[bravo\] status report"; do
    if ! grep -q "$expected" "$work/host.out"; then
        echo "missing from the host's output: $expected"
        status=1
    fi
done
if grep -q "(no status report available)" "$work/host.out"; then
    echo "an agent gave no status report"
    status=1
fi
if [ "$status" -ne 0 ]; then
    echo "== the demo did not complete; the agents' log:"
    tail -n 40 "$work/agent.log"
    echo "== demo FAILED"
else
    echo "== demo complete"
fi
exit "$status"

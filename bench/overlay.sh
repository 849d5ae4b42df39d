#!/usr/bin/env bash
# The agent's main job at the speed of its data path: two agents in the example host, each on a
# TUN device in a network namespace of its own, carry a TCP transfer and a fixed-rate UDP flow
# across the overlay; then the same two namespaces get their TUN devices from a bare relay (one
# read, send, receive and write per packet over loopback UDP, bench/bare_relay.c) and carry the
# same transfers. It prints each side's throughput, their ratio, TCP retransmits, UDP loss, CPU
# seconds per GB moved and the resident memory, and the agents' log volume during the transfer.
#
# A benchmark, not a test: nothing judges its figures. Other load on the machine moves them; the
# ratios of one run are what compares. Installs what it needs (iperf3, jq and the build's
# packages), builds Release, and skips with the reason where TUN devices or network namespaces are
# not available (it needs root on Linux). The namespaces, devices, addresses and processes are its
# own and are removed on any exit; the agents' peer-to-peer traffic and the relay's datagrams stay
# on the loopback interface.
#
# Environment: QUORVEL_BENCH_SECONDS (each transfer's length, default 8), QUORVEL_BENCH_UDP_RATE
# (the UDP flow's rate as iperf3 takes it, default 400M), QUORVEL_BENCH_ROUNDS (overlay and relay
# alternate this many times, default 1; the table shows medians), QUORVEL_BENCH_TXQUEUELEN (the
# transmit queue of both sides' TUN devices, in packets; default: the system's),
# QUORVEL_BUILD_DIR (default build/release), QUORVEL_BENCH_HOST (an already built example host:
# skips installing and building; the relay is then looked for beside it), QUORVEL_BENCH_KEEP
# (keeps the working folder with the agents' log and iperf3's reports, and names it).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${QUORVEL_BENCH_SECONDS:-8}"
udp_rate="${QUORVEL_BENCH_UDP_RATE:-400M}"
rounds="${QUORVEL_BENCH_ROUNDS:-1}"
# The TUN devices' transmit queue (packets the kernel holds for the reader), the same on both
# sides; empty keeps the system's default.
txqueuelen="${QUORVEL_BENCH_TXQUEUELEN:-}"
# What the relay's sockets ask for: the same as the agent's node does.
socket_buffer=$((4 * 1024 * 1024))

skip() {
    echo "== overlay benchmark skipped: $1"
    exit 0
}

if [ -n "${QUORVEL_BENCH_HOST:-}" ]; then
    host="$QUORVEL_BENCH_HOST"
    relay="$(dirname "$host")/quorvel_bare_relay"
else
    bash scripts/install-deps.sh
    need=()
    for p in iperf3 jq; do
        command -v "$p" >/dev/null || need+=("$p")
    done
    if [ "${#need[@]}" -gt 0 ] && [ "$(id -u)" -eq 0 ]; then
        echo "installing: ${need[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${need[@]}"
    fi
    build_dir="${QUORVEL_BUILD_DIR:-build/release}"
    echo "== building Release in $build_dir"
    mkdir -p "$build_dir"
    if ! { cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DQUORVEL_TESTS=OFF &&
        cmake --build "$build_dir" -j "${QUORVEL_JOBS:-$(nproc)}" \
            --target quorvel_host quorvel_bare_relay; } >"$build_dir/overlay-build.log" 2>&1; then
        tail -n 60 "$build_dir/overlay-build.log"
        echo "== the build failed; its whole output is in $build_dir/overlay-build.log"
        exit 1
    fi
    host="$build_dir/quorvel_host"
    relay="$build_dir/quorvel_bare_relay"
fi

for program in "$host" "$relay"; do
    [ -x "$program" ] || { echo "== $program is missing"; exit 1; }
done
[ "$(uname -s)" = Linux ] || skip "TUN devices in network namespaces need Linux"
[ "$(id -u)" -eq 0 ] || skip "creating network namespaces and TUN devices needs root"
[ -c /dev/net/tun ] || skip "/dev/net/tun is not available"
for tool in ip iperf3 jq; do
    command -v "$tool" >/dev/null || skip "the $tool command is missing"
done

work="$(mktemp -d "${TMPDIR:-/tmp}/quorvel-overlay.XXXXXX")"
ns_a="qv-bench-alpha-$$"
ns_b="qv-bench-bravo-$$"
namespaces=()
pids=()

stop_pid() {
    local pid="$1"
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
        kill -INT "$pid" 2>/dev/null || true
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    fi
}

cleanup() {
    for pid in "${pids[@]}"; do
        stop_pid "$pid"
    done
    for ns in "${namespaces[@]}"; do
        ip netns delete "$ns" 2>/dev/null || true
    done
    if [ -n "${QUORVEL_BENCH_KEEP:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for ns in "$ns_a" "$ns_b"; do
    ip netns add "$ns" 2>/dev/null ||
        skip "network namespaces cannot be created here ($ns)"
    namespaces+=("$ns")
    ip -n "$ns" link set lo up
done

export QUORVEL_MIN_POW_DIFFICULTY="${QUORVEL_MIN_POW_DIFFICULTY:-16}"
alpha_pk="$("$host" --public-key "$work/alpha.toml" 2>/dev/null)"
bravo_pk="$("$host" --public-key "$work/bravo.toml" 2>/dev/null)"
sed -e "s/@ALPHA_PK@/$alpha_pk/" -e "s/@BRAVO_PK@/$bravo_pk/" \
    examples/demo-network.toml.in >"$work/network.toml"
network_url="file://$work/network.toml"

clock_ticks="$(getconf CLK_TCK)"

# CPU seconds a process has used so far (user and system).
cpu_seconds() {
    awk -v hz="$clock_ticks" '{ sub(/^.*\) /, ""); printf "%.3f", ($12 + $13) / hz }' \
        "/proc/$1/stat"
}

# A field of /proc/PID/status in MB (VmRSS, VmHWM).
memory_mb() {
    awk -v key="$2:" '$1 == key { printf "%.1f", $2 / 1024 }' "/proc/$1/status"
}

wait_for_port() {
    for _ in $(seq 1 100); do
        if ip netns exec "$ns_b" ss -Hltn "sport = :5201" | grep -q 5201; then
            return 0
        fi
        sleep 0.05
    done
    return 1
}

# Runs the TCP transfer and the UDP flow from alpha's namespace to bravo's address 10.77.0.2,
# with `$1` the process whose CPU time is counted, and writes KEY=VALUE lines to `$2`.
measure() {
    local pid="$1" out="$2" server
    ip netns exec "$ns_b" iperf3 -s -B 10.77.0.2 -p 5201 >"$work/iperf-server.log" 2>&1 &
    server=$!
    pids+=("$server")
    wait_for_port || { echo "iperf3 server did not start"; cat "$work/iperf-server.log"; exit 1; }

    local cpu0 cpu1 log0 log1
    cpu0="$(cpu_seconds "$pid")"
    log0="$(stat -c %s "$work/agent.log" 2>/dev/null || echo 0)"
    ip netns exec "$ns_a" iperf3 -c 10.77.0.2 -p 5201 -t "$seconds" -J >"$work/tcp.json"
    cpu1="$(cpu_seconds "$pid")"
    log1="$(stat -c %s "$work/agent.log" 2>/dev/null || echo 0)"
    jq -r --arg cpu "$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { print b - a }')" \
        --arg log "$((log1 - log0))" '
        "tcp_bps=\(.end.sum_received.bits_per_second)",
        "tcp_bytes=\(.end.sum_received.bytes)",
        "tcp_retransmits=\(.end.sum_sent.retransmits)",
        "tcp_segments=\(.end.sum_sent.bytes / (.start.tcp_mss_default // 1228))",
        "tcp_cpu=\($cpu)",
        "log_bytes=\($log)"' "$work/tcp.json" >"$out"

    # iperf3's own sockets get room for its bursts too, so that the loss measured is the path's.
    cpu0="$(cpu_seconds "$pid")"
    ip netns exec "$ns_a" iperf3 -c 10.77.0.2 -p 5201 -u -b "$udp_rate" -l 1200 -w 4M -t "$seconds" \
        -J >"$work/udp.json"
    cpu1="$(cpu_seconds "$pid")"
    jq -r --arg cpu "$(awk -v a="$cpu0" -v b="$cpu1" 'BEGIN { print b - a }')" '
        "udp_bps=\(.end.sum.bits_per_second * (1 - .end.sum.lost_percent / 100))",
        "udp_bytes=\(.end.sum.bytes * (1 - .end.sum.lost_percent / 100))",
        "udp_loss=\(.end.sum.lost_percent)",
        "udp_cpu=\($cpu)"' "$work/udp.json" >>"$out"
    echo "rss_peak=$(memory_mb "$pid" VmHWM)" >>"$out"
    awk -F= '{ v[$1] = $2 } END {
        printf "   TCP %.0f Mb/s, %d retransmits; UDP %.0f Mb/s received, %.3f%% lost\n",
            v["tcp_bps"] / 1e6, v["tcp_retransmits"], v["udp_bps"] / 1e6, v["udp_loss"] }' "$out"

    stop_pid "$server"
}

set_txqueuelen() {
    if [ -n "$txqueuelen" ]; then
        ip -n "$ns_a" link set dev "$1" txqueuelen "$txqueuelen"
        ip -n "$ns_b" link set dev "$2" txqueuelen "$txqueuelen"
    fi
}

run_overlay() {
    local out="$1" host_pid
    : >"$work/agent.log"
    "$host" --duration $((6 * seconds + 60)) \
        "name=alpha,config=$work/alpha.toml,network=$network_url,tun=qv-alpha,netns=$ns_a" \
        "name=bravo,config=$work/bravo.toml,network=$network_url,tun=qv-bravo,netns=$ns_b" \
        >"$work/host.out" 2>"$work/agent.log" &
    host_pid=$!
    pids+=("$host_pid")
    for _ in $(seq 1 300); do
        if grep -q "^\[alpha\] applied to qv-alpha" "$work/host.out" &&
            grep -q "^\[bravo\] applied to qv-bravo" "$work/host.out"; then
            break
        fi
        kill -0 "$host_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! ip netns exec "$ns_a" ping -c 1 -W 5 10.77.0.2 >/dev/null; then
        echo "== the overlay does not carry traffic; the host's output and the agents' log:"
        cat "$work/host.out"
        tail -n 40 "$work/agent.log"
        exit 1
    fi
    set_txqueuelen qv-alpha qv-bravo
    sleep 1
    echo "rss_idle=$(memory_mb "$host_pid" VmRSS)" >"$out.idle"
    measure "$host_pid" "$out"
    cat "$out.idle" >>"$out"
    grep -h "socket buffers" "$work/agent.log" | head -n 2 | sed 's/^/   agent log: /' || true
    stop_pid "$host_pid"
}

run_relay() {
    local out="$1" relay_pid
    "$relay" "$ns_a" qv-alpha "$ns_b" qv-bravo "$socket_buffer" >"$work/relay.out" 2>&1 &
    relay_pid=$!
    pids+=("$relay_pid")
    for _ in $(seq 1 100); do
        grep -q "^ready" "$work/relay.out" && break
        kill -0 "$relay_pid" 2>/dev/null || { cat "$work/relay.out"; exit 1; }
        sleep 0.05
    done
    ip -n "$ns_a" addr add 10.77.0.1/24 dev qv-alpha
    ip -n "$ns_b" addr add 10.77.0.2/24 dev qv-bravo
    ip -n "$ns_a" link set dev qv-alpha mtu 1280 up
    ip -n "$ns_b" link set dev qv-bravo mtu 1280 up
    set_txqueuelen qv-alpha qv-bravo
    ip netns exec "$ns_a" ping -c 1 -W 5 10.77.0.2 >/dev/null || { echo "relay down"; exit 1; }
    echo "rss_idle=$(memory_mb "$relay_pid" VmRSS)" >"$out.idle"
    measure "$relay_pid" "$out"
    cat "$out.idle" >>"$out"
    sed 's/^/   relay: /' "$work/relay.out"
    stop_pid "$relay_pid"
}

echo "== $rounds round(s): TCP for ${seconds}s and UDP at $udp_rate for ${seconds}s, first across" \
    "the overlay (two agents in the example host), then across the bare relay"
echo "   machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
for round in $(seq 1 "$rounds"); do
    echo "== round $round: overlay"
    run_overlay "$work/overlay.$round"
    echo "== round $round: bare relay"
    run_relay "$work/relay.$round"
done

# The median of one key over the rounds of one side.
median() {
    local side="$1" key="$2"
    for round in $(seq 1 "$rounds"); do
        sed -n "s/^$key=//p" "$work/$side.$round"
    done | sort -g | awk '{ v[NR] = $1 } END {
        if (NR == 0) { print "nan" } else if (NR % 2) { print v[(NR + 1) / 2] }
        else { print (v[NR / 2] + v[NR / 2 + 1]) / 2 } }'
}

# One side's medians as one line: TCP Mb/s, retransmits, their share of segments in %, CPU s per
# GB in the TCP transfer, UDP Mb/s received, UDP loss in %, CPU s per GB in the UDP flow, idle and
# peak RSS in MB, the log's bytes during the TCP transfer.
figures() {
    local side="$1" args=() key
    for key in tcp_bps tcp_bytes tcp_retransmits tcp_segments tcp_cpu udp_bps udp_bytes udp_loss \
        udp_cpu rss_idle rss_peak log_bytes; do
        args+=(-v "$key=$(median "$side" "$key")")
    done
    awk "${args[@]}" 'BEGIN {
        printf "%.0f %.0f %.2f %.2f %.0f %.3f %.2f %s %s %.0f\n", tcp_bps / 1e6, tcp_retransmits,
            (tcp_segments > 0 ? 100 * tcp_retransmits / tcp_segments : 0),
            (tcp_bytes > 0 ? tcp_cpu / (tcp_bytes / 1e9) : 0), udp_bps / 1e6, udp_loss,
            (udp_bytes > 0 ? udp_cpu / (udp_bytes / 1e9) : 0), rss_idle, rss_peak, log_bytes }'
}

read -r o_tcp o_retr o_retr_pct o_tcp_cpu o_udp o_loss o_udp_cpu o_idle o_peak o_log \
    <<<"$(figures overlay)"
read -r r_tcp r_retr r_retr_pct r_tcp_cpu r_udp r_loss r_udp_cpu r_idle r_peak _ \
    <<<"$(figures relay)"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

echo "== results (medians of $rounds round(s); $(nproc) cores, load average" \
    "$(cut -d' ' -f1-3 /proc/loadavg))"
printf "%-34s %14s %14s %8s\n" "" "overlay" "bare relay" "ratio"
printf "%-34s %14s %14s %8s\n" "TCP throughput (Mb/s)" "$o_tcp" "$r_tcp" "$(ratio "$o_tcp" "$r_tcp")"
printf "%-34s %14s %14s\n" "TCP retransmits (% of segments)" "$o_retr ($o_retr_pct%)" \
    "$r_retr ($r_retr_pct%)"
printf "%-34s %14s %14s %8s\n" "UDP at $udp_rate: received (Mb/s)" "$o_udp" "$r_udp" \
    "$(ratio "$o_udp" "$r_udp")"
printf "%-34s %14s %14s\n" "UDP loss (%)" "$o_loss" "$r_loss"
printf "%-34s %14s %14s\n" "CPU s per GB (TCP, host / relay)" "$o_tcp_cpu" "$r_tcp_cpu"
printf "%-34s %14s %14s\n" "CPU s per GB (UDP, host / relay)" "$o_udp_cpu" "$r_udp_cpu"
printf "%-34s %14s %14s\n" "RSS idle / peak (MB)" "$o_idle / $o_peak" "$r_idle / $r_peak"
printf "%-34s %14s\n" "agents' log during TCP (bytes)" "$o_log"

#!/usr/bin/env python3
"""Sends stray UDP datagrams to random loopback ports, as other programs on a shared machine do.

Tests that run test doubles on ephemeral loopback ports must take only what their own test sends:
on a busy CI machine other programs send to ports that were theirs a moment ago and that a test
has just bound. This program stands in for them while the tests run, so that a double which
counts every datagram as one of its test's shows up as a failure on a developer's machine too.
CI never runs it.

It sends, at a steady rate, datagrams of random length (0 to 600 bytes) and random content, some
of them starting with a plausible DNS query header, to random ports of the ephemeral range
(/proc/sys/net/ipv4/ip_local_port_range) on 127.0.0.1 only, and stops by itself after the given
number of seconds.

    python3 tests/support/stray_datagrams.py --seconds 600 &
    taskset -c 0,1 build/optimized/quorvel_tests --gtest_filter='DnsForward*' --gtest_repeat=100
    kill %1    # or wait for it to stop

Standard library only.
"""

import argparse
import random
import socket
import struct
import sys
import time

LOOPBACK = "127.0.0.1"
MAX_LENGTH = 600
# A datagram in this many starts with a header that reads as a DNS query.
DNS_LIKE_ONE_IN = 4
# Seconds of sending that a stalled sender makes up for at most.
MAX_BACKLOG = 0.1


def ephemeral_ports(path="/proc/sys/net/ipv4/ip_local_port_range"):
    """The range the system hands out ephemeral ports from, both ends included."""
    try:
        with open(path, encoding="ascii") as f:
            low, high = (int(part) for part in f.read().split())
        if 0 < low <= high <= 65535:
            return low, high
    except (OSError, ValueError):
        pass
    # The default of Linux.
    return 32768, 60999


def stray_payload(rng):
    """Random bytes, sometimes behind a header of one DNS query with RD set and a random id."""
    length = rng.randint(0, MAX_LENGTH)
    body = rng.randbytes(length)
    if length >= 12 and rng.randrange(DNS_LIKE_ONE_IN) == 0:
        header = struct.pack("!HHHHHH", rng.getrandbits(16), 0x0100, 1, 0, 0, 0)
        body = header + body[12:]
    return body


def positive_number(text):
    value = float(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be greater than 0")
    return value


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--seconds", type=positive_number, required=True, help="how long to send; it stops then"
    )
    parser.add_argument(
        "--rate", type=positive_number, default=2000.0, help="datagrams a second (default 2000)"
    )
    parser.add_argument("--seed", type=int, help="for a repeatable sequence")
    args = parser.parse_args(argv)

    rng = random.Random(args.seed)
    low, high = ephemeral_ports()
    interval = 1.0 / args.rate
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setblocking(False)
    start = time.monotonic()
    deadline = start + args.seconds
    base, paced, sent = start, 0, 0
    try:
        while True:
            now = time.monotonic()
            if now >= deadline:
                break
            # Catch up after a short stall so that the rate holds; after a long one, start
            # afresh rather than send a burst that no other program would.
            due = base + paced * interval
            if now < due:
                time.sleep(min(due - now, deadline - now))
                continue
            if now - due > MAX_BACKLOG:
                base, paced = now, 0
            port = rng.randint(low, high)
            try:
                sock.sendto(stray_payload(rng), (LOOPBACK, port))
            except OSError:
                # A refused port reports on a later send (ECONNREFUSED), a full buffer with
                # EAGAIN: neither matters to a stray sender.
                pass
            sent += 1
            paced += 1
    except KeyboardInterrupt:
        pass
    finally:
        sock.close()
    elapsed = time.monotonic() - start
    print(
        f"stray_datagrams: sent {sent} datagrams to {LOOPBACK} ports {low}-{high} in {elapsed:.1f} s",
        file=sys.stderr,
    )
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

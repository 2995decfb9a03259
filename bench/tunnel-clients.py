#!/usr/bin/env python3
"""What local clients of the tunnel see, with the reference host, the agent simulator and tinyproxy
(the end-to-end tests' stack, tests/e2e/e2e.py):

- a page of a dozen resources loaded by headless Chromium through the tunnel and through tinyproxy
  directly, interleaved after a warm-up: both load times (the page's own, from navigation to its
  load event), and the median of the ratios with its spread;
- one client reading a large download 4 KiB every 0.5 s beside one fetching 1 KiB once a second:
  the fetch times and the host's resident memory.

Prints figures, never fails on one.

    bench/tunnel-clients.py [--build DIR] [--rounds 10] [--slow-seconds 40]
"""

import argparse
import contextlib
import os
import re
import socket
import statistics
import sys
import threading
import time
import types

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import e2e  # noqa: E402


def page_load(stack, rounds):
    """Load times through the tunnel against tinyproxy directly, interleaved after a warm-up."""
    origin, upstream, tunnel = e2e.page_through_tunnel(stack)
    for port in (upstream, tunnel):
        e2e.load_page(stack, port, origin.url, 90)
    direct, tunnelled = [], []
    for _ in range(rounds):
        for port, times in ((upstream, direct), (tunnel, tunnelled)):
            result, ms = e2e.load_page(stack, port, origin.url, 90)
            if result != f"{e2e.PAGE_RESOURCES}/0":
                raise e2e.Failure(f"page load {result}")
            times.append(ms)
    ratios = sorted(t / max(d, 1) for t, d in zip(tunnelled, direct))
    print(f"page load, {e2e.PAGE_RESOURCES} resources, {rounds} interleaved rounds: "
          f"tinyproxy directly median {statistics.median(direct)} ms, "
          f"through the tunnel median {statistics.median(tunnelled)} ms; "
          f"ratio tunnel/direct median {statistics.median(ratios):.2f} "
          f"(min {ratios[0]:.2f}, max {ratios[-1]:.2f})", file=sys.__stdout__, flush=True)



def host_rss_mib(host):
    with open(f"/proc/{host.popen.pid}/status") as status:
        return int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1)) // 1024


def fetch_through(proxy_port, url, timeout):
    """Seconds until the whole answer to a GET through the proxy arrived, or None."""
    start = time.monotonic()
    try:
        with socket.create_connection(("127.0.0.1", proxy_port), timeout=timeout) as client:
            client.sendall(f"GET {url} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
            answer = b""
            while b"\r\n\r\n" not in answer or len(answer.split(b"\r\n\r\n", 1)[1]) < 1024:
                chunk = client.recv(65536)
                if not chunk:
                    return None
                answer += chunk
        return time.monotonic() - start
    except OSError:
        return None


def slow_reader(stack, seconds):
    """One local client reads a large download 4 KiB every 0.5 s through the tunnel while another
    fetches 1 KiB once a second: the fetch times and the host's resident memory."""
    origin = e2e.Origin({"big.bin": b"b" * (512 << 20), "small.txt": b"s" * 1024})
    upstream = stack.tinyproxy()
    agent, port = stack.agent(os.path.join(e2e.HERE, "page-load.jsonl"), upstream)
    host = stack.host(port)
    tunnel = int(agent.wait_line(r'proxy policy .*"proxyPort":"(\d+)"', 20).group(1))
    agent.wait_line(r'expected and seen: \{"commandId":30', 20)
    small = origin.url.replace("index.html", "small.txt")
    time.sleep(1)
    before = [fetch_through(tunnel, small, 35) for _ in range(3)]
    rss_start = host_rss_mib(host)
    slow = socket.create_connection(("127.0.0.1", tunnel))
    slow.sendall(f"GET {origin.url.replace('index.html', 'big.bin')} HTTP/1.1\r\nHost: x\r\n\r\n".encode())
    times, rss, read = [], [], 0
    end = time.monotonic() + seconds

    def reader():
        nonlocal read
        while time.monotonic() < end:
            read += len(slow.recv(4096))
            time.sleep(0.5)

    threading.Thread(target=reader, daemon=True).start()
    while time.monotonic() < end:
        times.append(fetch_through(tunnel, small, 35))
        rss.append(host_rss_mib(host))
        time.sleep(1)
    done = sorted(t for t in times if t is not None)
    print(f"slow reader: {seconds} s; 1 KiB fetches beside it: {len(done)} of {len(times)} completed, "
          f"median {statistics.median(done) if done else float('nan'):.2f} s, "
          f"max {done[-1] if done else float('nan'):.2f} s (alone: max {max(t or 0 for t in before):.3f} s); "
          f"host resident {rss_start} MiB at start, {max(rss)} MiB at peak; slow reader took {read >> 10} KiB",
          file=sys.__stdout__, flush=True)
    slow.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=os.path.join(ROOT, "build"))
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--slow-seconds", type=int, default=40)
    args = parser.parse_args()
    options = types.SimpleNamespace(agent=os.path.join(args.build, "examples/agent/h5redir-agent"),
                                    host=os.path.join(args.build, "examples/host/h5redir-host"),
                                    standins=os.path.join(ROOT, "tests", "standins"))
    # The processes' own lines are echoed to stdout by the stack; only the figures go out.
    with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
        with e2e.Stack(options) as stack:
            page_load(stack, args.rounds)
        with e2e.Stack(options) as stack:
            slow_reader(stack, args.slow_seconds)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""End-to-end tests: the reference host, loading the library, against the agent simulator, with
a real tinyproxy in front of a real HTTP server as the tunnel's upstream. Everything listens on
loopback at ports picked free, and every process started here is stopped when the test ends,
passed or failed. free, pkill and h5setvol.sh are stand-ins that only record their calls.

    e2e.py --agent BIN --host BIN --standins DIR CASE [ARG]

CASE is one of: scenario FILE, download, channel-loss, missing-upstream, malformed-frames,
agent-malformed, page-load.
"""

import argparse
import hashlib
import http.server
import json
import os
import queue
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SCENARIOS = os.path.join(HERE, "..", "..", "examples", "scenarios")
DESKTOP = (0x2B, 0x3A, 0x4A)  # the main window's background, where no player is drawn


class Failure(Exception):
    pass


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Process:
    """A child process whose output lines are echoed and kept, so the test can wait for them."""

    def __init__(self, name, argv, env, log_dir):
        self.name = name
        self.lines = []
        self._new = queue.Queue()
        self._log = open(os.path.join(log_dir, name + ".log"), "w")
        # A session of its own, so stopping it takes every child along.
        self.popen = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=self._log,
                                      stdin=subprocess.DEVNULL, start_new_session=True, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.popen.stdout:
            line = line.rstrip("\n")
            print(line, flush=True)
            self.lines.append(line)
            self._new.put(line)

    def wait_line(self, pattern, timeout):
        """The first match of pattern among the lines, waiting up to timeout seconds for it."""
        regex = re.compile(pattern)
        for line in list(self.lines):
            match = regex.search(line)
            if match:
                return match
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self._new.get(timeout=min(0.2, max(0.0, deadline - time.monotonic())))
            except queue.Empty:
                if self.popen.poll() is not None and self._new.empty():
                    time.sleep(0.1)  # let the reader hand over the last lines
                    if self._new.empty():
                        break
                continue
            match = regex.search(line)
            if match:
                return match
        raise Failure(f"{self.name}: no line matching {pattern!r} within {timeout} s")

    def wait_exit(self, timeout):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"{self.name} still running after {timeout} s")

    def stop(self):
        if self.popen.poll() is None:
            for sig, grace in ((signal.SIGTERM, 5), (signal.SIGKILL, 5)):
                try:
                    os.killpg(self.popen.pid, sig)
                    self.popen.wait(grace)
                    break
                except (ProcessLookupError, subprocess.TimeoutExpired):
                    continue
        self._log.close()


class Stack:
    """Starts the servers, the agent and the host; stops all of them on leaving."""

    def __init__(self, options):
        self.options = options
        self.dir = tempfile.mkdtemp(prefix="h5redir-e2e-")
        self.processes = []
        standins = os.path.join(self.dir, "bin")
        os.mkdir(standins)
        for program in ("free", "pkill"):
            shutil.copy(os.path.join(options.standins, program), standins)
        self.env = dict(os.environ, PATH=standins + os.pathsep + os.environ["PATH"],
                        H5TEST_DIR=self.dir, QT_QPA_PLATFORM="offscreen")
        self.set_available(4096)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for process in reversed(self.processes):
            process.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def set_available(self, figures):
        """What the free stand-in reports as available, in MiB: one figure per call, the last repeating."""
        figures = figures if isinstance(figures, list) else [figures]
        with open(os.path.join(self.dir, "free.seq"), "w") as seq:
            seq.write("".join(f"{figure}\n" for figure in figures))

    def start(self, name, argv):
        process = Process(name, argv, self.env, self.dir)
        self.processes.append(process)
        return process

    def web_server(self, files):
        root = os.path.join(self.dir, "www")
        os.mkdir(root)
        for name, content in files.items():
            with open(os.path.join(root, name), "wb") as out:
                out.write(content)
        server = self.start("http", [sys.executable, "-u", "-m", "http.server", "--bind", "127.0.0.1",
                                     "--directory", root, "0"])
        return int(server.wait_line(r"port (\d+)", 10).group(1))

    def tinyproxy(self):
        port = free_port()
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as out:
            out.write(f"Port {port}\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                      "LogLevel Info\n")
        proxy = self.start("tinyproxy", [shutil.which("tinyproxy") or "tinyproxy", "-d", "-c", conf])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            with socket.socket() as probe:
                if probe.connect_ex(("127.0.0.1", port)) == 0:
                    return port
            if proxy.popen.poll() is not None:
                break
            time.sleep(0.1)
        raise Failure("tinyproxy did not start")

    def agent(self, scenario, upstream=None, port=0, name="agent"):
        argv = [self.options.agent, "--scenario", scenario, "--port", str(port)]
        argv += ["--upstream", f"127.0.0.1:{upstream}"] if upstream else []
        agent = self.start(name, argv)
        return agent, int(agent.wait_line(r"listening on 127\.0\.0\.1:(\d+)", 10).group(1))

    def host(self, agent_port, *extra):
        return self.start("host", [self.options.host, "--agent", f"127.0.0.1:{agent_port}", *extra])


def scenario_setup(path):
    with open(path) as lines:
        steps = [json.loads(line) for line in lines if line.strip()]
    setup = {}
    for step in steps:
        setup.update(step.get("setup", {}))
    return setup, any("policy" in step for step in steps)


def png_pixel(path, x, y):
    """The RGB colour at x, y of an 8-bit RGB or RGBA PNG, as Qt writes them."""
    with open(path, "rb") as png:
        data = png.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise Failure(f"{path} is not a PNG")
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        at += 12 + length
        if kind == b"IHDR":
            width, _, depth, colour, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
    if depth != 8 or colour not in (2, 6) or interlace:
        raise Failure(f"{path}: unexpected PNG layout")
    bpp = 3 if colour == 2 else 4
    raw, stride, prev = zlib.decompress(idat), width * bpp, bytearray(width * bpp)
    for row in range(y + 1):
        start = row * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b, c = prev[i], (prev[i - bpp] if i >= bpp else 0)
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        prev = line
    return tuple(prev[x * bpp:x * bpp + 3])


def expect_fetch(host, url, content, timeout=60):
    match = host.wait_line(r"fetch (\S+)(: HTTP (\d+), (\d+) bytes, sha256 (\w+), \d+ ms| failed: .*)", timeout)
    want = (url, "200", str(len(content)), hashlib.sha256(content).hexdigest())
    got = (match.group(1), match.group(3), match.group(4), match.group(5))
    if got != want:
        raise Failure(f"fetched {got}, expected {want}")


def run_scenario(stack, path, fetch_name="index.html", content=None):
    """Plays a scenario to the host; with a proxy policy in it, also fetches a page through the tunnel."""
    setup, tunnelled = scenario_setup(path)
    stack.set_available(setup.get("availableMiB", 4096))
    snapshot = os.path.join(stack.dir, "snapshot.png")
    extra = ["--quit-on-loss", "--snapshot", snapshot, "--volume", "40"]
    upstream = url = None
    if tunnelled:
        content = content or b"<html><title>through the tunnel</title></html>\n"
        web = stack.web_server({fetch_name: content})
        upstream = stack.tinyproxy()
        url = f"http://127.0.0.1:{web}/{fetch_name}"
        extra += ["--fetch", url]
    agent, port = stack.agent(path, upstream)
    host = stack.host(port, *extra)
    if agent.wait_exit(120) != 0:
        raise Failure("the agent reports an unmet expectation")
    if tunnelled:
        expect_fetch(host, url, content)
    if host.wait_exit(20) != 0:
        raise Failure("the host failed")
    calls = os.path.join(stack.dir, "h5setvol.calls")
    recorded = open(calls).read() if os.path.exists(calls) else ""
    for call in setup.get("audioCalls", []):
        if call not in recorded:
            raise Failure(f"h5setvol.sh was not run with {call!r}; its calls: {recorded!r}")
    points = setup.get("snapshot")
    if points:
        desktop, player = png_pixel(snapshot, *points["desktop"]), png_pixel(snapshot, *points["player"])
        if desktop != DESKTOP or player == DESKTOP:
            raise Failure(f"snapshot: desktop point {desktop}, player point {player}")


def case_scenario(stack, args):
    run_scenario(stack, os.path.abspath(args.arg))


def case_download(stack, args):
    content = os.urandom(10 * 1024 * 1024)
    run_scenario(stack, os.path.join(SCENARIOS, "proxy-tunnel.jsonl"), "big.bin", content)


def case_channel_loss(stack, args):
    agent, port = stack.agent(os.path.join(HERE, "interrupted.jsonl"), name="agent-1")
    host = stack.host(port)
    host.wait_line(r"player 9 shown", 20)
    agent.wait_line(r"the channel goes while the scenario still runs", 10)
    agent.stop()
    host.wait_line(r"channel lost", 10)
    host.wait_line(r"destroy player 9", 10)
    # A new agent on the same port: the host reconnects by itself and plays a whole scenario.
    second, _ = stack.agent(os.path.join(SCENARIOS, "video.jsonl"), port=port, name="agent-2")
    if second.wait_exit(60) != 0:
        raise Failure("the host did not recover after the channel came back")


def case_missing_upstream(stack, args):
    nobody = free_port()  # nothing listens there
    url = f"http://127.0.0.1:{nobody}/page.html"
    agent, port = stack.agent(os.path.join(SCENARIOS, "proxy-tunnel.jsonl"), nobody)
    host = stack.host(port, "--quit-on-loss", "--fetch", url)
    host.wait_line(r"fetch \S+ failed: HTTP 502", 30)
    if agent.wait_exit(60) != 0 or host.wait_exit(20) != 0:
        raise Failure("the scenario did not end cleanly")


def case_malformed_frames(stack, args):
    agent, port = stack.agent(os.path.join(HERE, "malformed-frames.jsonl"))
    host = stack.host(port, "--quit-on-loss")
    for text in (r"length 2 leaves no room", r"unknown frame type 9", r"length \d+ over the limit"):
        host.wait_line(text, 20)
    if agent.wait_exit(60) != 0:
        raise Failure("the host stopped answering after malformed frames")
    host.wait_exit(20)


def case_agent_malformed(stack, args):
    agent, port = stack.agent(os.path.join(HERE, "agent-input.jsonl"))

    def frame(kind, payload):
        return struct.pack("<II", 4 + len(payload), kind) + payload

    with socket.create_connection(("127.0.0.1", port), timeout=10) as client:
        client.sendall(struct.pack("<I", 1) + b"x"  # too short for its type
                       + frame(9, b"????")  # unknown type
                       + frame(113, b"not a message")
                       + frame(113, struct.pack("<iii", 34, 5, 99) + b"short")  # length lies
                       + frame(113, b'{"commandId":3,"data":true,"id":1}'))
        for text in (r"length 1 leaves no room", r"unknown frame type 9", r"malformed library message",
                     r"malformed proxy frame"):
            agent.wait_line(text, 10)
        if agent.wait_exit(20) != 0:
            raise Failure("the agent did not go on after malformed frames")


PAGE_RESOURCES = 12


def page_files():
    """index.html and the dozen stylesheets, scripts and images it loads, 16 to 48 KiB each. The
    page's body ends up with data-result="LOADED/FAILED" and data-ms, its load time."""
    files, tags = {}, []
    for i in range(PAGE_RESOURCES):
        pad = "x" * (16384 * (1 + i % 3))
        events = 'onload="loaded(1)" onerror="loaded(0)"'
        if i % 3 == 0:
            files[f"r{i}.css"] = f".r{i} {{ color: #{i:06x}; }}\n/*{pad}*/\n".encode()
            tags.append(f'<link rel="stylesheet" href="r{i}.css" {events}>')
        elif i % 3 == 1:
            files[f"r{i}.js"] = f"var r{i} = {i};\n/*{pad}*/\n".encode()
            tags.append(f'<script src="r{i}.js" {events}></script>')
        else:
            files[f"r{i}.svg"] = (f'<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"><!--{pad}-->'
                                  f'<rect width="8" height="8" fill="#{i:06x}"/></svg>').encode()
            tags.append(f'<img src="r{i}.svg" {events}>')
    files["index.html"] = ("<!DOCTYPE html><html><head><script>var ok = 0, bad = 0;"
                           "function loaded(good) { good ? ++ok : ++bad; }</script>" + "".join(tags) +
                           '</head><body onload="document.body.dataset.result = ok + \'/\' + bad;'
                           'document.body.dataset.ms = Math.round(performance.now());"></body></html>'
                           ).encode()
    return files


class Origin:
    """An HTTP/1.1 server with persistent connections, in this process, that notes each file it serves."""

    TYPES = {"html": "text/html", "css": "text/css", "js": "text/javascript", "svg": "image/svg+xml"}

    def __init__(self, files):
        served = self.served = []

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_GET(self):
                name = self.path.rsplit("/", 1)[-1]
                body = files.get(name, b"")
                self.send_response(200 if name in files else 404)
                self.send_header("Content-Type", Origin.TYPES.get(name.rsplit(".", 1)[-1], "text/plain"))
                self.send_header("Content-Length", str(len(body)))
                self.send_header("Cache-Control", "no-store")
                self.end_headers()
                self.wfile.write(body)
                served.append(name)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/index.html"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()


def page_through_tunnel(stack):
    """The page's origin, tinyproxy in front of it, and the library's tunnel to that tinyproxy
    through the host and the agent. Returns the origin, tinyproxy's port and the tunnel's port."""
    origin = Origin(page_files())
    upstream = stack.tinyproxy()
    agent, port = stack.agent(os.path.join(HERE, "page-load.jsonl"), upstream)
    stack.host(port)
    tunnel = int(agent.wait_line(r'proxy policy .*"proxyPort":"(\d+)"', 20).group(1))
    agent.wait_line(r'expected and seen: \{"commandId":30', 20)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        with socket.socket() as probe:
            if probe.connect_ex(("127.0.0.1", tunnel)) == 0:
                return origin, upstream, tunnel
        time.sleep(0.1)
    raise Failure("the tunnel does not listen")


def load_page(stack, proxy_port, url, timeout):
    """Headless Chromium loads url through the HTTP proxy at proxy_port, with a fresh profile.
    Returns the page's data-result and its load time in ms."""
    profile = tempfile.mkdtemp(prefix="chromium-", dir=stack.dir)
    argv = [shutil.which("chromium") or "chromium", "--headless", "--no-sandbox", "--disable-gpu",
            "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync", f"--user-data-dir={profile}",
            f"--proxy-server=http://127.0.0.1:{proxy_port}", "--proxy-bypass-list=<-loopback>",
            "--dump-dom", url]
    # A session of its own, so that a hung load is stopped with every helper process.
    chromium = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                start_new_session=True)
    try:
        out, err = chromium.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        raise Failure(f"chromium did not finish loading {url} within {timeout} s")
    finally:
        if chromium.poll() is None:
            os.killpg(chromium.pid, signal.SIGKILL)
            chromium.wait()
        shutil.rmtree(profile, ignore_errors=True)
    match = re.search(r'data-result="([^"]*)" data-ms="(\d+)"', out)
    if not match:
        raise Failure(f"chromium: no load result (exit {chromium.returncode}): {err[-500:]}")
    return match.group(1), int(match.group(2))


def case_page_load(stack, args):
    origin, _, tunnel = page_through_tunnel(stack)
    result, ms = load_page(stack, tunnel, origin.url, 90)
    missing = sorted(set(page_files()) - set(origin.served))
    print(f"e2e: page through the tunnel: {result} resources loaded/failed, {ms} ms", flush=True)
    if result != f"{PAGE_RESOURCES}/0" or missing:
        raise Failure(f"page load {result}, not served: {missing}")


CASES = {"scenario": case_scenario, "download": case_download, "channel-loss": case_channel_loss,
         "missing-upstream": case_missing_upstream, "malformed-frames": case_malformed_frames, "agent-malformed": case_agent_malformed,
         "page-load": case_page_load}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--standins", required=True)
    parser.add_argument("case", choices=sorted(CASES))
    parser.add_argument("arg", nargs="?")
    args = parser.parse_args()
    # ctest stops a test with SIGTERM on its time-out; leaving through the finally blocks then
    # still stops every server.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    with Stack(args) as stack:
        try:
            CASES[args.case](stack, args)
        except Failure as failure:
            print(f"e2e: FAILED: {failure}", flush=True)
            for process in stack.processes:
                print(f"--- {process.name} stderr (last lines)", flush=True)
                with open(os.path.join(stack.dir, process.name + ".log")) as log:
                    print("".join(log.readlines()[-15:]), flush=True)
            return 1
    print("e2e: passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())

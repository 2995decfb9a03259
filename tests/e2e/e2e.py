#!/usr/bin/env python3
"""End-to-end tests: the reference host, loading the library, against the agent simulator over a
SPICE port channel, with a real tinyproxy in front of a real HTTP server as the tunnel's upstream.
Everything listens on loopback at free ports and every process started here is stopped when the
test ends. free and pkill are stand-ins that record their calls, and so is h5setvol.sh except in
the audio case. The player cases run Qt WebEngine on an Xvfb display of their own, the page served
from a network namespace that only the tunnel reaches (examples/page/serve).
"""

import argparse
import hashlib
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.join(HERE, "..", "..")
DESKTOP = (0x2B, 0x3A, 0x4A)  # the main window's background, where no player is drawn


class Failure(Exception):
    pass


def until(ready, timeout, failure):
    """ready()'s first true answer, asking every 0.1 s; after timeout seconds, Failure with failure
    (or what it returns, when it is a function)."""
    deadline = time.monotonic() + timeout
    while not (answer := ready()):
        if time.monotonic() > deadline:
            raise Failure(failure() if callable(failure) else failure)
        time.sleep(0.1)
    return answer


def wait_listening(port, what):
    def listening():
        with socket.socket() as probe:
            return probe.connect_ex(("127.0.0.1", port)) == 0
    until(listening, 10, f"{what} does not listen")
    return port


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Process:
    """A child process whose output lines are echoed and kept, so the test can wait for them."""

    def __init__(self, name, argv, env, log_dir, stdin=subprocess.DEVNULL, pass_fds=()):
        self.name = name
        self.lines = []
        self._log = open(os.path.join(log_dir, name + ".log"), "w")
        # A session of its own, so stopping it takes every child along.
        self.popen = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=self._log,
                                      stdin=stdin, start_new_session=True, text=True,
                                      pass_fds=pass_fds, cwd=log_dir)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.popen.stdout:
            print(line, end="", flush=True)
            self.lines.append(line.rstrip("\n"))

    def count(self, pattern):
        return sum(1 for line in list(self.lines) if re.search(pattern, line))

    def wait_line(self, pattern, timeout, count=1):
        """The count-th line matching pattern, waiting up to timeout seconds for it."""
        def found():
            matches = [match for match in map(re.compile(pattern).search, list(self.lines)) if match]
            return matches[count - 1] if len(matches) >= count else None
        return until(found, timeout, f"{self.name}: no line {count} matching {pattern!r} within {timeout} s")

    def wait_exit(self, timeout):
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"{self.name} still running after {timeout} s")

    def stop(self):
        if self.popen.poll() is None:
            os.killpg(self.popen.pid, signal.SIGTERM)
            try:
                self.popen.wait(5)
            except subprocess.TimeoutExpired:
                os.killpg(self.popen.pid, signal.SIGKILL)
                self.popen.wait()
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
            shutil.copy(os.path.join(SOURCE, "tests", "standins", program), standins)
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

    def start(self, name, argv, env=None, stdin=subprocess.DEVNULL, pass_fds=()):
        process = Process(name, argv, env or self.env, self.dir, stdin, pass_fds)
        self.processes.append(process)
        return process

    def tinyproxy(self):
        port = free_port()
        conf = os.path.join(self.dir, "tinyproxy.conf")
        with open(conf, "w") as out:
            out.write(f"Port {port}\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\nMaxClients 50\n"
                      "LogLevel Info\n")
        self.start("tinyproxy", [shutil.which("tinyproxy") or "tinyproxy", "-d", "-c", conf])
        return wait_listening(port, "tinyproxy")

    def agent(self, scenario, upstream=None, hold=False):
        argv = [self.options.agent, "--scenario", scenario, "--port", "0"]
        if upstream:  # a port on loopback, or an address
            argv += ["--upstream", upstream if ":" in str(upstream) else f"127.0.0.1:{upstream}"]
        agent = self.start("agent", argv + (["--hold"] if hold else []))
        return agent, int(agent.wait_line(r"listening on 127\.0\.0\.1:(\d+)", 10).group(1))

    def host(self, agent_port, *extra, player="pattern", display=None, program=None, env=None):
        """The reference host; offscreen there is no GL for Qt WebEngine, so players there are the
        test pattern. With a display, the real player draws there: Xvfb has no GPU, so Chromium
        draws in software, and its sandbox refuses to run as root."""
        env = dict(env or self.env)
        if display:
            env.update(QT_QPA_PLATFORM="xcb", DISPLAY=display, QTWEBENGINE_CHROMIUM_FLAGS="--disable-gpu",
                       QTWEBENGINE_DISABLE_SANDBOX="1")
        return self.start("host", [program or self.options.host, "--spice", f"127.0.0.1:{agent_port}",
                                   "--player", player, *extra], env, subprocess.PIPE)

    def display(self, size="1280x800"):
        """An Xvfb display of this test's own; its name, such as ":5"."""
        read, write = os.pipe()
        self.start("xvfb", ["Xvfb", "-displayfd", str(write), "-screen", "0", size + "x24",
                            "-nolisten", "tcp"], pass_fds=(write,))
        os.close(write)
        with os.fdopen(read) as pipe:
            number = pipe.readline().strip()
        if not number:
            raise Failure("Xvfb did not start")
        return ":" + number


def png_pixel(path, x, y):
    """The RGB colour at x, y of an image."""
    text = subprocess.run(["convert", path, "-crop", f"1x1+{x}+{y}", "-depth", "8", "txt:-"],
                          capture_output=True, text=True, check=True, timeout=30).stdout
    return tuple(int(v) for v in re.search(r"\((\d+),(\d+),(\d+)", text.splitlines()[-1]).groups())


def expect_success(what, *processes):
    for process in processes:
        if process.wait_exit(120) != 0:
            raise Failure(f"{process.name} exited with a failure: {what}")


def case_scenario(stack, args):
    """Plays a scenario to the host; with a proxy policy in it, also fetches 10 MiB through the tunnel."""
    path = os.path.abspath(args.arg)
    with open(path) as lines:
        steps = [json.loads(line) for line in lines if line.strip()]
    setup = {key: value for step in steps for key, value in step.get("setup", {}).items()}
    tunnelled = any("policy" in step for step in steps)
    stack.set_available(setup.get("availableMiB", 4096))
    snapshot = os.path.join(stack.dir, "snapshot.png")
    content = os.urandom(10 << 20)
    url = Origin({"big.bin": content}, persistent=False).url.replace("index.html", "big.bin")
    agent, port = stack.agent(path, stack.tinyproxy() if tunnelled else None)
    host = stack.host(port, "--quit-on-loss", "--snapshot", snapshot, "--volume", "40",
                      *(["--fetch", url] if tunnelled else []))
    expect_success("an unmet expectation", agent)
    if tunnelled:
        match = host.wait_line(r"fetch (\S+)(: HTTP (\d+), (\d+) bytes, sha256 (\w+), \d+ ms| failed: .*)", 60)
        got = (match.group(1), match.group(3), match.group(4), match.group(5))
        if got != (url, "200", str(len(content)), hashlib.sha256(content).hexdigest()):
            raise Failure(f"fetched {got}, expected 200 and the {len(content)} bytes")
    expect_success("the scenario", host)
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


def case_channel_loss(stack, args):
    """The port closing and opening again, and the server going away: each change reaches the
    library exactly once."""
    agent, port = stack.agent(os.path.join(HERE, "interrupted.jsonl"))
    host = stack.host(port)
    host.wait_line(r"create player 10", 20)  # the port closed and opened again
    agent.wait_line(r"the channel goes while the scenario still runs", 10)
    # The tunnel came back with the policy sent again: a local client reaches the agent through it
    # (whose relay, without an upstream, answers 502), and sees its end as soon as the agent goes.
    host.wait_line(r"proxy policy", 10, count=2)
    proxy = int(agent.wait_line(r'proxy policy .*"proxyPort":"(\d+)"', 1).group(1))
    with socket.create_connection(("127.0.0.1", proxy), timeout=10) as client:
        client.sendall(b"GET http://127.0.0.1/ HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        if not client.recv(4096).startswith(b"HTTP/1.1 502"):
            raise Failure("no answer through the tunnel after the port reopened")
        agent.stop()
        client.settimeout(3)
        try:
            while client.recv(4096):
                pass
        except socket.timeout:
            raise Failure("a local client of the tunnel still hangs 3 s after the channel went")
    host.wait_line(r"destroy player 10", 10)
    with open(os.path.join(stack.dir, "host.log")) as log:
        library = log.read()
    counts = (host.count("destroy player 9"), host.count("proxy policy"), host.count("channel lost"),
              library.count("Br channel connected"), library.count("Br channel disconnected"))
    if counts != (1, 2, 2, 2, 2):
        raise Failure(f"player 9 destroyed, policies, losses, library told of connection and "
                      f"of loss: {counts}, expected (1, 2, 2, 2, 2)")


def case_shortfall(stack, args):
    """The host without an agent, without the tunnel's upstream, or without a player engine: it
    says so, and ends as it should."""
    nobody = free_port()  # nothing listens there
    # Each row: the agent's scenario (none: no agent), its upstream, the host's options, the line the
    # host must print and whether it then ends well.
    scenario, upstream, extra, line, ends_well = {
        "no-agent": (None, None, [], r"cannot reach the agent at \S+: cannot connect", False),
        "missing-upstream": (os.path.join(SOURCE, "examples", "scenarios", "proxy-tunnel.jsonl"), nobody,
                             ["--fetch", f"http://127.0.0.1:{nobody}/page.html"],
                             r"fetch \S+ failed: HTTP 502", True),
        "no-engine": (os.path.join(HERE, "no-engine.jsonl"), None, ["--player", "webengine"],
                      r"no player engine \(no OpenGL on the offscreen platform\): every player is refused", True),
    }[args.case]
    agent, port = stack.agent(scenario, upstream) if scenario else (None, nobody)
    host = stack.host(port, "--quit-on-loss", *extra)
    host.wait_line(line, 30)
    if (host.wait_exit(120) == 0) != ends_well:
        raise Failure(f"the host exited with {host.popen.returncode}")
    if agent:
        expect_success("an unmet expectation", agent)


def click(display, x, y):
    """A real click of the first button at x, y of the screen, as the X server's own input."""
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], env=dict(os.environ, DISPLAY=display),
                   check=True, timeout=10)


def start_player(stack, scenario, *host_args, hold=False, program=None, env=None):
    """Xvfb, the page's servers, the agent with the page's address in its scenario, and a host
    with the real player: the display, the agent, the host and the player's place on the screen."""
    display = stack.display()
    serve = stack.start("serve", [os.path.join(SOURCE, "examples", "page", "serve"), stack.options.page, stack.dir])
    url = serve.wait_line(r"^page (\S+)", 30).group(1)
    with open(scenario) as source:
        text = source.read().replace("${pageUrl}", url).replace("${pageBase}", url.rsplit("/", 1)[0] + "/")
    scenario = os.path.join(stack.dir, os.path.basename(scenario))
    with open(scenario, "w") as out:
        out.write(text)
    agent, port = stack.agent(scenario, serve.wait_line(r"^upstream (\S+)", 30).group(1), hold)
    host = stack.host(port, "--quit-on-loss", *host_args, player="webengine", display=display,
                      program=program, env=env)
    placed = host.wait_line(r"player 7 at \d+,\d+ size \d+x\d+, on the screen at (\d+),(\d+)", 60)
    return display, agent, host, (int(placed.group(1)), int(placed.group(2)))


def screen_rgb(display, path):
    """The whole screen of display as (width, height, RGB bytes)."""
    subprocess.run(["import", "-display", display, "-window", "root", "PNG24:" + path], check=True,
                   timeout=60, stdout=subprocess.DEVNULL)
    size = subprocess.run(["identify", "-format", "%w %h", path], capture_output=True, text=True,
                          check=True, timeout=30).stdout.split()
    rgb = subprocess.run(["convert", path, "-depth", "8", "rgb:-"], capture_output=True, check=True,
                         timeout=30).stdout
    return int(size[0]), int(size[1]), rgb


def case_desktop(stack, args):
    """The agent's own X desktop in the host's main window, the host's input on that desktop, and a
    player on it at the server's rectangle: at Qt's scale factor args.arg, before and after the
    main window moves and shrinks."""
    scale, flat = int(args.arg), bytes((0x20, 0x50, 0x80))
    rect, covered = (300, 60, 240, 160), (460, 160, 80, 60)  # as desktop.jsonl places them
    display = stack.display("1600x1000")
    agent = stack.start("agent", [stack.options.agent, "--desktop", "--size", "640x360", "--scenario",
                                  os.path.join(HERE, "desktop.jsonl"), "--hold"])
    port = int(agent.wait_line(r"listening on 127\.0\.0\.1:(\d+)", 10).group(1))
    server = agent.wait_line(r"agent: desktop (:\d+) ", 20).group(1)
    probe = stack.start("probe", [stack.options.probe], dict(stack.env, DISPLAY=server, QT_QPA_PLATFORM="xcb"))
    probe.wait_line(r"^ready", 20)
    host = stack.host(port, "--quit-on-loss", display=display,
                      env=dict(stack.env, QT_SCALE_FACTOR=str(scale)))
    host.wait_line(r"player 7 shown", 30)
    xdo = dict(os.environ, DISPLAY=display)

    def xdotool(*argv):
        return subprocess.run(["xdotool", *argv], env=xdo, capture_output=True, text=True, check=True,
                              timeout=10).stdout

    window = xdotool("search", "--name", "^browser_Redir$").split()[0]

    def check():
        """What is wrong with the screen now: the desktop picture or the player's place; None when
        both are right."""
        geometry = xdotool("getwindowgeometry", window)
        origin = tuple(int(v) for v in re.search(r"Position: (\d+),(\d+)", geometry).groups())
        # What the window shows of the desktop, less the scroll bars where it is smaller.
        shown = [size // scale - (12 if size // scale < full else 0)
                 for size, full in zip(map(int, re.search(r"Geometry: (\d+)x(\d+)", geometry).groups()), (640, 360))]
        _, _, expected = screen_rgb(server, os.path.join(stack.dir, "server.png"))
        width, _, shot = screen_rgb(display, os.path.join(stack.dir, "client.png"))

        def client(x, y):  # the client's pixel at server point x, y
            at = 3 * ((origin[1] + y * scale) * width + origin[0] + x * scale)
            return shot[at:at + 3]
        off = [(x, y) for y in range(min(360, shown[1])) for x in range(0, 300, 3)
               if client(x, y) != expected[3 * (y * 640 + x):3 * (y * 640 + x) + 3]]
        if off:
            return f"{len(off)} desktop points off at origin {origin}, the first {off[:3]}"
        # The player is whatever is not flat right of the block; inside the covered corner the
        # desktop shows.
        player = [(x, y) for y in range(360 * scale) for x in range(260 * scale, 640 * scale)
                  if x < shown[0] * scale and y < shown[1] * scale
                  and shot[(at := 3 * ((origin[1] + y) * width + origin[0] + x)):at + 3] != flat]
        xs, ys = [x for x, _ in player], [y for _, y in player]
        box = (min(xs), min(ys), max(xs) + 1 - min(xs), max(ys) + 1 - min(ys)) if player else None
        want = tuple(v * scale for v in rect)
        corner = [p for p in player if covered[0] * scale <= p[0] < (covered[0] + covered[2]) * scale
                  and covered[1] * scale <= p[1] < (covered[1] + covered[3]) * scale]
        if not box or any(abs(a - b) > scale for a, b in zip(box, want)) or corner:
            return f"player at {box} in the desktop at {origin}, expected {want}; {len(corner)} points in the covered corner"
        return None

    for step, move in (("placed", None), ("main window moved", ("windowmove", window, "150", "90")),
                       ("main window smaller", ("windowsize", window, str(600 * scale), str(300 * scale)))):
        if move:
            xdotool(*move)
        try:
            until(lambda: check() is None, 20, check)
        except Failure as failure:
            raise Failure(f"{step}: {failure}")
    # The host's pointer and keys reach the probe's text field on the agent's display.
    origin = tuple(int(v) for v in re.search(r"Position: (\d+),(\d+)", xdotool("getwindowgeometry", window)).groups())
    xdotool("mousemove", str(origin[0] + 123 * scale), str(origin[1] + 255 * scale), "click", "1")
    probe.wait_line(r"^press 123 255 1$", 20)
    xdotool("type", "--delay", "50", "h5 Redir")
    # Keys with the E0 prefix too: Home, then End and Delete after Left.
    xdotool("key", "--delay", "50", "Home", "x", "End", "Left", "Delete")
    probe.wait_line(r"^text xh5 Redi$", 20)


def pixels_like(shot, width, low, high):
    """The x, y of every pixel of an RGB screenshot whose channels lie between low and high."""
    pattern = re.compile(b"(?=" + b"".join(b"[" + re.escape(bytes([a])) + b"-" + re.escape(bytes([b])) + b"]"
                                          for a, b in zip(low, high)) + b")", re.S)
    return [(i // 3 % width, i // 3 // width) for i in (m.start() for m in pattern.finditer(shot)) if i % 3 == 0]


# The colours of videos.html as a screenshot shows them: the client's player, the page's own
# copy of the video, the rings that mark each video's box, the page's menu, the probe's window.
PLAYER, REMOTE, RING = ((180, 0, 0), (255, 70, 70)), ((0, 0, 180), (70, 70, 255)), ((0, 200, 0), (60, 255, 60))
MENU, PROBE = ((200, 200, 0), (255, 255, 60)), ((24, 72, 120), (40, 88, 136))


def marked_boxes(shot, width, scale):
    """The boxes inside the green rings of the screen, as (left, top, right, bottom), left to right."""
    left, boxes = set(pixels_like(shot, width, *RING)), []
    while left:
        todo, ring = [left.pop()], []
        while todo:
            x, y = todo.pop()
            ring.append((x, y))
            for near in ((x + dx, y + dy) for dx in (-2, -1, 0, 1, 2) for dy in (-2, -1, 0, 1, 2)):
                if near in left:
                    left.remove(near)
                    todo.append(near)
        if len(ring) > 100:  # not a stray pixel of some edge
            xs, ys, w = [x for x, _ in ring], [y for _, y in ring], 2 * scale
            boxes.append((min(xs) + w, min(ys) + w, max(xs) + 1 - w, max(ys) + 1 - w))
    return sorted(boxes)


def inside(point, box, margin):
    return box[0] - margin <= point[0] < box[2] + margin and box[1] - margin <= point[1] < box[3] + margin


def overlay_fault(display, path, scale, count, cover):
    """What is wrong with the client's screen: count marked boxes, each filled by the player but for
    what shows the cover colour, and nothing of the player outside them; None when it is right."""
    width, _, shot = screen_rgb(display, path)
    boxes, player = marked_boxes(shot, width, scale), pixels_like(shot, width, *PLAYER)
    if len(boxes) != count:
        return f"{len(boxes)} marked boxes {boxes}, expected {count}"
    stray = [p for p in player if not any(inside(p, box, scale) for box in boxes)]
    if stray:
        return f"{len(stray)} player pixels outside the boxes {boxes}, the first {stray[:3]}"
    for box in boxes:
        remote = [p for p in pixels_like(shot, width, *REMOTE) if inside(p, box, -scale)]
        if remote or not any(inside(p, box, 0) for p in player):
            return f"box {box}: {len(remote)} pixels of the remote video show, the first {remote[:3]}"
    covered = [p for p in pixels_like(shot, width, *cover) if inside(p, boxes[0], 0)] if cover else []
    if cover and not covered:
        return f"box {boxes[0]}: nothing of the cover shows"
    if covered:
        area = (min(x for x, _ in covered), min(y for _, y in covered), max(x for x, _ in covered) + 1,
                max(y for _, y in covered) + 1)
        over = [p for p in player if inside(p, area, -scale)]
        if over:
            return f"{len(over)} player pixels over the cover at {area}, the first {over[:3]}"
    return None


def start_browser(stack, scale, page):
    """The page's servers, the agent with its desktop and Chromium at videos.html, and the host on a
    display of its own at Qt's scale factor: the display, the agent's display, the agent, the host
    and what xdotool needs on either display."""
    display = stack.display("1800x1100")
    serve = stack.start("serve", [os.path.join(SOURCE, "examples", "page", "serve"), page, stack.dir])
    url = serve.wait_line(r"^page (\S+)", 30).group(1).replace("index.html", "videos.html")
    agent = stack.start("agent", [stack.options.agent, "--desktop", "--size", "800x500", "--browser", url,
                                  "--upstream", serve.wait_line(r"^upstream (\S+)", 30).group(1)])
    port = int(agent.wait_line(r"listening on 127\.0\.0\.1:(\d+)", 10).group(1))
    server = agent.wait_line(r"agent: desktop (:\d+) ", 20).group(1)
    host = stack.host(port, "--quit-on-loss", player="webengine", display=display,
                      env=dict(stack.env, QT_SCALE_FACTOR=str(scale)))
    host.wait_line(r"player 1 shown", 60)

    def xdotool(screen, *argv):
        return subprocess.run(["xdotool", *argv], env=dict(os.environ, DISPLAY=screen), capture_output=True,
                              text=True, check=True, timeout=20).stdout
    window = xdotool(display, "search", "--sync", "--name", "^browser_Redir$").split()[0]
    origin = tuple(int(v) for v in re.search(r"Position: (\d+),(\d+)", xdotool(display, "getwindowgeometry", window)).groups())
    return display, server, agent, host, xdotool, origin


def case_browser(stack, args):
    """Chromium on the agent's desktop plays videos.html; after each step on that desktop, the
    client's screen shows the player exactly in each marked video box at Qt's scale factor args.arg,
    masked where the remote desktop covers it, and nowhere else."""
    scale = int(args.arg)
    display, server, agent, host, xdotool, origin = start_browser(stack, scale, args.page)
    chromium = xdotool(server, "search", "--name", "^Videos").split()[0]
    probe = stack.start("probe", [args.probe, "200x150+560+300"], dict(stack.env, DISPLAY=server, QT_QPA_PLATFORM="xcb"))
    probe.wait_line(r"^ready", 20)
    xdotool(server, "windowfocus", chromium)  # the probe took the focus: no window manager gives it back

    def on_page(*argv):
        """Input on the page's background through the host: the pointer there first, and a click
        before keys, which go to the host's focused window."""
        xdotool(display, "mousemove", str(origin[0] + 20 * scale), str(origin[1] + 470 * scale), *argv)

    def over_video():
        left, top = map(int, re.findall(r'"commandId":22,"height":\d+,"id":1,"left":(\d+),"top":(\d+)',
                                        "\n".join(agent.lines))[-1])
        xdotool(server, "windowmove", xdotool(server, "search", "--pid", str(probe.popen.pid)).split()[0],
                str(left + 240), str(top + 120))

    # Each row: the step, what it does, then the marked boxes and the colour that must cover part
    # of the first one.
    for step, action, count, cover in (
            ("loaded", lambda: None, 1, None),
            ("wheel down", lambda: on_page("click", "5"), 1, None),
            ("menu open", lambda: on_page("click", "1", "key", "m"), 1, MENU),
            ("menu closed", lambda: on_page("click", "1", "key", "m"), 1, None),
            ("remote window over the video", over_video, 1, PROBE),
            ("remote window closed", probe.stop, 1, None),
            ("browser window narrower", lambda: xdotool(server, "windowsize", chromium, "700", "500"), 1, None),
            ("scrolled out of view", lambda: on_page("click", "--repeat", "12", "5"), 0, None),
            ("scrolled back", lambda: on_page("click", "--repeat", "12", "4"), 1, None),
            ("second video", lambda: on_page("click", "1", "key", "a"), 2, None),
            ("first video removed", lambda: on_page("click", "1", "key", "r"), 1, None)):
        action()
        shot = os.path.join(stack.dir, "client.png")
        until(lambda: overlay_fault(display, shot, scale, count, cover) is None, 20,
              lambda: f"{step}: {overlay_fault(display, shot, scale, count, cover)}")
    agent.wait_line(r'server -> client: \{"commandId":26,"id":1\}', 10)


def seen(agent, command, timeout=60):
    agent.wait_line(r'expected and seen: \{"commandId":%d,' % command, timeout)


def case_player_road(stack, args):
    """The page reaches the player only through the tunnel (its server is in a network namespace
    that only tinyproxy, behind the agent, reaches), so every event the agent sees proves it."""
    display, agent, host, (x, y) = start_player(stack, os.path.join(HERE, "player-road.jsonl"))
    seen(agent, 5)
    # The page's controls sit at fixed places: a link to a new window, a download, full screen.
    for left, command in ((50, 13), (150, 9), (250, 11)):
        click(display, x + left, y + 20)
        seen(agent, command, 40)
    expect_success("an unmet expectation", agent)
    host.wait_line(r"destroy player 7", 10)
    expect_success("the player's road", host)


def sink_input_state(env, pid):
    """The mute state and channel volumes of each PulseAudio stream of process pid."""
    listing = subprocess.run(["pactl", "--format=json", "list", "sink-inputs"], env=env,
                             capture_output=True, text=True, timeout=10).stdout
    return [f"mute={'yes' if stream['mute'] else 'no'} volume="
            + ",".join(sorted({channel["value_percent"] for channel in stream["volume"].values()}))
            for stream in json.loads(listing) if stream["properties"].get("application.process.id") == str(pid)]


def case_player_audio(stack, args):
    # A PulseAudio daemon of this test's own with a null sink, where the player's sound goes.
    pulse = os.path.join(stack.dir, "pulse")
    os.mkdir(pulse, 0o700)
    env = dict(stack.env, HOME=pulse, XDG_RUNTIME_DIR=pulse, PULSE_RUNTIME_PATH=pulse,
               PULSE_STATE_PATH=pulse, PULSE_SERVER=f"unix:{pulse}/native")
    # The library runs the volume script from the host's directory: here the real one, in a
    # directory whose name would run "touch injected", or miss the script, were it given to a shell.
    program_dir = os.path.join(stack.dir, """host  'q' "d";touch injected;$(touch injected) `touch injected` && >injected & 'x\\;y""")
    os.mkdir(program_dir)
    program = shutil.copy(args.host, program_dir)
    script = shutil.copy(os.path.join(SOURCE, "scripts", "h5setvol.sh"), program_dir)

    def run_script(pid, *argv, status):
        done = subprocess.run([script, str(pid), *argv], env=env, capture_output=True, text=True, timeout=20)
        if done.returncode != status or done.stdout or len(done.stderr.splitlines()) != (status != 0):
            raise Failure(f"h5setvol.sh {pid} {argv}: exit {done.returncode}, expected {status}: {done.stderr!r}")

    # No server yet: the script fails quietly rather than waiting or spawning one.
    run_script(os.getpid(), "set-sink-input-mute", "toggle", status=1)
    stack.start("pulseaudio", ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                               "-L", "module-null-sink sink_name=h5null",
                               "-L", f"module-native-protocol-unix auth-anonymous=1 socket={pulse}/native"], env)
    until(lambda: subprocess.run(["pactl", "info"], env=env, capture_output=True).returncode == 0, 20,
          "the PulseAudio daemon did not come up")
    # Another process's stream, which the script must leave as it was.
    with open("/dev/zero") as zero:
        other = stack.start("other", ["pacat", "--device=h5null"], env, zero).popen.pid
    _, agent, host, _ = start_player(stack, os.path.join(HERE, "player-audio.jsonl"), "--volume", "40",
                                     hold=True, program=program, env=env)
    seen(agent, 5)

    def streams():
        return {pid: sink_input_state(env, pid) for pid in (host.popen.pid, other)}
    untouched = ["mute=no volume=100%"]
    # Each row: what the client's user changes, then the state of the player's stream.
    for change, expected in (("", "mute=no volume=40%"), ("mute on", "mute=yes volume=40%"),
                             ("volume 25", "mute=yes volume=25%"), ("mute off", "mute=no volume=25%")):
        if change:
            host.popen.stdin.write(change + "\n")
            host.popen.stdin.flush()
        until(lambda: streams() == {other: untouched, host.popen.pid: [expected]}, 20,
              lambda: f"after {change!r}: the streams are {streams()}, expected [{expected!r}]")
    # Bad arguments are refused before anything is set, a pid that is part of another is none of
    # its streams, and a volume PulseAudio refuses is reported: the other stream stays as it was.
    for pid, argv, status in ((other, ("set-sink-input-volume", "5%;touch injected"), 2),
                              (other, ("set-sink-input-volume", "30"), 2),
                              (other, ("set-sink-input-mute", "yes"), 2),
                              (f"{other} ", ("set-sink-input-mute", "true"), 2),
                              (str(other)[:-1], ("set-sink-input-mute", "toggle"), 0),
                              (str(other)[1:], ("set-sink-input-mute", "toggle"), 0),
                              (other, ("set-sink-input-volume", "99999999999%"), 1)):
        run_script(pid, *argv, status=status)
    if sink_input_state(env, other) != untouched or "injected" in os.listdir(stack.dir):
        raise Failure(f"the other stream {sink_input_state(env, other)}, or a shell ran")


PAGE_RESOURCES = 12


def page_files():
    """index.html and the dozen stylesheets, scripts and images it loads, 16 to 48 KiB each. The
    page's body ends up with data-result="LOADED/FAILED" and data-ms, its load time."""
    # Stylesheets, scripts and images in turn: each one's name ending, content and tag.
    kinds = ((".css", ".r{i} {{ color: #{i:06x}; }}\n/*{pad}*/\n", '<link rel="stylesheet" href="{name}" {events}>'),
             (".js", "var r{i} = {i};\n/*{pad}*/\n", '<script src="{name}" {events}></script>'),
             (".svg", '<svg xmlns="http://www.w3.org/2000/svg" width="8" height="8"><!--{pad}-->'
                      '<rect width="8" height="8" fill="#{i:06x}"/></svg>', '<img src="{name}" {events}>'))
    files, tags = {}, []
    for i in range(PAGE_RESOURCES):
        ending, content, tag = kinds[i % 3]
        files[f"r{i}{ending}"] = content.format(i=i, pad="x" * (16384 * (1 + i % 3))).encode()
        tags.append(tag.format(name=f"r{i}{ending}", events='onload="loaded(1)" onerror="loaded(0)"'))
    files["index.html"] = ("<!DOCTYPE html><html><head><script>var ok = 0, bad = 0;"
                           "function loaded(good) { good ? ++ok : ++bad; }</script>" + "".join(tags) +
                           '</head><body onload="document.body.dataset.result = ok + \'/\' + bad;'
                           'document.body.dataset.ms = Math.round(performance.now());"></body></html>'
                           ).encode()
    return files


class Origin:
    """A web server in this process: HTTP/1.1 with persistent connections, or HTTP/1.0, which ends
    each connection after its answer."""

    TYPES = {"html": "text/html", "css": "text/css", "js": "text/javascript", "svg": "image/svg+xml"}

    def __init__(self, files, persistent=True):
        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1" if persistent else "HTTP/1.0"

            def do_GET(self):
                name = self.path.rsplit("/", 1)[-1]
                body = files.get(name, b"")
                self.send_response(200 if name in files else 404)
                self.send_header("Content-Type", Origin.TYPES.get(name.rsplit(".", 1)[-1], "text/plain"))
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

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
    return origin, upstream, wait_listening(tunnel, "the tunnel")


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
    # The page counts its resources' load events; with a fresh profile, every one came through
    # the tunnel.
    result, _ = load_page(stack, tunnel, origin.url, 90)
    if result != f"{PAGE_RESOURCES}/0":
        raise Failure(f"page load {result}")


CASES = {"scenario": case_scenario, "channel-loss": case_channel_loss, "missing-upstream": case_shortfall,
         "no-agent": case_shortfall, "no-engine": case_shortfall, "player-road": case_player_road,
         "player-audio": case_player_audio, "page-load": case_page_load, "desktop": case_desktop,
         "browser": case_browser}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--agent", required=True)
    parser.add_argument("--host", required=True)
    parser.add_argument("--page", help="the player's page, as built")
    parser.add_argument("--probe", help="the desktop probe: a picture and a text field for the agent's display")
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

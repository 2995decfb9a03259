#!/usr/bin/env python3
"""How far the client's player lags the remote desktop's picture when the page scrolls: Chromium on
the agent's desktop at videos.html, the host on an Xvfb of its own, everything as the e2e browser
test starts it (tests/e2e/e2e.py). Each round turns the wheel once over the page in the host's
window and times, on the client's screen, when the desktop picture shows the video's ring moved
(A) and when the player left the same place (B), both from the wheel (bench/overlay-skew-probe.c,
built here, watches both points in a tight loop). The scroll is animated, so A and B are taken at
the same 60 px of movement. After each round, the player must be at the box's new place.

    overlay-skew.py --agent AGENT --host HOST --page WWW [--rounds 50]

Prints tab-separated figures (group, label, value, unit) as the other benchmarks do; what the
agent and the host print goes to stderr.
"""

import argparse
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import e2e  # noqa: E402

WARM_UP = 4


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def main():
    parser = argparse.ArgumentParser()
    for option in ("--agent", "--host", "--page"):
        parser.add_argument(option, required=True, type=os.path.abspath)
    parser.add_argument("--rounds", type=int, default=50)
    options = parser.parse_args()
    figures, sys.stdout = sys.stdout, sys.stderr  # the stack echoes its processes' lines
    with e2e.Stack(options) as stack:
        eye = os.path.join(stack.dir, "overlay-skew-probe")
        subprocess.run(["cc", "-O2", "-o", eye, os.path.join(HERE, "overlay-skew-probe.c"), "-lX11", "-lXext",
                        "-lXtst"], check=True)
        display, _, _, _, xdotool, origin = e2e.start_browser(stack, 1, options.page)
        probe = subprocess.Popen([eye, display], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        shot = os.path.join(stack.dir, "client.png")
        xdotool(display, "mousemove", str(origin[0] + 20), str(origin[1] + 470))
        skews, rounds, stale = [], [], 0
        for i in range(WARM_UP + options.rounds):
            e2e.until(lambda: e2e.overlay_fault(display, shot, 1, 1, None) is None, 10,
                      lambda: f"round {i}: {e2e.overlay_fault(display, shot, 1, 1, None)}")
            width, _, pixels = e2e.screen_rgb(display, shot)
            left, top, _, bottom = e2e.marked_boxes(pixels, width, 1)[0]
            # Down (button 5) moves the page up, out past the points 60 px above the box's bottom;
            # up (4) moves it down past those 60 px below its top. The first round goes down.
            button, y = (5, bottom - 60) if i % 2 == 0 else (4, top + 60)
            probe.stdin.write(f"{button} {left - 1} {y} {left + 20} {y}\n")
            probe.stdin.flush()
            a, b = map(float, probe.stdout.readline().split())
            try:
                e2e.until(lambda: e2e.overlay_fault(display, shot, 1, 1, None) is None, 5, "stale")
            except e2e.Failure:
                stale += 1
            if i >= WARM_UP and a >= 0 and b >= 0:
                skews.append(b - a)
                rounds.append(b)
        probe.stdin.close()
        probe.wait()
    group = "overlay"
    for label, values in (("player behind the desktop picture", skews), ("wheel to player in place", rounds)):
        for name, value in (("median", statistics.median(values)), ("p95", percentile(values, 0.95)),
                            ("max", max(values))):
            print(f"{group}\t{label}, {name}\t{value:.1f}\tms", file=figures)
    print(f"{group}\tscrolls timed\t{len(skews)} of {options.rounds}\tscrolls", file=figures)
    print(f"{group}\tplayer left at a stale place after the desktop settled\t{stale}\tscrolls", file=figures)
    return 0


if __name__ == "__main__":
    sys.exit(main())

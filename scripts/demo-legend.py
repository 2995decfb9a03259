#!/usr/bin/env python3
"""Drawing instructions (ImageMagick's MVG) that mark up the demo's screenshot: each player's
rectangle, the rectangles the server says cover it (the last ones sent), and a legend with the
title the player reported. Read from the agent's and the host's printed lines, so the marks show what was asked;
the picture underneath shows what the X server made of it.

    demo-legend.py AGENT_OUTPUT HOST_OUTPUT > draw.mvg
"""

import json
import re
import sys

agent_lines, host_lines = (open(path).read().splitlines() for path in sys.argv[1:3])

players = {}  # tab id: (x, y, w, h on the screen), and where the main window is
origin = (0, 0)
for line in host_lines:
    match = re.search(r"player (-?\d+) at (-?\d+),(-?\d+) size (\d+)x(\d+), on the screen at (-?\d+),(-?\d+)", line)
    if match:
        tab, x, y, w, h, sx, sy = map(int, match.groups())
        players[tab] = (sx, sy, w, h)
        origin = (sx - x, sy - y)
covers, titles = {}, {}
for line in agent_lines:
    direction, _, text = line.partition(": ")
    if direction in ("server -> client", "client -> server") and text.startswith("{"):
        message = json.loads(text)
        if direction == "server -> client" and message.get("commandId") == 24:
            covers[message.get("id")] = message.get("data", [])
        elif direction == "client -> server" and message.get("commandId") == 5:
            titles[message.get("id")] = message.get("data", "")


def quoted(text):
    return "'" + text.replace("\\", "\\\\").replace("'", "\\'") + "'"


print("fill none\nstroke-width 3")
legend = []
for tab, (x, y, w, h) in sorted(players.items()):
    print(f"stroke cyan\nrectangle {x},{y} {x + w - 1},{y + h - 1}")
    legend.append(("cyan", f"player {tab}: \"{titles.get(tab, '')}\" at {x},{y} {w}x{h}"))
    for rect in covers.get(tab, []):
        left, top = origin[0] + rect["left"], origin[1] + rect["top"]
        print(f"stroke magenta\nrectangle {left},{top} {left + rect['width'] - 1},{top + rect['height'] - 1}")
        legend.append(("magenta", f"covered on the remote desktop at {left},{top} {rect['width']}x{rect['height']}: "
                              "the player is masked there"))
# The demo page's clip is red in the client's player and blue in the remote browser.
legend.append(("red", "the client's player shows the video in red; the remote browser's copy is blue"))
top = origin[1] + 470
print(f"stroke none\nfill #000000b0\nrectangle {origin[0] + 8},{top} {origin[0] + 760},{top + 12 + 24 * len(legend)}")
print("font-size 16")
for row, (colour, text) in enumerate(legend):
    y = top + 28 + 24 * row
    print(f"fill {colour}\nrectangle {origin[0] + 16},{y - 12} {origin[0] + 28},{y}")
    print(f"fill white\ntext {origin[0] + 36},{y} {quoted(text)}")

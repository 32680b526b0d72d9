#!/usr/bin/python3
"""Reads the includes of Run/ and fails when a folder includes one on its own
floor or above, or when two files include each other through any chain.

Floors, from the bottom: platform; host and supervision; update (which may
reach the supervision only through supervision/ProgramControl.h); status;
the start-up at the top of Run/."""
import collections
import os
import re
import sys

FLOOR = {"platform": 0, "host": 1, "supervision": 1, "update": 2, "status": 3, "": 4}
# The one way the update path reaches a floor beside it.
ALLOWED = {("update", "supervision/ProgramControl.h"), ("update", "supervision/ProgramFailures.h")}

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "Run")
files = {}
for base, _, names in os.walk(root):
    for name in names:
        if name.endswith((".h", ".cpp")):
            rel = os.path.relpath(os.path.join(base, name), root)
            with open(os.path.join(root, rel)) as f:
                files[rel] = re.findall(r'#include "([^"]+)"', f.read())

problems = []
units = collections.defaultdict(set)
for rel, includes in sorted(files.items()):
    folder = os.path.dirname(rel)
    for inc in includes:
        if inc not in files:
            continue  # the toolkit's, or the system's
        target = os.path.dirname(inc)
        if target not in FLOOR or folder not in FLOOR:
            problems.append("%s: folder not on a floor" % rel)
        elif target != folder and FLOOR[target] >= FLOOR[folder] \
                and (folder, inc) not in ALLOWED:
            problems.append("%s includes %s: not a floor below" % (rel, inc))
        if os.path.splitext(inc)[0] != os.path.splitext(rel)[0]:
            units[os.path.splitext(rel)[0]].add(os.path.splitext(inc)[0])

state = {}
def visit(unit, path):
    state[unit] = 1
    for nxt in sorted(units[unit]):
        if state.get(nxt) == 1:
            problems.append("circle: " + " -> ".join(path[path.index(nxt):] + [nxt]))
        elif nxt not in state:
            visit(nxt, path + [nxt])
    state[unit] = 2

for unit in sorted(units):
    if unit not in state:
        visit(unit, [unit])

for p in problems:
    print(p)
sys.exit(1 if problems else 0)

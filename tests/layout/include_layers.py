#!/usr/bin/env python3
"""Checks the include structure of the folders under src/.

Every `#include "..."` of a source file names a file of its own folder or of
another folder under src/. From these the script draws the graph of folders
and fails when:
  - two or more folders reach each other, directly or through others (a
    cycle of folders);
  - a core folder includes the form, the desktop program or the command
    (directly; through another core folder the first rule or this one
    already names the other folder);
  - the form includes the desktop program or the command.

The front ends are src/form (the form's state and handlers over the core),
src/gui and src/cli; every other folder is core, a new one too.

Usage: include_layers.py SRC_DIR
"""

import re
import sys
from collections import defaultdict
from pathlib import Path

FORM = "form"
PROGRAMS = ("gui", "cli")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def includes(src):
    """(from folder, to folder) -> [(file, line number, included)]."""
    edges = defaultdict(list)
    folders = {p.name for p in src.iterdir() if p.is_dir()}
    for path in sorted(src.rglob("*")):
        if path.suffix not in (".h", ".cpp", ".hpp", ".cc") or not path.is_file():
            continue
        here = path.relative_to(src).parts[0]
        for number, line in enumerate(path.read_text(encoding="utf-8", errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            target = m.group(1)
            there = target.split("/", 1)[0] if "/" in target else here
            if there not in folders or there == here:
                continue
            edges[(here, there)].append((path.relative_to(src.parent), number, target))
    return folders, edges


def cycles(folders, edges):
    """The groups of two or more folders that reach each other (Tarjan)."""
    graph = defaultdict(set)
    for a, b in edges:
        graph[a].add(b)
    index, low, on_stack, stack, groups = {}, {}, set(), [], []

    def visit(v):
        index[v] = low[v] = len(index)
        stack.append(v)
        on_stack.add(v)
        for w in sorted(graph[v]):
            if w not in index:
                visit(w)
                low[v] = min(low[v], low[w])
            elif w in on_stack:
                low[v] = min(low[v], index[w])
        if low[v] == index[v]:
            group = []
            while True:
                w = stack.pop()
                on_stack.discard(w)
                group.append(w)
                if w == v:
                    break
            if len(group) > 1:
                groups.append(sorted(group))

    for v in sorted(folders):
        if v not in index:
            visit(v)
    return groups


def forbidden(a, b):
    """Why folder `a` may not include folder `b`, or None."""
    if a == FORM and b in PROGRAMS:
        return "the form includes a program's own folder"
    if a not in (FORM,) + PROGRAMS and b in (FORM,) + PROGRAMS:
        return "a core folder includes a front end"
    return None


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    src = Path(argv[1])
    folders, edges = includes(src)
    faults = []
    for (a, b), sites in sorted(edges.items()):
        why = forbidden(a, b)
        if why:
            for file, number, target in sites:
                faults.append(f'{file}:{number}: {why}: "{target}"')
    for group in cycles(folders, edges):
        inside = [(a, b) for (a, b) in sorted(edges) if a in group and b in group]
        faults.append("folders include each other: " + ", ".join(group))
        for a, b in inside:
            file, number, target = edges[(a, b)][0]
            faults.append(f'    {a} -> {b}: {file}:{number}: "{target}"')
    for fault in faults:
        print(fault)
    if not faults:
        print(f"{len(folders)} folders, {len(edges)} folder-to-folder includes, no cycle, no core include of a front end")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

#!/usr/bin/env python3
"""Functions of the library that nothing in the library reaches.

Walks the whole-program reference graph of the built shared library (libtarv.so, which holds
every layer object): code references read from its disassembly (calls, jumps, addresses
taken), data references from its relocations (vtables, function tables, static
initialisers). The roots are the exported functions and every reference from outside a
symbol (initialiser arrays and the like). A function that no path from a root reaches is
called only by the tests (which link the layers themselves) or by nothing.

  scripts/unreached_functions.py build/libtarv.so [folder ...]

prints the unreached functions defined in the named source folders (default: the engine's
core board views camera detector recovery engine variants autocal), one per line as
"folder<TAB>file:line<TAB>demangled name".
"""
import bisect
import re
import subprocess
import sys
from collections import defaultdict

DEFAULT_FOLDERS = ["core", "board", "views", "camera", "detector", "recovery", "engine", "variants", "autocal"]


def run(*cmd):
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def main():
    lib = sys.argv[1]
    folders = sys.argv[2:] or DEFAULT_FOLDERS
    # Symbols with their address ranges and source lines.
    symbols = {}  # address -> (name, size, type)
    source = {}
    for line in run("nm", "-l", "-S", "--defined-only", lib).splitlines():
        m = re.match(r"([0-9a-f]+) ([0-9a-f]+) (\w) (\S+)(?:\t(\S+))?", line)
        if not m:
            continue
        address, size, kind, name, where = int(m[1], 16), int(m[2], 16), m[3], m[4], m[5]
        if size == 0:
            continue
        symbols.setdefault(address, (name, size, kind))
        if where:
            source[name] = where
    starts = sorted(symbols)

    def owner(address):
        i = bisect.bisect_right(starts, address) - 1
        if i < 0:
            return None
        start = starts[i]
        name, size, _ = symbols[start]
        return name if address < start + size else None

    by_name = {name: kind for (name, _, kind) in symbols.values()}
    edges = defaultdict(set)
    roots = set()

    # Code: every address an instruction names.
    current = None
    target = re.compile(r"\b([0-9a-f]+) <([^>]+)>")
    for line in run("objdump", "-d", "--no-show-raw-insn", lib).splitlines():
        head = re.match(r"^([0-9a-f]+) <([^>]+)>:$", line)
        if head:
            current = owner(int(head[1], 16))
            continue
        for address, label in target.findall(line):
            if label.endswith("@plt"):
                name = label[:-4]
            else:
                name = owner(int(address, 16))
            if name is None:
                continue
            if current is None:
                roots.add(name)
            elif name != current:
                edges[current].add(name)

    # Data: relative relocations point at code or data from a place in data.
    for line in run("readelf", "-rW", lib).splitlines():
        parts = line.split()
        if len(parts) < 4 or not re.match(r"^[0-9a-f]+$", parts[0]):
            continue
        where = owner(int(parts[0], 16))
        to = None
        if parts[2] == "R_X86_64_RELATIVE":
            to = owner(int(parts[3], 16))
        elif len(parts) >= 5:
            to = parts[4].split("@")[0]
        if to is None:
            continue
        if where is None:
            roots.add(to)
        elif to != where:
            edges[where].add(to)

    for line in run("nm", "-D", "--defined-only", lib).splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "TW":
            roots.add(parts[2])

    reached = set()
    stack = list(roots)
    while stack:
        name = stack.pop()
        if name in reached:
            continue
        reached.add(name)
        stack.extend(edges.get(name, ()))

    unreached = []
    for name, kind in by_name.items():
        if kind not in "TtWw" or name in reached:
            continue
        where = source.get(name, "")
        m = re.search(r"/src/tarv/([a-z]+)/([^:]+:\d+)", where)
        if not m or m[1] not in folders:
            continue
        unreached.append((m[1], m[2], name))
    names = run("c++filt", *[n for _, _, n in unreached]).splitlines() if unreached else []
    for (folder, where, _), pretty in sorted(zip(unreached, names)):
        print(f"{folder}\t{where}\t{pretty}")


if __name__ == "__main__":
    main()

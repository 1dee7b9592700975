#!/usr/bin/env python3
"""Stack use of a routine of corcard and of everything of ours it can call, from the .ci files
that -fcallgraph-info=su leaves next to the objects of the Windows tree.

usage: stack_use.py OBJECT_DIR [ROUTINE]   (ROUTINE defaults to AdapterIsr)
Prints JSON: the routine's own frame, the deepest path through routines of ours, and the calls
that leave our code (imports, callbacks through pointers) which the figure does not include.
"""
import json
import os
import re
import sys

NODE = re.compile(r'node: \{ title: "([^"]+)" label: "([^"]*)"')
EDGE = re.compile(r'edge: \{ sourcename: "([^"]+)" targetname: "([^"]+)"')
BYTES = re.compile(r'\\n(\d+) bytes \((static|dynamic[^)]*)\)')


def main():
    root = sys.argv[1]
    routine = sys.argv[2] if len(sys.argv) > 2 else "AdapterIsr"
    frames, kinds, names, calls = {}, {}, {}, {}
    for folder, _, files in os.walk(root):
        for name in files:
            if not name.endswith(".ci"):
                continue
            text = open(os.path.join(folder, name), encoding="utf-8", errors="replace").read()
            for title, label in NODE.findall(text):
                names.setdefault(title, label.split("\\n")[0])
                m = BYTES.search(label)
                if m:  # defined in one of our objects
                    frames[title] = int(m.group(1))
                    kinds[title] = m.group(2)
            for source, target in EDGE.findall(text):
                calls.setdefault(source, set()).add(target)

    start = [t for t in frames if re.search(r"\b%s\(" % re.escape(routine), names[t])]
    if len(start) != 1:
        print(json.dumps({"error": "routine %s not found once" % routine}))
        return 1
    outside = set()

    def deepest(title, seen):
        best, path = 0, []
        for callee in sorted(calls.get(title, ())):
            if callee in frames and callee not in seen:
                depth, sub = deepest(callee, seen | {callee})
                if depth > best:
                    best, path = depth, sub
            elif callee not in frames:
                outside.add(names.get(callee, callee))
        return frames[title] + best, [names[title]] + path

    total, path = deepest(start[0], {start[0]})
    print(json.dumps({
        "routine": routine,
        "own_frame_bytes": frames[start[0]],
        "frame_kind": kinds[start[0]],
        "deepest_path_bytes": total,
        "deepest_path": path,
        "calls_outside_our_code": sorted(outside),
    }))
    return 0


if __name__ == "__main__":
    sys.exit(main())

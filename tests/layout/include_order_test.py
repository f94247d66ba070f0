#!/usr/bin/env python3
"""The folders of server/ are layers: a file includes only headers of its own folder or
of the folders below it, in the order server/CMakeLists.txt gives (VELWEB_SERVER_FOLDERS,
from the top down); main.cpp and the core, at the top, include from any.

    include_order_test.py SERVER_DIR
"""
import os
import re
import sys


def main(server):
    cmake = open(os.path.join(server, "CMakeLists.txt"), encoding="utf-8").read()
    match = re.search(r"set\(VELWEB_SERVER_FOLDERS ([^)]*)\)", cmake)
    if not match:
        print("FAIL: server/CMakeLists.txt names no VELWEB_SERVER_FOLDERS")
        return 1
    folders = match.group(1).split()
    rank = {folder: n + 1 for n, folder in enumerate(folders)}

    def rank_of(relative):
        parts = relative.split(os.sep)
        return 0 if len(parts) == 1 else rank.get(parts[0])

    headers = {}  # bare name -> path relative to server/
    files = []
    for root, _, names in os.walk(server):
        for name in names:
            if name.endswith((".h", ".cpp")):
                relative = os.path.relpath(os.path.join(root, name), server)
                files.append(relative)
                if name.endswith(".h"):
                    headers.setdefault(name, relative)
    problems = []
    for relative in sorted(files):
        own = rank_of(relative)
        if own is None:
            problems.append(f"{relative}: in a folder that VELWEB_SERVER_FOLDERS does not name")
            continue
        text = open(os.path.join(server, relative), encoding="utf-8", errors="replace").read()
        for included in re.findall(r'^#include "([^"]+)"', text, re.M):
            target = headers.get(os.path.basename(included))
            if target is None:
                continue  # common/, exchange/ or a generated header
            theirs = rank_of(target)
            if own and theirs is not None and theirs < own:
                problems.append(f"{relative} includes {target}, which lies above it")
    for problem in problems:
        print("FAIL: " + problem)
    if problems:
        return 1
    print(f"{len(files)} files of server/ include only downwards through {' > '.join(folders)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))

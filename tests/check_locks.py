#!/usr/bin/env python3
"""Checks the lock annotations of every product source with clang's
-Wthread-safety, whatever compiler built the tree: the sanitized build may be
g++, which reads none of them. Exits non-zero on any warning.

    tests/check_locks.py BUILD_DIR      (BUILD_DIR holds compile_commands.json)
"""
import json
import os
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Only the program's own layers; tests, the fuzzer and the bench hold no locks
# of ours worth checking and would only slow this down.
LAYERS = ("app/", "console/", "ftp/", "platform/", "server/", "store/", "sqlserial/")


def product_sources(commands):
    for entry in commands:
        path = os.path.relpath(entry["file"], SOURCE)
        if path.startswith(LAYERS) and not path.endswith("_test.cpp") and "/tests/" not in path:
            yield path, entry


def clang_command(entry):
    if entry["file"].endswith(".c"):
        return None
    args = entry.get("arguments") or shlex.split(entry["command"])
    kept = []
    for i, a in enumerate(args[1:], start=1):
        if a == "-isystem" and i + 1 < len(args):
            kept.append("-isystem" + args[i + 1])  # its folder is the next argument
        elif a.startswith(("-I", "-D", "-isystem", "-std=")):
            kept.append(a)
    return ["clang++", "-fsyntax-only", "-Wno-everything", "-Wthread-safety", "-Werror=thread-safety",
            *kept, entry["file"]]


def check(item):
    path, entry = item
    command = clang_command(entry)
    if command is None:
        return path, 0, ""
    done = subprocess.run(command, cwd=entry["directory"], capture_output=True, text=True)
    return path, done.returncode, done.stderr


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(os.path.join(sys.argv[1], "compile_commands.json")) as f:
        commands = json.load(f)
    items = sorted(dict(product_sources(commands)).items())
    failed = 0
    with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
        for path, code, errors in pool.map(check, items):
            if code or errors.strip():
                failed += 1
                sys.stderr.write(errors)
    print(f"{len(items)} sources checked, {failed} with lock warnings")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

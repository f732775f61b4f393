#!/usr/bin/env bash
# Share of test code in the repository: non-blank, non-comment C++ lines
# (*.cpp, *.hpp, *.h, *.cc) under tests/ and fuzz/ against all such lines
# tracked by git. Prints both counts and the percentage.
set -euo pipefail
cd "$(dirname "$0")/.."

git ls-files -z -- '*.cpp' '*.hpp' '*.h' '*.cc' | python3 -c '
import sys

def code_lines(path):
    """Lines holding code once comments are removed (string literals kept)."""
    try:
        text = open(path, encoding="utf-8", errors="replace").read()
    except OSError:
        return 0
    count = 0
    in_block = False
    for line in text.split("\n"):
        out = []
        i, n = 0, len(line)
        quote = None
        while i < n:
            c = line[i]
            if in_block:
                if line.startswith("*/", i):
                    in_block = False
                    i += 2
                else:
                    i += 1
                continue
            if quote:
                out.append(c)
                if c == "\\" and i + 1 < n:
                    out.append(line[i + 1])
                    i += 2
                    continue
                if c == quote:
                    quote = None
                i += 1
                continue
            if line.startswith("//", i):
                break
            if line.startswith("/*", i):
                in_block = True
                i += 2
                continue
            if c in "\"\x27":
                quote = c
            out.append(c)
            i += 1
        if "".join(out).strip():
            count += 1
    return count

files = [f for f in sys.stdin.read().split("\0") if f]
total = tests = 0
for f in files:
    lines = code_lines(f)
    total += lines
    if f.startswith("tests/") or f.startswith("fuzz/"):
        tests += lines
share = 100.0 * tests / total if total else 0.0
print(f"test lines (tests/ + fuzz/): {tests}")
print(f"all C++ lines:               {total}")
print(f"test share:                  {share:.1f} %")
'

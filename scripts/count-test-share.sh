#!/usr/bin/env bash
# Share of test code in the repository, counted on code as the committed
# .clang-format lays it out (each file is formatted in memory first, so
# joined lines count as what they are). Counts non-blank, non-comment lines:
# C++ (*.cpp, *.hpp, *.h, *.cc) and Python (*.py) tracked by git. Tests are
# everything under tests/ and fuzz/ and any test_*.py; bench/ counts on
# neither side. Prints both counts and the percentage.
set -euo pipefail
cd "$(dirname "$0")/.."
FORMAT=${CLANG_FORMAT:-clang-format}

git ls-files -z -- '*.cpp' '*.hpp' '*.h' '*.cc' '*.py' | FORMAT="$FORMAT" python3 -c '
import os, subprocess, sys

def strip_cpp_comments(text):
    """Lines holding code once comments are removed (string literals kept)."""
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

def python_lines(text):
    return sum(1 for l in text.split("\n") if l.strip() and not l.strip().startswith("#"))

def code_lines(path):
    if path.endswith(".py"):
        try:
            return python_lines(open(path, encoding="utf-8", errors="replace").read())
        except OSError:
            return 0
    try:
        with open(path, "rb") as f:
            text = subprocess.run([os.environ["FORMAT"], "--assume-filename=" + path], stdin=f,
                                  capture_output=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return 0
    return strip_cpp_comments(text.decode("utf-8", errors="replace"))

def is_test(path):
    return path.startswith(("tests/", "fuzz/")) or os.path.basename(path).startswith("test_")

files = [f for f in sys.stdin.read().split("\0") if f and not f.startswith("bench/")]
total = tests = 0
for f in files:
    lines = code_lines(f)
    total += lines
    if is_test(f):
        tests += lines
share = 100.0 * tests / total if total else 0.0
print(f"test lines (tests/, fuzz/, test_*.py): {tests}")
print(f"all lines (bench/ excluded):           {total}")
print(f"test share:                            {share:.1f} %")
'

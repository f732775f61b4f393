#!/usr/bin/env python3
"""Single-token mutants of the product sources.

  mutants.py generate SEED COUNT > scripts/mutants.txt
  mutants.py apply LIST ID        (mutates the file in place; exit 3 if the line is gone)
  mutants.py extend LIST SEED COUNT FILE...
                                 (COUNT more mutants drawn from FILEs only, numbered
                                  after LIST's last; append the output to LIST)
  mutants.py ids LIST             (in the fixed run order: a seeded shuffle of each
                                  batch of the list, batches in the list's order, so
                                  that any prefix of a run is itself a sample and a
                                  later batch leaves the order of the earlier alone)
  mutants.py tests BUILD FOLDER EXCLUDE
                                 (a ctest -R regex of the tests whose executable
                                  lies in tests/FOLDER, or of all the others with
                                  FOLDER prefixed by '!')

Each mutant is named by its file, the exact text of the original line (and
which of several identical lines), the operator and which occurrence of the
token on that line it changes, so the same list applies to a later tree as
long as the line is still there.
"""
import os
import random
import re
import sys

PRODUCT_DIRS = ("driver", "io", "panorama", "features", "composition", "geometry")
# Share of the sample per operator, in this order.
QUOTA = (("cmp", 0.25), ("const", 0.22), ("arith", 0.18), ("logic", 0.12), ("delete", 0.23))

FLIP = {"<": ">=", ">=": "<", ">": "<=", "<=": ">", "==": "!=", "!=": "=="}


def mask_literals(code):
    """Blanks string and character literals so no token is found inside one."""
    out = []
    quote = None
    i = 0
    while i < len(code):
        c = code[i]
        if quote:
            if c == "\\":
                out.append("  ")
                i += 2
                continue
            if c == quote:
                quote = None
                out.append(c)
            else:
                out.append(" ")
        else:
            if c in "\"'" and not (c == "'" and i > 0 and code[i - 1].isalnum()):
                quote = c
            out.append(c)
        i += 1
    return "".join(out)


def code_part(line, in_block):
    """The code of a line without comments, and whether a block comment stays open."""
    out = []
    i = 0
    while i < len(line):
        if in_block:
            end = line.find("*/", i)
            if end < 0:
                return "".join(out), True
            i = end + 2
            in_block = False
            continue
        masked = mask_literals(line[i:])
        c1 = masked.find("//")
        c2 = masked.find("/*")
        cut = [c for c in (c1, c2) if c >= 0]
        if not cut:
            out.append(masked)
            break
        first = min(cut)
        out.append(masked[:first])
        if first == c1 and (c2 < 0 or c1 < c2):
            break
        i += first + 2
        in_block = True
    return "".join(out), in_block


TOKEN_PATTERNS = {
    "cmp": re.compile(r"(?<=\s)(<=|>=|==|!=|<|>)(?=\s)"),
    "arith": re.compile(r"(?<=\s)([+-])(?=\s)"),
    "logic": re.compile(r"(&&|\|\|)"),
    "const": re.compile(r"(?<![\w.'])(\d+)(?![\w.'])"),
}
ASSIGN = re.compile(r"^\s*[\w.\[\]>-]+(\s*(\+|-|\*|/|\||&)?=\s*)[^=]")
CALL = re.compile(r"^\s*[\w:.>-]+\(.*\);\s*$")
INCR = re.compile(r"^\s*(\+\+|--)?[\w.\[\]]+(\+\+|--)?;\s*$")
SKIP = re.compile(r"^\s*(#|return\b|case\b|default\b|static_assert\b|template\b|using\b|namespace\b)")


def candidates(path):
    lines = open(path, encoding="utf-8").read().split("\n")
    seen = {}
    in_block = False
    prev_code = ""
    for idx, line in enumerate(lines):
        nth = seen.get(line, 0)
        seen[line] = nth + 1
        code, in_block_after = code_part(line, in_block)
        starts_in_block = in_block
        in_block = in_block_after
        if starts_in_block or not code.strip() or code.lstrip().startswith("#"):
            if code.strip():
                prev_code = code
            continue
        for kind, pattern in TOKEN_PATTERNS.items():
            if kind == "const" and SKIP.match(code):
                continue
            if kind == "cmp" and ("<<" in code or ">>" in code or "template" in code):
                continue
            for occ, _ in enumerate(pattern.finditer(code)):
                yield (kind, line, nth, occ)
        stmt = code.strip()
        prev = prev_code.strip()
        if (stmt.endswith(";") and not SKIP.match(code) and stmt.count("(") == stmt.count(")")
                and (prev.endswith((";", "{", "}", ")")) or prev.endswith(":") and not prev.endswith("::"))
                and not stmt.startswith(("const ", "auto ", "static ", "break", "continue"))
                and (ASSIGN.match(code) or CALL.match(code) or INCR.match(code))):
            yield ("delete", line, nth, 0)
        prev_code = code


def product_files(root):
    files = []
    for d in PRODUCT_DIRS:
        for name in sorted(os.listdir(os.path.join(root, d))):
            if name.endswith(".cpp"):
                files.append(os.path.join(d, name))
    return files


def mutate(line, kind, occ, choice):
    """The mutated line, or None when the token is not there."""
    if kind == "delete":
        indent = line[: len(line) - len(line.lstrip())]
        return indent + "{}  // deleted"
    code, _ = code_part(line, False)
    matches = list(TOKEN_PATTERNS[kind].finditer(code))
    if occ >= len(matches):
        return None
    m = matches[occ]
    tok = m.group(1)
    if kind == "cmp":
        new = FLIP[tok]
    elif kind == "arith":
        new = "-" if tok == "+" else "+"
    elif kind == "logic":
        new = "||" if tok == "&&" else "&&"
    else:
        value = int(tok)
        new = str(value + 1 if (choice == "+1" or value == 0) else value - 1)
    return line[: m.start(1)] + new + line[m.end(1):]


def generate(seed, count, files=None, first=1, command=None):
    root = os.getcwd()
    rng = random.Random(seed)
    pools = {k: [] for k, _ in QUOTA}
    for f in files or product_files(root):
        for kind, line, nth, occ in candidates(f):
            pools[kind].append((f, kind, line, nth, occ))
    picked = []
    used = set()  # one mutant per line
    for kind, share in QUOTA:
        want = round(count * share)
        pool = pools[kind][:]
        rng.shuffle(pool)
        for m in pool:
            if want == 0:
                break
            if (m[0], m[2], m[3]) not in used:
                used.add((m[0], m[2], m[3]))
                picked.append(m)
                want -= 1
    picked.sort(key=lambda m: (m[0], m[1]))
    if first == 1:
        print("# id\tfile\toperator\tchange\tidentical-line index\ttoken occurrence\toriginal line")
    print(f"# generated by scripts/mutants.py {command or f'generate {seed} {count}'}")
    for i, (f, kind, line, nth, occ) in enumerate(picked, first):
        choice = rng.choice(("+1", "-1")) if kind == "const" else "-"
        print(f"m{i:03d}\t{f}\t{kind}\t{choice}\t{nth}\t{occ}\t{line}")


def batches(path):
    """The ids of each batch of the list (a batch starts at a "# generated" line)."""
    groups = [[]]
    for raw in open(path, encoding="utf-8").read().split("\n"):
        if raw.startswith("# generated") and groups[-1]:
            groups.append([])
        elif raw and not raw.startswith("#"):
            groups[-1].append(raw.split("\t", 1)[0])
    return groups


def load(path):
    mutants = {}
    for raw in open(path, encoding="utf-8").read().split("\n"):
        if not raw or raw.startswith("#"):
            continue
        mid, f, kind, choice, nth, occ, line = raw.split("\t", 6)
        mutants[mid] = (f, kind, choice, int(nth), int(occ), line)
    return mutants


def apply(path, mid):
    f, kind, choice, nth, occ, original = load(path)[mid]
    if not os.path.exists(f):
        print(f"{mid}: {f} is gone", file=sys.stderr)
        return 3
    lines = open(f, encoding="utf-8").read().split("\n")
    hits = [i for i, l in enumerate(lines) if l == original]
    if nth >= len(hits):
        print(f"{mid}: line no longer in {f}", file=sys.stderr)
        return 3
    idx = hits[nth]
    new = mutate(original, kind, occ, choice)
    if new is None or new == original:
        return 3
    lines[idx] = new
    with open(f, "w", encoding="utf-8") as out:
        out.write("\n".join(lines))
    print(f"{f}:{idx + 1}: {original.strip()}  ==>  {new.strip()}")
    return 0


RUN_ORDER_SEED = 20261207
# The tests of a product folder live in these test folders.
TEST_FOLDERS = {
    "driver": ("driver", "reliability"),
    # Result files and image sequences are mostly checked through the program.
    "io": ("io", "reliability", "driver"),
}


def test_regex(build, folder, exclude):
    """Names of the suite's tests, as a ctest -R regex, whose executable is
    in the test folder(s) of folder ('!folder': all the other tests);
    tests labelled slow or matching the exclude regex are left out."""
    import json
    import subprocess
    invert = folder.startswith("!")
    folder = folder.lstrip("!")
    listing = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                        check=True, capture_output=True, text=True).stdout)
    dirs = [os.path.join(os.path.abspath(build), "tests", f) + os.sep
            for f in TEST_FOLDERS.get(folder, (folder,))]
    names = []
    for test in listing.get("tests", []):
        labels = []
        for prop in test.get("properties", []):
            if prop.get("name") == "LABELS":
                labels = prop.get("value", [])
        if "slow" in labels or (exclude and re.search(exclude, test["name"])):
            continue
        command = test.get("command") or [""]
        inside = any(os.path.abspath(command[0]).startswith(d) for d in dirs)
        if inside != invert:
            names.append(re.escape(test["name"]))
    return "^(" + "|".join(names) + ")$" if names else ""


def main(argv):
    if len(argv) == 4 and argv[1] == "generate":
        generate(int(argv[2]), int(argv[3]))
        return 0
    if len(argv) == 4 and argv[1] == "apply":
        return apply(argv[2], argv[3])
    if len(argv) >= 6 and argv[1] == "extend":
        last = max(int(mid[1:]) for mid in load(argv[2]))
        generate(int(argv[3]), int(argv[4]), argv[5:], last + 1,
                 "extend " + " ".join(["LIST"] + argv[3:]))
        return 0
    if len(argv) == 3 and argv[1] == "ids":
        for ids in batches(argv[2]):
            ids = sorted(ids)
            random.Random(RUN_ORDER_SEED).shuffle(ids)
            print("\n".join(ids))
        return 0
    if len(argv) == 5 and argv[1] == "tests":
        print(test_regex(argv[2], argv[3], argv[4]))
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

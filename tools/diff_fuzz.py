"""Compares the core's reader with the peer reader on generated documents.

Development tool, not part of the test run (the peer needs a Rust build):
    ninja -C build/lead veltrinax_read_tool
    python3 tools/diff_fuzz.py --ours build/lead/tests/core/veltrinax_read_tool \
        --peer /path/to/json-oracle TYPE SEED_FILE [--count N] [--value-route]
SEED_FILE holds one valid document per line. Prints every disagreement.
Known, intended differences (a too-short array form reports the count of elements
given; an identifier error before a comma inside an array is positioned before the
comma) are filtered out by `intended`.
"""

import argparse
import json
import random
import re
import subprocess
import sys

ALPHABET = list('{}[]":,  \n\t') + list("tfnul0123456789-.eE+\\/abxyz") + ['\\u', '\\ud800', '\x01', 'é', '1e400', '-0', '1.0', 'null', 'true', '"', "[]", "{}"]


def mutate(doc: str, rng: random.Random) -> str:
    ops = rng.randint(1, 3)
    s = doc
    for _ in range(ops):
        kind = rng.random()
        pos = rng.randint(0, len(s))
        if kind < 0.3 and s:
            end = min(len(s), pos + rng.randint(1, 4))
            s = s[:pos] + s[end:]
        elif kind < 0.6:
            s = s[:pos] + rng.choice(ALPHABET) + s[pos:]
        elif kind < 0.8 and s:
            end = min(len(s), pos + rng.randint(1, 3))
            s = s[:pos] + rng.choice(ALPHABET) + s[end:]
        elif kind < 0.9:
            s = s[:pos]
        else:
            # repeat a slice (duplicate keys, extra elements)
            a = rng.randint(0, len(s))
            b = min(len(s), a + rng.randint(1, 30))
            s = s[:pos] + s[a:b] + s[pos:]
    return s


def run(tool, args, docs):
    payload = "".join(json.dumps(d) + "\n" for d in docs)
    out = subprocess.run([tool, "--batch-json", *args], input=payload.encode(), capture_output=True, check=True)
    lines = out.stdout.decode().split("\n")
    return [json.loads(l) for l in lines if l]


def offset(doc: str, line: int, column: int) -> int:
    data = doc.encode()
    start = 0
    for _ in range(line - 1):
        start = data.index(b"\n", start) + 1
    return start + column


def intended(ours: str, peer: str, doc: str) -> bool:
    # The peer places a control character error on the character itself; the
    # contract places syntax errors just past the offending character.
    pat = r"ERR (control character .*) at line (\d+) column (\d+)$"
    a, b = re.match(pat, ours, re.S), re.match(pat, peer, re.S)
    if a and b and a.group(1) == b.group(1):
        if offset(doc, int(a.group(2)), int(a.group(3))) == offset(doc, int(b.group(2)), int(b.group(3))) + 1:
            return True
    m1 = re.match(r"ERR invalid length (\d+), expected (.*)$", ours)
    m2 = re.match(r"ERR invalid length (\d+), expected (.*)$", peer)
    if m1 and m2 and m1.group(2) == m2.group(2):
        return True
    a = re.match(r"ERR (invalid identifier .*) at line (\d+) column (\d+)$", ours, re.S)
    b = re.match(r"ERR (invalid identifier .*) at line (\d+) column (\d+)$", peer, re.S)
    if a and b and a.group(1) == b.group(1):
        return True
    return False


def parse_arguments(count, seed, extra=()):
    """The options both tools take (plus `extra`: (flag, type, default) triples)."""
    ap = argparse.ArgumentParser()
    ap.add_argument("--ours", required=True)
    ap.add_argument("--peer", required=True)
    ap.add_argument("--count", type=int, default=count)
    ap.add_argument("--seed", type=int, default=seed)
    for flag, kind, default in extra:
        ap.add_argument(flag, type=kind, default=default)
    ap.add_argument("--value-route", action="store_true")
    ap.add_argument("type")
    ap.add_argument("seeds")
    return ap.parse_args()


def documents(a):
    """The seed documents, then mutations of them up to --count; and the reader arguments."""
    rng = random.Random(a.seed)
    seeds = [l.rstrip("\n") for l in open(a.seeds) if l.strip()]
    docs = list(seeds)
    while len(docs) < a.count:
        docs.append(mutate(rng.choice(seeds), rng))
    return seeds, docs, [a.type] + (["--value-route"] if a.value_route else [])


def main():
    a = parse_arguments(count=5000, seed=1)
    _, docs, args = documents(a)
    ours = run(a.ours, args, docs)
    peer = run(a.peer, args, docs)
    bad = 0
    for d, o, p in zip(docs, ours, peer):
        if o != p and not intended(o, p, d):
            bad += 1
            if bad <= 40:
                print(f"DOC  {d!r}\n OUR {o}\n PEER {p}\n")
    print(f"{bad} disagreements in {len(docs)} documents", file=sys.stderr)
    sys.exit(1 if bad else 0)


if __name__ == "__main__":
    main()

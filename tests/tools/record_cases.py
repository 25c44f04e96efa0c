"""Records the peer reader's answers for generated documents as test data.

Development tool (the peer needs a Rust build):
    python3 tests/tools/record_cases.py --peer PEER --ours OURS TYPE SEED_FILE \
        [--value-route] [--count N] [--keep K] >> tests/core/data/reader_cases.jsonl
Mutates the seed documents, asks the peer, and keeps up to K cases per distinct
message (position stripped), plus every seed. Cases where the contract
deliberately differs from the peer (see diff_fuzz.intended) are left out.
"""

import argparse
import json
import random
import re
import sys

from diff_fuzz import intended, mutate, run


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer", required=True)
    ap.add_argument("--ours", required=True)
    ap.add_argument("--count", type=int, default=20000)
    ap.add_argument("--keep", type=int, default=3)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--value-route", action="store_true")
    ap.add_argument("type")
    ap.add_argument("seeds")
    a = ap.parse_args()
    rng = random.Random(a.seed)
    seeds = [l.rstrip("\n") for l in open(a.seeds) if l.strip()]
    docs = list(seeds)
    while len(docs) < a.count:
        docs.append(mutate(rng.choice(seeds), rng))
    args = [a.type] + (["--value-route"] if a.value_route else [])
    peer = run(a.peer, args, docs)
    ours = run(a.ours, args, docs)
    kept = {}
    route = "value" if a.value_route else "text"
    for i, (doc, answer, mine) in enumerate(zip(docs, peer, ours)):
        if answer != mine and intended(mine, answer, doc):
            continue
        key = re.sub(r" at line \d+ column \d+$", "", answer)
        key = re.sub(r"`[^`]*`", "`_`", key)
        key = re.sub(r"\d+", "N", key) if key.startswith("ERR") else "OK"
        if i >= len(seeds) and kept.get(key, 0) >= a.keep:
            continue
        kept[key] = kept.get(key, 0) + 1
        print(json.dumps({"type": a.type, "route": route, "doc": doc, "expected": answer}))
    print(f"kept {sum(kept.values())} cases over {len(kept)} message kinds", file=sys.stderr)


if __name__ == "__main__":
    main()

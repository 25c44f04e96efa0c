"""Records the peer reader's answers for generated documents as test data.

Development tool (the peer needs a Rust build):
    python3 tools/record_cases.py --peer PEER --ours OURS TYPE SEED_FILE \
        [--value-route] [--count N] [--keep K] >> tests/core/data/reader_cases.jsonl
Mutates the seed documents, asks the peer, and keeps up to K cases per distinct
message (position stripped), plus every seed. Cases where the contract
deliberately differs from the peer (see diff_fuzz.intended) are left out.
"""

import json
import re
import sys

from diff_fuzz import documents, intended, parse_arguments, run


def main():
    a = parse_arguments(count=20000, seed=7, extra=[("--keep", int, 3)])
    seeds, docs, args = documents(a)
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

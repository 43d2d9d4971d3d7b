"""Picks a small seed corpus from afl-cmin's output.

afl-cmin keeps, for every edge the inputs reach, the smallest input that reaches it; for
inputs as large as a whole coefficient file that is still hundreds of KB. This takes the
edge maps of afl-showmap (one file per input) and chooses greedily the input that adds the
most new edges per byte, until the byte budget is spent or nothing new is added. The seed
files the corpus already has (the examples, the generated models) are kept whatever they add.

usage: pick_corpus.py MAPS_DIR INPUTS_DIR BUDGET_BYTES KEEP_NAME_PREFIX... > chosen names
"""
import os
import sys


def main() -> int:
    maps_dir, inputs_dir, budget = sys.argv[1], sys.argv[2], int(sys.argv[3])
    keep_prefixes = tuple(sys.argv[4:])
    edges: dict[str, set[str]] = {}
    for name in os.listdir(maps_dir):
        with open(os.path.join(maps_dir, name)) as f:
            edges[name] = {line.split(":")[0] for line in f if line.strip()}
    size = {n: max(os.path.getsize(os.path.join(inputs_dir, n)), 1) for n in edges}
    covered: set[str] = set()
    chosen: list[str] = []
    spent = 0
    for n in sorted(edges):
        if keep_prefixes and n.startswith(keep_prefixes):
            chosen.append(n)
            covered |= edges[n]
            spent += size[n]
    rest = [n for n in edges if n not in chosen]
    while rest:
        best = max(rest, key=lambda n: (len(edges[n] - covered) / size[n], -size[n]))
        gain = len(edges[best] - covered)
        if gain == 0 or spent + size[best] > budget:
            break
        chosen.append(best)
        covered |= edges[best]
        spent += size[best]
        rest.remove(best)
    print("\n".join(chosen))
    print(f"{len(chosen)} inputs, {spent} bytes, {len(covered)} edges", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The builder's size estimate beside what is built: coefficient file bytes, engine work array,
builder memory and engine CPU, for every shipped example and the bench cases that build in a
minute.

    python3 bench/python/bench_ion_estimate.py                    # the whole table
    python3 bench/python/bench_ion_estimate.py --cases 3d6-Oh examples/nio_rixs
    python3 bench/python/bench_ion_estimate.py --no-run --json blocks.json

Each case builds in a child process (its peak memory is that child's ru_maxrss) and, unless
``--no-run``, runs the engine as ``morvex7-ion --run`` does (its work array in use is the largest
"Maximum heap used" of the log). The estimate is the one made before the build (every symmetry
the ground state could have) and the one for the triads the builder chose; the table shows the
second beside the built figures, with the ratio estimate / built (for the builder's peak also
the first's, which decides whether a model is refused). ``--json`` also keeps every
stored block's shape and element count, to calibrate the fill of the blocks.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench" / "python"))

from bench_ion_build import description  # noqa: E402

BENCH_CASES = ["3d9-Oh", "3d8-Oh", "3d7-Oh", "3d6-Oh", "3d5-Oh", "3d9-D4h", "3d8-D4h",
               "3d7-D4h", "3d6-D4h", "3d5-D4h", "3d0-Oh", "3d4-Oh", "3d0-O3", "3d5-O3",
               "3d8-Oh-N5", "3d7-Oh-N3"]


def default_cases() -> list[str]:
    return sorted(str(p.parent.relative_to(ROOT)) for p in ROOT.glob("examples/*/model.toml")) \
        + BENCH_CASES


CHILD = r"""
import json, re, resource, sys, time
from pathlib import Path
from morvex7.ion.model import load_description, model_from_dict
from morvex7.ion.build import build, write_model, model_symmetry
from morvex7.ion.estimate import estimate
case, out, run = sys.argv[1], Path(sys.argv[2]), sys.argv[3] == "1"
model = (load_description(case) if case.endswith(".toml")
         else model_from_dict(json.loads(case)))
sym = model_symmetry(model)
t0 = time.process_time()
before = estimate(model, sym)
t_est = time.process_time() - t0
try:  # blocks written to disk as they are made, as morvex7-ion builds
    from morvex7.ion.spool import BlockSpool
except ImportError:
    BlockSpool = None
spool = None if BlockSpool is None else BlockSpool(out)  # open until the blocks are counted
built = build(model, sym, **({"spool": spool} if spool else {}))
write_model(built, out)
rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024.0
cpu = time.process_time() - t0
after = estimate(model, sym, triads=[(t.ground, t.excited) for t in built.triads])
desc = json.loads((out / "model.json").read_text())
res = {"builder_rss": rss, "builder_cpu": cpu, "estimate_cpu": t_est, "store": desc["store"],
       "work_array": desc["work_array"], "triads": len(built.triads)}
for name, e in (("before", before), ("after", after)):
    res[name] = {"ftn14": e.ftn14_bytes, "builder": e.builder_bytes, "cells": e.engine_cells,
                 "seconds": e.engine_seconds, "store": getattr(e, "store", ""),
                 "store_bytes": getattr(e, "store_bytes", e.ftn14_bytes),
                 "elements": getattr(e, "elements", {})}
files = {f: (out / f).stat().st_size for f in ("FTN14", "FTN99") if (out / f).exists()}
res["files"] = files
if run:
    import resource as r
    from morvex7.ion.cli import run_engine
    ok = run_engine(out, quiet=True) == 0
    ru = r.getrusage(r.RUSAGE_CHILDREN)
    log = (out / "log.txt").read_text() if (out / "log.txt").exists() else ""
    heaps = [int(x) for x in re.findall(r"Maximum heap used:\s*(\d+)", log)]
    res.update(engine_ok=ok, engine_cpu=ru.ru_utime + ru.ru_stime, engine_heap=max(heaps or [0]),
               engine_rss=ru.ru_maxrss * 1024.0)
# the text form's size and every stored block, when asked (after the memory was taken)
from morvex7.ion.writer import coefficient_sections
sections, _ = coefficient_sections(built.ground, built.excited, built.triads, built.transitions)
res["text_bytes"] = sum(len(s.text(i + 1)) for i, s in enumerate(sections))
blocks = []
for s, sec in enumerate(sections):
    number = {v: k for k, v in sec.keys.items() if v}
    for i, m in enumerate(sec.matrices, 1):
        key = number[i]
        blocks.append({"section": s, "key": [str(x) for x in key], "shape": list(m.shape),
                       "elements": getattr(m, "count", None) or len(m.values)})
res["blocks"] = blocks
res["elements"] = {}
for b in blocks:
    kind = {"T": "tran", "M": "mix"}.get(b["key"][0], "ham")
    res["elements"][kind] = res["elements"].get(kind, 0) + b["elements"]
print("RESULT " + json.dumps(res))
"""


def run_case(case: str, run: bool, python: Path, limit: float) -> dict:
    arg = str(ROOT / case / "model.toml") if case.startswith("examples/") \
        else json.dumps(description(case))
    env = dict(os.environ, PYTHONPATH=str(python))
    with tempfile.TemporaryDirectory() as d:
        try:
            p = subprocess.run([sys.executable, "-c", CHILD, arg, d, "1" if run else "0"],
                               capture_output=True, text=True, env=env, timeout=limit)
        except subprocess.TimeoutExpired:
            return {"failed": f">{limit:.0f} s"}
    for line in p.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:])
    err = p.stderr.strip().splitlines()
    return {"failed": err[-1][:80] if err else f"status {p.returncode}"}


def ratio(a: float, b: float) -> str:
    return f"{a / b:.2f}" if b else "-"


def row(case: str, r: dict) -> list[str]:
    if "failed" in r:
        return [case, r["failed"]] + [""] * 8
    e = r["after"]
    built_store = r["files"].get("FTN99", r["files"].get("FTN14", 0))
    est_store = e["store_bytes"]
    cells = [case, f"{r['store']}/{e['store'] or '?'}",
             f"{built_store / 1e6:.2f} MB", ratio(est_store, built_store),
             f"{r['text_bytes'] / 1e6:.2f} MB", ratio(e["ftn14"], r["text_bytes"]),
             f"{r['builder_rss'] / 1e6:.0f} MB", ratio(e["builder"], r["builder_rss"]),
             ratio(r["before"]["builder"], r["builder_rss"])]
    if "engine_heap" in r:
        cells += [f"{r['engine_heap']}", ratio(e["cells"], r["engine_heap"]),
                  ratio(r["work_array"], r["engine_heap"]),
                  f"{r['engine_cpu']:.1f} s", f"{e['seconds']:.1f} s"]
    return cells


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cases", nargs="*", help="bench case names (3d5-Oh, 3d8-Oh-N5, ...) or "
                   "example folders (examples/nio_rixs); default: every example and bench case")
    p.add_argument("--no-run", action="store_true", help="build only")
    p.add_argument("--limit", type=float, default=600, help="seconds per case (default 600)")
    p.add_argument("--python", type=Path, default=ROOT / "python",
                   help="the package to measure (default: this checkout's python/)")
    p.add_argument("--json", type=Path, help="write every case's figures and blocks here")
    args = p.parse_args()
    head = ["case", "store built/est", "store file", "est/built", "text FTN14", "est/built",
            "builder peak", "est/built", "before/built", "engine cells", "est/built", "work_array/used",
            "engine CPU", "estimated"]
    print("| " + " | ".join(head) + " |")
    print("|" + "---|" * len(head))
    results = {}
    for case in args.cases or default_cases():
        r = run_case(case, not args.no_run, args.python, args.limit)
        results[case] = r
        print("| " + " | ".join(row(case, r)) + " |", flush=True)
        if args.json:
            args.json.write_text(json.dumps(results))


if __name__ == "__main__":
    main()

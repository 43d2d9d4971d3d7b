"""Time the ion model builder and the engine over the 3d series with charge transfer.

    python3 bench/python/bench_ion_build.py                       # the whole table
    python3 bench/python/bench_ion_build.py --cases 3d5-Oh 3d3-D4h --limit 120
    python3 bench/python/bench_ion_build.py --no-run --markdown   # builder only, as a table
    python3 bench/python/bench_ion_build.py --cases 3d5-Oh 3d0-Oh --store text binary
    python3 bench/python/bench_ion_build.py --field              # the series in a field of 1 T

Every case is a 3dⁿ ion at the L2,3 edge with charge transfer (dⁿ, dⁿ⁺¹L̲, dⁿ⁺²L̲² → 2p⁵dⁿ⁺¹, ...),
N2 = N3 = 1, every multiplet operator and a crystal field, in Oh and D4h; also Ti⁴⁺ 3d⁰, Mn²⁺
3d⁵ and Ce³⁺ 4f¹ (M4,5) with charge transfer in O3 (4f1-O3 with three configurations per side,
3d⁹4f⁴L̲² of 910 910 determinants coupled from its factors; 4f1-O3-C2 with two, 4f¹ + 4f²L̲, as
Ce³⁺ is usually modelled). A case name ending in "-B" (``--field``: every 3d case so) puts the
ion in a magnetic field of 1 T along z on both sides, built in the determinants of the field's
subgroup (C4h* below Oh and D4h, C∞h below O3, C3i* below D3d, S4* below Td): the XMCD model of
that ion.
Each case runs in a child process with a CPU limit (``--limit``, seconds) and a memory limit (``--memory``, MB), so a case
the builder cannot do shows as ">N s" or "memory" instead of stalling the table. Columns: the
builder's CPU seconds (build and write), its peak memory, the FTN14 size (with FTN99 when the
builder wrote the binary store), and the engine's CPU seconds, outcome and work array in use
("Maximum heap used"), the CPU seconds of both, the larger of the builder's and the engine's
peak memory, and the builder's CPU seconds for writing the files alone; the engine runs as
``morvex7-ion --run`` runs it (``--no-run`` skips it). ``--store text binary`` times each case
with either form of the coefficient blocks.
"""
from __future__ import annotations

import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

PYTHON = Path(__file__).resolve().parents[2] / "python"

IONS = {0: "Ti4+", 1: "Ti3+", 2: "V3+", 3: "Cr3+", 4: "Mn3+", 5: "Mn2+", 6: "Fe2+", 7: "Co2+",
        8: "Ni2+", 9: "Cu2+"}

GROUND = {"F2vv": 9.0, "F4vv": 5.6, "zeta_v": 0.05}
EXCITED = {**GROUND, "zeta_c": 6.8, "F2cv": 5.0, "G1cv": 3.7, "G3cv": 2.1}
FIELD = {"Oh": {"10Dq": 1.2}, "D4h": {"Dq": 0.12, "Ds": 0.1, "Dt": 0.02}, "O3": {},
         "D3d": {"10Dq": 1.2, "Dsigma": 0.05, "Dtau": 0.01}, "Td": {"10Dq": -0.6}}
CT = {"Delta": 3.0, "U": 6.0, "Q": 7.0, "V": 2.0}


#: case-name suffixes that choose the basis (the builder's "auto" otherwise)
BASIS_SUFFIX = {"A": "adapted", "D": "determinants", "P": "paired"}


def description(name: str, levels: int = 1) -> dict:
    """The model description of a case name such as "3d5-Oh", "4f1-O3", "3d5-Oh-N10" (band
    levels), "4f1-O3-C2" (charge-transfer configurations per side), "3d1-Oh-B" (in a field
    of 1 T along z) or "3d3-Oh-P" (basis paired; A adapted, D determinants)."""
    parts = name.split("-")
    shell, sym = parts[0], parts[1]
    ct = dict(CT)
    field = {}
    basis = {}
    for extra in parts[2:]:
        if extra == "B":
            field = {"B": 1.0}
        elif extra in BASIS_SUFFIX:
            basis = {"basis": BASIS_SUFFIX[extra]}
        elif extra.startswith("N"):
            levels = int(extra[1:])
        elif extra.startswith("C"):
            ct["configurations"] = int(extra[1:])
    if levels > 1:
        ct.update(levels=[levels, levels], width=2.0)
    n = int(shell[2:])
    if shell.startswith("4f"):
        g = {"F2vv": 10.0, "F4vv": 6.3, "F6vv": 4.5, "zeta_v": 0.087}
        e = {**g, "zeta_c": 7.4, "F2cv": 5.6, "F4cv": 2.6, "G1cv": 4.0, "G3cv": 2.3, "G5cv": 1.6}
        return {"valence": "4f", "electrons": n, "core": "3d", "ground": {**g, **field},
                "excited": {**e, **field}, "charge_transfer": ct, "symmetry": sym,
                "title": f"bench {name}", **basis}
    return {"valence": "3d", "electrons": n, "core": "2p",
            "ground": {**GROUND, **FIELD[sym], **field}, "excited": {**EXCITED, **field},
            "charge_transfer": ct, "symmetry": sym, "title": f"bench {name}", **basis}


def default_cases(field: bool = False) -> list[str]:
    if field:
        return [f"3d{n}-{g}-B" for g in ("Oh", "D4h") for n in range(10)] + [
            "3d5-O3-B", "3d3-D3d-B", "3d5-D3d-B", "3d5-Td-B"]
    cases = [f"3d{n}-{g}" for g in ("Oh", "D4h") for n in range(10)]
    return cases + ["3d0-O3", "3d5-O3", "4f1-O3", "4f1-O3-C2"]


# The child: build and write with the package under test, then run the engine the way the
# command line does (its own helper when the package has one).
CHILD = r"""
import json, resource, sys, time
from pathlib import Path
from morvex7.ion.model import model_from_dict
from morvex7.ion.build import build, write_model
desc, out, run = json.loads(sys.argv[1]), Path(sys.argv[2]), sys.argv[3] == "1"
store = sys.argv[4] if len(sys.argv) > 4 else ""
c0 = time.process_time()
model = model_from_dict(desc)
try:  # refused up front as morvex7-ion refuses it (packages with a size estimate)
    from morvex7.ion.estimate import estimate, mb
    try:  # the symmetry the command line builds in (a field's subgroup for a field model)
        from morvex7.ion.build import model_symmetry
        sym = model_symmetry(model)
    except ImportError:
        from morvex7.ion.build import make_symmetry
        sym = make_symmetry(model.symmetry)
    est = estimate(model, sym)
    if est.problems():
        print("RESULT " + json.dumps({"failed": "refused: engine " + mb(est.engine_bytes)
                                      + ", builder " + mb(est.builder_bytes)}))
        sys.exit(0)
except ImportError:
    pass
try:  # blocks written to disk as they are made, as morvex7-ion builds
    from morvex7.ion.spool import BlockSpool
    spool = BlockSpool(out)
except ImportError:
    spool = None
built = build(model, **({"spool": spool} if spool else {}))
c1 = time.process_time()
write_model(built, out, **({"store": store} if store else {}))
c2 = time.process_time()
if spool:
    spool.close()
# the coefficient blocks as the builder wrote them: FTN14, and FTN99 when it wrote the store
stored = sum((out / f).stat().st_size for f in ("FTN14", "FTN99") if (out / f).exists())
res = {"build_cpu": c2 - c0, "write_cpu": c2 - c1,
       "build_rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024,
       "ftn14": stored / 1e6, "triads": len(built.triads)}
if run:
    import subprocess
    from morvex7.engine import find_engine
    try:
        from morvex7.ion.cli import run_engine
        ok = run_engine(out, quiet=True) == 0
    except ImportError:
        p = subprocess.run([str(find_engine())], cwd=out, capture_output=True, text=True)
        (out / "log.txt").write_text(p.stdout)
        ok = "Normal end" in p.stderr
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    import re
    log = (out / "log.txt").read_text() if (out / "log.txt").exists() else ""
    heap = max([int(x) for x in re.findall(r"Maximum heap used:\s*(\d+)", log)] or [0])
    res.update(run_cpu=ru.ru_utime + ru.ru_stime, run_heap=4 * heap / 1e6, run_ok=ok,
               run_rss=ru.ru_maxrss / 1024)
print("RESULT " + json.dumps(res))
"""


def run_case(name: str, limit: float, memory: float, run: bool, python: Path,
             store: str = "") -> dict:
    def limits() -> None:
        resource.setrlimit(resource.RLIMIT_CPU, (int(limit), int(limit) + 5))
        resource.setrlimit(resource.RLIMIT_AS, (int(memory * 2**20),) * 2)

    env = dict(os.environ, PYTHONPATH=str(python))
    with tempfile.TemporaryDirectory() as d:
        p = subprocess.run([sys.executable, "-c", CHILD, json.dumps(description(name)), d,
                            "1" if run else "0", store], capture_output=True, text=True, env=env,
                           preexec_fn=limits)
    for line in p.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:])
    err = p.stderr.strip().splitlines()
    why = err[-1] if err else f"status {p.returncode}"
    if p.returncode in (-24, -9) or "CPU" in why:
        why = f">{limit:.0f} s"
    elif "MemoryError" in why or "memory" in why.lower():
        why = "memory"
    return {"failed": why[:60]}


def row(name: str, r: dict) -> list[str]:
    if "failed" in r:
        return [name, r["failed"], "", "", "", "", "", "", ""]
    run = total = ""
    if "run_cpu" in r:
        run = f"{r['run_cpu']:.1f} s" + ("" if r["run_ok"] else " (stopped)")
        total = f"{r['build_cpu'] + r['run_cpu']:.1f} s"
    peak = max(r["build_rss"], r.get("run_rss", 0.0))
    return [name, f"{r['build_cpu']:.1f} s", f"{r['build_rss']:.0f} MB", f"{r['ftn14']:.1f} MB",
            run, f"{r.get('run_heap', 0):.0f} MB" if run else "", total, f"{peak:.0f} MB",
            f"{r['write_cpu']:.1f} s" if "write_cpu" in r else ""]


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cases", nargs="*", help="case names such as 3d5-Oh, 3d3-D4h, 4f1-O3, "
                   "3d8-Oh-N10, 4f1-O3-C2 (default: the whole series)")
    p.add_argument("--field", action="store_true",
                   help="the 3d series in a field of 1 T (cases named ...-B) instead")
    p.add_argument("--limit", type=float, default=300, help="CPU seconds per build (default 300)")
    p.add_argument("--memory", type=float, default=4096, help="MB of memory per case")
    p.add_argument("--no-run", action="store_true", help="build only")
    p.add_argument("--python", type=Path, default=PYTHON,
                   help="the package to time (default: this checkout's python/)")
    p.add_argument("--markdown", action="store_true", help="print a markdown table")
    p.add_argument("--store", nargs="+", choices=("auto", "text", "binary"),
                   help="form(s) of the coefficient blocks to write, each case once per form "
                        "(default: the builder's own choice)")
    args = p.parse_args()
    head = ["case", "build CPU", "build memory", "FTN14", "engine CPU", "engine work array",
            "build + run CPU", "peak memory", "write CPU"]
    if args.markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
    else:
        print("  ".join(f"{h:>14s}" for h in head))
    for name, store in ((n, f) for n in args.cases or default_cases(args.field)
                        for f in args.store or [""]):
        label = f"{name} {store}" if store else name
        cells = row(label, run_case(name, args.limit, args.memory, not args.no_run, args.python,
                                    store))
        if args.markdown:
            print("| " + " | ".join(cells) + " |", flush=True)
        else:
            print("  ".join(f"{c:>14s}" for c in cells), flush=True)


if __name__ == "__main__":
    main()

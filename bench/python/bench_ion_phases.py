"""Peak memory of the ion model builder phase by phase.

    python3 bench/python/bench_ion_phases.py --cases 3d1-D4h 3d3-Oh
    python3 bench/python/bench_ion_phases.py --cases 3d3-D4h --store binary

Each case (named as in bench_ion_build.py: the 3dⁿ ion at the L2,3 edge with charge transfer,
N2 = N3 = 1) is built and written in a child process. The builder's progress messages mark the
phases: the states and blocks of each side's configurations, the hybridisation, the ground-state
search, the transition blocks, and the writing. At each change of phase the process's peak
resident memory is read and reset (Linux: /proc/self/clear_refs), so each row shows the highest
resident memory within that phase and what was resident when it ended. A last row per case
gives the builder's peak memory as estimated before the build (morvex7.ion.estimate), the
figure morvex7-ion prints and refuses a model by, in the same unit.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
PYTHON = HERE.parents[1] / "python"
sys.path.insert(0, str(HERE))

from bench_ion_build import description  # noqa: E402

CHILD = r"""
import importlib, json, sys, time
from pathlib import Path
from morvex7.ion.model import model_from_dict
import importlib
b = importlib.import_module("morvex7.ion.build")

def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) / 1024
    return 0.0

def reset():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
    except OSError:
        pass

rows, current, t0 = [], None, time.process_time()

def phase(name):
    global current, t0
    if name == current:
        return
    now = time.process_time()
    if current is not None:
        rows.append({"phase": current, "peak": status("VmHWM:"), "end": status("VmRSS:"),
                     "cpu": now - t0})
    reset()
    current, t0 = name, now

def kind(message):
    # the phase of a progress message: its text before the colon, a transition its first word
    return "transition" if message.startswith("transition") else message.split(":")[0]

desc, out, store = json.loads(sys.argv[1]), Path(sys.argv[2]), sys.argv[3]
phase("start")
model = model_from_dict(desc)
try:  # the size estimate, made before the build as morvex7-ion makes it
    from morvex7.ion.estimate import estimate
    estimated = estimate(model, b.model_symmetry(model)).builder_bytes / 2**20
except (ImportError, AttributeError):
    estimated = None
try:  # blocks written to disk as they are made, as morvex7-ion builds
    from morvex7.ion.spool import BlockSpool
except ImportError:
    BlockSpool = None
if BlockSpool is None:
    built = b.build(model, progress=lambda msg: phase(kind(msg)))
    phase("write")
    b.write_model(built, out, **({"store": store} if store else {}))
else:
    with BlockSpool(out) as spool:
        built = b.build(model, progress=lambda msg: phase(kind(msg)), spool=spool)
        phase("write")
        b.write_model(built, out, **({"store": store} if store else {}))
phase("done")
if estimated is not None:
    rows.append({"phase": "estimated before the build", "peak": estimated, "end": 0.0,
                 "cpu": 0.0})
print("RESULT " + json.dumps(rows))
"""


def run_case(name: str, python: Path, store: str) -> list[dict]:
    env = dict(os.environ, PYTHONPATH=str(python))
    with tempfile.TemporaryDirectory() as d:
        p = subprocess.run([sys.executable, "-c", CHILD, json.dumps(description(name)), d, store],
                           capture_output=True, text=True, env=env)
    for line in p.stdout.splitlines():
        if line.startswith("RESULT "):
            return json.loads(line[7:])
    raise SystemExit(f"{name}: {p.stderr.strip().splitlines()[-1:]}")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0], epilog=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cases", nargs="+", default=["3d1-D4h", "3d4-D4h", "3d3-Oh", "3d3-D4h"],
                   help="case names such as 3d1-D4h, 3d3-Oh (default: four)")
    p.add_argument("--store", default="", choices=("", "auto", "text", "binary"),
                   help="form of the coefficient blocks (default: the builder's choice)")
    p.add_argument("--python", type=Path, default=PYTHON,
                   help="the package to measure (default: this checkout's python/)")
    args = p.parse_args()
    print("| case | phase | CPU | peak within | resident at end |")
    print("|---|---|---|---|---|")
    for name in args.cases:
        for r in run_case(name, args.python, args.store):
            if r["phase"] == "start":
                continue
            cpu, end = (f"{r['cpu']:.1f} s", f"{r['end']:.0f} MB") if r["end"] else ("", "")
            print(f"| {name} | {r['phase']} | {cpu} | {r['peak']:.0f} MB | {end} |", flush=True)


if __name__ == "__main__":
    main()

"""Structured fuzzing of the package's readers and of the model description.

Two targets:

readers
    A finished run (seeds/readers/<name>/: fort.50, fort.43, fort.44, fort.45, fort.46, fort.62,
    log.txt, stop.txt) is damaged the way files get damaged: a line removed, doubled or moved, two
    lines swapped, the file cut at a byte or at a line end, a number field replaced by another
    number, by asterisks, NaN or a huge value, a digit changed, bytes inserted, line ends turned
    into CR LF. Then every reader reads the damaged file and ``Run.load`` the damaged run.
    Sound outcomes: the results, or a :class:`~morvex7.readers.LayoutError` (naming the file and
    the line). Anything else (IndexError, TypeError, an unnamed ValueError, a hang) is a finding.

descriptions
    A model description (seeds/descriptions/*.toml) parsed to a table has an entry removed,
    renamed, added, or given a value of another type or an extreme value (NaN, infinities, huge
    and negative numbers, text with line ends, lists, tables). ``model_from_dict`` must then
    return a model or raise ValueError; a model it returns must make its configurations.

Each input is made from a seed and a number, so a finding is replayed exactly. Findings are
kept in found/<target>/ as regression cases (the damaged file, or the description as JSON) and
replayed by the test suite. Run by hand for longer:

    python3 python/tests/fuzz/structured.py readers --seconds 600
    python3 python/tests/fuzz/structured.py descriptions --seconds 600 --save
"""
from __future__ import annotations

import argparse
import copy
import hashlib
import json
import math
import random
import shutil
import signal
import sys
import tempfile
import time
import tomllib
import warnings
from collections import Counter
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1]))  # the package, when run by hand

from morvex7 import readers  # noqa: E402
from morvex7.readers import LayoutError  # noqa: E402

SEEDS = HERE / "seeds"
FOUND = HERE / "found"
READER_FILES = ("fort.43", "fort.44", "fort.45", "fort.46", "fort.62", "log.txt")
#: Seconds one input may take before it counts as a hang.
HANG_SECONDS = 10.0


# ----------------------------------------------------------------------------------------
# Outcomes


@dataclass
class Tally:
    """What a fuzzing run did: executions and outcomes by kind."""

    executions: int = 0
    outcomes: Counter = field(default_factory=Counter)
    findings: list[tuple[str, str]] = field(default_factory=list)  # (what, where saved)

    def line(self, target: str, seconds: float) -> str:
        parts = ", ".join(f"{k} {v}" for k, v in sorted(self.outcomes.items()))
        return (f"{target}: {self.executions} executions in {seconds:.1f} s ({parts}); "
                f"{len(self.findings)} findings")


class Hang(Exception):
    pass


def _alarm(_signum, _frame):
    raise Hang()


def guarded(fn: Callable[[], Any], target: str) -> str:
    """Run `fn`; return "ok", "refused" (a sound error) or the name of the fault."""
    old = signal.signal(signal.SIGALRM, _alarm)
    signal.setitimer(signal.ITIMER_REAL, HANG_SECONDS)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fn()
        return "ok"
    except Hang:
        return "hang"
    except RecursionError:
        return "RecursionError"
    except Exception as exc:  # noqa: BLE001 - sorting outcomes is the point
        return classify(exc, target)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)


def classify(exc: Exception, target: str) -> str:
    if target == "readers":
        if isinstance(exc, LayoutError):
            return "refused"
        if isinstance(exc, FileNotFoundError):
            return "refused"
    elif isinstance(exc, ValueError) and type(exc) is ValueError and "\n" not in str(exc):
        return "refused"
    return type(exc).__name__


# ----------------------------------------------------------------------------------------
# Readers


_NUMBER_CHARS = "0123456789"


def _number_spans(line: str) -> list[tuple[int, int]]:
    spans, i = [], 0
    while i < len(line):
        if line[i] in _NUMBER_CHARS:
            j = i
            while j < len(line) and (line[j] in _NUMBER_CHARS or line[j] in ".Ee+-"):
                j += 1
            start = i - 1 if i > 0 and line[i - 1] == "-" else i
            spans.append((start, j))
            i = j
        else:
            i += 1
    return spans


def mutate_text(text: str, rng: random.Random) -> tuple[str, str]:
    """One structured damage of a text file; returns (new text, name of the damage)."""
    lines = text.split("\n")
    n = len(lines)
    kind = rng.choice(["delete", "duplicate", "swap", "move", "cut-byte", "cut-line",
                       "number", "digit", "stars", "nonfinite", "insert", "crlf", "width",
                       "blank", "empty"])
    k = rng.randrange(n) if n else 0
    if kind == "delete" and n > 1:
        del lines[k]
    elif kind == "duplicate":
        lines.insert(k, lines[k])
    elif kind == "swap" and n > 2:
        k = rng.randrange(n - 1)
        lines[k], lines[k + 1] = lines[k + 1], lines[k]
    elif kind == "move" and n > 2:
        line = lines.pop(k)
        lines.insert(rng.randrange(n - 1), line)
    elif kind == "cut-byte":
        return text[:rng.randrange(len(text) + 1)], kind
    elif kind == "cut-line":
        return "\n".join(lines[:k]) + ("\n" if k else ""), kind
    elif kind in ("number", "digit", "stars", "nonfinite"):
        candidates = [(i, s) for i, ln in enumerate(lines) for s in _number_spans(ln)]
        if not candidates:
            return text, "none"
        i, (a, b) = rng.choice(candidates)
        old = lines[i][a:b]
        width = b - a
        if kind == "number":
            new = rng.choice(["0", "-1", "1", "99999", "2147483648", "-0.0", "1e30", "1E-40",
                              str(rng.randint(-10 ** 6, 10 ** 6)), f"{rng.uniform(-1e4, 1e4):.4f}"])
            new = new.rjust(width)[-max(width, 1):] if rng.random() < 0.7 else new
        elif kind == "digit":
            digits = [j for j, ch in enumerate(old) if ch.isdigit()]
            j = rng.choice(digits)
            new = old[:j] + rng.choice(_NUMBER_CHARS) + old[j + 1:]
        elif kind == "stars":
            new = "*" * width
        else:
            new = rng.choice(["NaN", "Infinity", "-Infinity", "nan", "inf"]).rjust(width)
        lines[i] = lines[i][:a] + new + lines[i][b:]
    elif kind == "insert":
        junk = "".join(rng.choice(" \t\r\x00\xff%*-.0123456789AZaz") for _ in
                       range(rng.randint(1, 12)))
        pos = rng.randrange(len(lines[k]) + 1)
        lines[k] = lines[k][:pos] + junk + lines[k][pos:]
    elif kind == "crlf":
        return text.replace("\n", "\r\n"), kind
    elif kind == "width":
        lines[k] = lines[k] + " " * rng.randint(1, 5) if rng.random() < 0.5 else lines[k].strip()
    elif kind == "blank":
        lines.insert(k, "")
    elif kind == "empty":
        return "", kind
    return "\n".join(lines), kind


#: The reader of each result file.
READERS: dict[str, Callable[[Path], Any]] = {
    "fort.43": readers.read_ground_energies, "fort.44": readers.read_spectrum_file,
    "fort.45": readers.read_intermediate_plot, "fort.46": readers.read_intermediate_listing,
    "fort.62": readers.read_yield_file, "log.txt": readers.read_log}

#: Damages that lose or reorder records: reading such a file must either refuse it or give
#: the results of the undamaged run (a doubled blank line changes nothing; a lost energy must).
STRUCTURAL = {"delete", "duplicate", "swap", "move", "cut-byte", "cut-line", "empty"}
VALUE_DAMAGE = {"number", "digit", "stars", "nonfinite", "insert"}


def fingerprint(directory: Path) -> str:
    """A digest of what a run's results say: every triad's ground state and energy lists,
    sticks and Auger curves."""
    import numpy as np

    from morvex7.results import Run

    run = Run.load(directory)
    h = hashlib.sha256()
    for t in run.triads:
        g = t.ground
        for a in (g.eg0, g.ndeg, g.weights, g.energies, g.purities):
            h.update(np.asarray(a, dtype=float).tobytes())
        st = t.sticks()
        h.update(np.asarray(st.energy, dtype=float).tobytes())
        h.update(np.asarray(st.intensity, dtype=float).tobytes())
        if t.auger is not None:
            for a in vars(t.auger).values():
                if isinstance(a, np.ndarray):
                    h.update(np.asarray(a, dtype=float).tobytes())
    return h.hexdigest()


_fingerprints: dict[str, str] = {}


def read_everything(directory: Path, name: str, seed: Path | None = None,
                    structural: bool = False) -> None:
    """Every reader over the damaged file `name`, then the whole run; a structural damage
    that reads without complaint must not change the results (else SilentChange)."""
    from morvex7.results import Run

    READERS[name](directory / name)
    run = Run.load(directory)
    run.sticks()  # the combination every command draws from
    if structural and seed is not None and name != "log.txt":
        if seed.name not in _fingerprints:
            _fingerprints[seed.name] = fingerprint(seed)
        if fingerprint(directory) != _fingerprints[seed.name]:
            raise SilentChange(f"{name}: damaged, read without complaint, other results")


class SilentChange(Exception):
    """A damaged file that reads without complaint into other results."""


def reader_seeds() -> list[Path]:
    return sorted(p for p in (SEEDS / "readers").iterdir() if p.is_dir())


def reader_case(seed: Path, index: int) -> tuple[str, str, str]:
    """The damaged file of input `index` of a seed: (file name, text, damage)."""
    rng = random.Random(f"{seed.name}:{index}")
    names = [n for n in READER_FILES if (seed / n).is_file()]
    name = rng.choice(names)
    text = (seed / name).read_bytes().decode("latin-1")
    kinds = []
    for _ in range(rng.choice([1, 1, 1, 2, 3])):
        text, kind = mutate_text(text, rng)
        kinds.append(kind)
    return name, text, "+".join(kinds)


def run_reader_case(seed: Path, name: str, text: str, work: Path, kind: str = "") -> str:
    if work.exists():
        shutil.rmtree(work)
    shutil.copytree(seed, work)
    (work / name).write_bytes(text.encode("latin-1"))
    kinds = set(kind.split("+"))
    structural = bool(kinds & STRUCTURAL) and not kinds & VALUE_DAMAGE
    return guarded(lambda: read_everything(work, name, seed, structural), "readers")


def fuzz_readers(seconds: float, start: int = 0, save: bool = False,
                 log: Callable[[str], None] = print) -> Tally:
    tally = Tally()
    seeds = reader_seeds()
    deadline = time.monotonic() + seconds
    with tempfile.TemporaryDirectory(prefix="morvex7-fuzz-") as tmp:
        i = start
        while time.monotonic() < deadline:
            seed = seeds[i % len(seeds)]
            name, text, kind = reader_case(seed, i // len(seeds))
            outcome = run_reader_case(seed, name, text, Path(tmp) / "run", kind)
            tally.executions += 1
            tally.outcomes[outcome] += 1
            if outcome not in ("ok", "refused"):
                where = save_reader_finding(seed.name, name, text, kind) if save else ""
                tally.findings.append((f"{outcome} in {seed.name}/{name} ({kind}), input "
                                       f"{i}", where))
                log(f"finding: {tally.findings[-1][0]} {where}")
            i += 1
    return tally


def save_reader_finding(seed: str, name: str, text: str, kind: str) -> str:
    digest = hashlib.sha256(text.encode("latin-1")).hexdigest()[:12]
    path = FOUND / "readers" / f"{seed}__{name}__{kind}__{digest}.txt"
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(text.encode("latin-1"))
    return str(path.relative_to(HERE))


def replay_readers() -> list[tuple[str, str]]:
    """Every kept reader finding: (case, outcome); a sound outcome is "ok" or "refused"."""
    out = []
    with tempfile.TemporaryDirectory(prefix="morvex7-fuzz-") as tmp:
        for path in sorted((FOUND / "readers").glob("*.txt")):
            seed, name, kind, _ = path.stem.split("__")
            text = path.read_bytes().decode("latin-1")
            out.append((path.name, run_reader_case(SEEDS / "readers" / seed, name, text,
                                                   Path(tmp) / "run", kind)))
    return out


# ----------------------------------------------------------------------------------------
# Model descriptions


EXTREMES: list[Any] = [0, -1, 1, 2, 7, 14, 101, 2 ** 31, -2 ** 63, 10 ** 30, 0.5, -0.0, 8.7,
                       1e308, -1e-320, math.nan, math.inf, -math.inf, True, False, "", "3d",
                       "2p", "4f", "Oh", "D4h", "Td", "12", "no", "a\nb", "x\r", "\x00",
                       [], [1], [1, 2], [4, 3], [100, 100], [1.5, 2], ["1", "2"], [1, 2, 3],
                       {}, {"a": 1}, None]


def description_seeds() -> list[dict[str, Any]]:
    return [tomllib.loads(p.read_text())
            for p in sorted((SEEDS / "descriptions").glob("*.toml"))]


def _paths(data: dict[str, Any], prefix: tuple = ()) -> list[tuple]:
    out = []
    for k, v in data.items():
        out.append(prefix + (k,))
        if isinstance(v, dict):
            out += _paths(v, prefix + (k,))
    return out


def mutate_description(data: dict[str, Any], rng: random.Random) -> tuple[dict, str]:
    data = copy.deepcopy(data)
    kinds = []
    for _ in range(rng.choice([1, 1, 2, 3])):
        paths = _paths(data)
        kind = rng.choice(["value", "value", "value", "delete", "add", "rename", "table"])
        if not paths:
            kind = "add"
        if kind == "add":
            tables = [()] + [p for p in paths if isinstance(_get(data, p), dict)]
            where = rng.choice(tables)
            key = rng.choice(["levels", "width", "Delta", "V", "U", "Q", "10Dq", "Dq", "zeta_c",
                              "F2vv", "F4vv", "F6vv", "G1cv", "window", "all_ground", "title",
                              "symmetry", "charge_transfer", "excited", "ground", "triads",
                              "bogus", "V_eg", "V_excited", "10Dq_L"])
            _get(data, where)[key] = copy.deepcopy(rng.choice(EXTREMES))
        else:
            path = rng.choice(paths)
            parent, key = _get(data, path[:-1]), path[-1]
            if kind == "delete":
                del parent[key]
            elif kind == "rename":
                parent[key + rng.choice(["_", "x", " "])] = parent.pop(key)
            elif kind == "table":
                parent[key] = {"a": copy.deepcopy(rng.choice(EXTREMES))}
            else:
                parent[key] = copy.deepcopy(rng.choice(EXTREMES))
        kinds.append(kind)
    return data, "+".join(kinds)


def _get(data: dict, path: tuple) -> Any:
    for k in path:
        data = data[k]
    return data


def check_description(data: dict[str, Any]) -> None:
    from morvex7.ion.model import model_from_dict

    model = model_from_dict(data)
    model.configurations()
    model.validate()


def description_case(seeds: list[dict], index: int) -> tuple[dict, str]:
    rng = random.Random(f"description:{index}")
    return mutate_description(rng.choice(seeds), rng)


def fuzz_descriptions(seconds: float, start: int = 0, save: bool = False,
                      log: Callable[[str], None] = print) -> Tally:
    import morvex7.ion.model  # noqa: F401 - imported before the clock runs: not a hang

    tally = Tally()
    seeds = description_seeds()
    deadline = time.monotonic() + seconds
    i = start
    while time.monotonic() < deadline:
        data, kind = description_case(seeds, i)
        outcome = guarded(lambda: check_description(data), "descriptions")
        tally.executions += 1
        tally.outcomes[outcome] += 1
        if outcome not in ("ok", "refused"):
            where = ""
            if save:
                text = json.dumps(data, sort_keys=True, default=repr, allow_nan=True)
                path = FOUND / "descriptions" / \
                    f"{hashlib.sha256(text.encode()).hexdigest()[:12]}.json"
                path.parent.mkdir(parents=True, exist_ok=True)
                path.write_text(text + "\n")
                where = str(path.relative_to(HERE))
            tally.findings.append((f"{outcome} ({kind}), input {i}", where))
            log(f"finding: {tally.findings[-1][0]} {where}")
        i += 1
    return tally


def replay_descriptions() -> list[tuple[str, str]]:
    return [(p.name, guarded(lambda p=p: check_description(json.loads(p.read_text())),
                             "descriptions"))
            for p in sorted((FOUND / "descriptions").glob("*.json"))]


# ----------------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(description="Structured fuzzing of the readers and of the "
                                "model description.")
    p.add_argument("target", choices=["readers", "descriptions"])
    p.add_argument("--seconds", type=float, default=60.0)
    p.add_argument("--start", type=int, default=0, help="number of the first input")
    p.add_argument("--save", action="store_true", help="keep findings in found/")
    args = p.parse_args(argv)
    fuzz = fuzz_readers if args.target == "readers" else fuzz_descriptions
    t0 = time.monotonic()
    tally = fuzz(args.seconds, args.start, args.save)
    print(tally.line(args.target, time.monotonic() - t0))
    return 1 if tally.findings else 0


if __name__ == "__main__":
    raise SystemExit(main())

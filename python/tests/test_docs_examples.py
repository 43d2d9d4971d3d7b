"""The user's manual runs as written.

A fenced block of the manual's pages (PAGES) is runnable when an HTML comment stands directly
above it:

    <!-- runs: fort.50 in EXAMPLE -->        the block is the command file, run in a copy of
                                             examples/EXAMPLE
    <!-- runs: before WORD in EXAMPLE -->    the block is inserted into that example's fort.50
                                             before the first line whose first word is WORD
    <!-- runs: sh in EXAMPLE -->             shell commands, run in a copy of examples/EXAMPLE
    <!-- runs: sh -->                        shell commands, run from the top of a scratch tree
                                             (examples/ linked); the blocks of a page run in
                                             order and keep their working directory
    <!-- runs: python -->                    a Python program, run in that working directory

followed by optional `; status N` (the expected exit status, default 0), `; check NAME` (a check
of the documented behaviour, below) and `; needs cli` (skipped while the engine lacks --help).
`morvex7` is the engine under test, `morvex7-spectra` and `morvex7-ion` are this package.
docs/sweeps-and-fits.md has its own test (test_sweep_docs.py).
"""
from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

from morvex7.engine import REPO_ROOT

DOCS = REPO_ROOT / "docs"
EXAMPLES = REPO_ROOT / "examples"
PAGES = ("getting-started.md", "commands.md", "input-files.md", "outputs.md", "ion-models.md",
         "rixs.md")
PACKAGE_DIR = Path(__file__).resolve().parents[1]

MARKED = re.compile(r"^[ \t]*<!-- runs: (?P<directive>.*?) -->[ \t]*\n(?P<indent>[ \t]*)```[^\n]*\n"
                    r"(?P<code>.*?)^[ \t]*```", re.S | re.M)


@dataclass
class Example:
    page: str
    line: int
    kind: str  # "fort.50", "before WORD" or "sh"
    example: str | None
    status: int
    check: str | None
    needs_cli: bool
    code: str

    @property
    def id(self) -> str:
        return f"{self.page}:{self.line}"


def parse_directive(directive: str) -> dict:
    head, *options = [part.strip() for part in directive.split(";")]
    kind, _, example = head.partition(" in ")
    out = {"kind": kind.strip(), "example": example.strip() or None, "status": 0, "check": None,
           "needs_cli": False}
    for option in options:
        word, _, value = option.partition(" ")
        if word == "status":
            out["status"] = int(value)
        elif word == "check":
            out["check"] = value.strip()
        elif option == "needs cli":
            out["needs_cli"] = True
        else:
            raise ValueError(f"unknown option {option!r} in runs comment {directive!r}")
    return out


def dedent(code: str, indent: str) -> str:
    return "".join(line[len(indent):] if line.startswith(indent) else line
                   for line in code.splitlines(keepends=True))


def examples_of(page: str) -> list[Example]:
    text = (DOCS / page).read_text()
    found = []
    for m in MARKED.finditer(text):
        how = parse_directive(m["directive"])
        found.append(Example(page, text.count("\n", 0, m.start()) + 1, how["kind"],
                             how["example"], how["status"], how["check"], how["needs_cli"],
                             dedent(m["code"], m["indent"])))
    return found


ALL = [e for page in PAGES for e in examples_of(page)]
IN_EXAMPLE = [e for e in ALL if e.example is not None]
SESSION_PAGES = sorted({e.page for e in ALL if e.example is None})
# The model builder's page builds ions (seconds each): run with the slow tests, as CI does.
SLOW_PAGES = {"ion-models.md"}


def params(items, page_of):
    return [pytest.param(i, id=getattr(i, "id", i),
                         marks=[pytest.mark.slow] if page_of(i) in SLOW_PAGES else [])
            for i in items]


# ----------------------------------------------------------------------------- environment


# Made once per process (not per file) so that the blocks are dealt out to every worker of a
# parallel run (tests/conftest.py keeps the users of a file's fixture together).
@pytest.fixture(scope="session")
def shell_env(tmp_path_factory, engine) -> dict:
    """PATH with `morvex7` (the engine under test) and the package's commands first."""
    bin_dir = tmp_path_factory.mktemp("bin")
    (bin_dir / "morvex7").symlink_to(engine)
    py = sys.executable
    for name, call in (("morvex7-spectra", "-m morvex7"),
                       ("morvex7-ion", "-c 'import sys; from morvex7.ion.cli import main; "
                                       "sys.exit(main())'")):
        script = bin_dir / name
        script.write_text(f'#!/bin/sh\nexec {py} {call} "$@"\n')
        script.chmod(0o755)
    return dict(os.environ, PATH=f"{bin_dir}{os.pathsep}{os.environ['PATH']}",
                PYTHONPATH=str(PACKAGE_DIR), MORVEX7=str(engine), MPLBACKEND="Agg")


@pytest.fixture(scope="session")
def has_cli(engine) -> bool:
    return subprocess.run([str(engine), "--help"], capture_output=True).returncode == 0


def copy_example(name: str, where: Path) -> Path:
    shutil.copytree(EXAMPLES / name, where, ignore=shutil.ignore_patterns("*.png"))
    return where


def run_engine(directory: Path, engine: Path) -> subprocess.CompletedProcess:
    proc = subprocess.run([str(engine)], cwd=directory, capture_output=True, text=True, timeout=120)
    (directory / "log.txt").write_text(proc.stdout)
    return proc


def insert_before(command_file: str, word: str, fragment: str) -> str:
    lines = command_file.splitlines(keepends=True)
    for i, line in enumerate(lines):
        words = line.split()
        if words and words[0].upper() == word:
            return "".join(lines[:i]) + fragment + "".join(lines[i:])
    raise AssertionError(f"no line beginning with {word}")


def run_example(ex: Example, directory: Path, engine: Path, env: dict) -> subprocess.CompletedProcess:
    copy_example(ex.example, directory)
    if ex.kind == "sh":
        return subprocess.run(["bash", "-e", "-o", "pipefail", "-c", ex.code], cwd=directory,
                              env=env, capture_output=True, text=True, timeout=120)
    if ex.kind == "fort.50":
        (directory / "fort.50").write_text(ex.code)
    elif ex.kind.startswith("before "):
        fort50 = directory / "fort.50"
        fort50.write_text(insert_before(fort50.read_text(), ex.kind.split()[1], ex.code))
    else:
        raise AssertionError(f"unknown kind {ex.kind!r}")
    return run_engine(directory, engine)


# ----------------------------------------------------------------------------- reading results


def ground_energies(directory: Path) -> list[float]:
    return [float(v) for v in re.findall(r"Ground state energy Eg0=\s*(\S+)",
                                         (directory / "fort.44").read_text())]


def descriptions(directory: Path) -> list[dict]:
    """The run description quoted after every absorption block: N2 N3 W DEL UVV UCV."""
    out = []
    for m in re.finditer(r"^\s*\d+\s+'(\d)(\d)(.{7})(.{7})(.{7})(.{7})",
                         (directory / "fort.44").read_text(), flags=re.M):
        out.append({"W": float(m[3]), "DEL": float(m[4]), "UVV": float(m[5]), "UCV": float(m[6])})
    return out


def total_intensities(directory: Path) -> list[float]:
    return [float(v) for v in re.findall(r"Total intensity\s+(\S+)",
                                         (directory / "fort.44").read_text())]


def rerun_with(ex: Example, directory: Path, engine: Path, old: str, new: str) -> Path:
    """The same example with one text of its command file replaced."""
    other = directory.parent / (directory.name + "-variant")
    shutil.copytree(directory, other)
    fort50 = other / "fort.50"
    text = fort50.read_text()
    assert old in text, old
    fort50.write_text(text.replace(old, new, 1))
    assert run_engine(other, engine).returncode == 0
    return other


# ----------------------------------------------------------------------------- documented behaviour


def check_def_before_del(ex, d, engine, proc):
    # The description quotes DEL 3, but the energies are those of DEL = UCV = UVV = 0 ...
    assert descriptions(d)[0]["DEL"] == 3.0
    zero = rerun_with(ex, d, engine, "DEL 3.0 UCV 5.0 UVV 4.0", "DEL 0 UCV 0 UVV 0")
    assert ground_energies(d) == ground_energies(zero)
    # ... and differ from those of the same file with DEL first.
    lines = (d / "fort.50").read_text().splitlines(keepends=True)
    del_line = next(line for line in lines if line.startswith("DEL "))
    first = d.parent / "del-first"
    shutil.copytree(d, first)
    (first / "fort.50").write_text(del_line + "".join(l for l in lines if l is not del_line))
    assert run_engine(first, engine).returncode == 0
    assert ground_energies(first) != ground_energies(d)


def check_del_only(ex, d, engine, proc):
    assert [x["DEL"] for x in descriptions(d)] == [3.0, 5.0]
    e1, e2 = ground_energies(d)
    assert e1 == e2
    t1, t2 = total_intensities(d)
    assert t1 == t2


def check_del_redefined(ex, d, engine, proc):
    e1, e2 = ground_energies(d)
    assert e1 != e2
    # The second block gives what the shipped model gives with DEL 5 from the start.
    shipped = d.parent / "shipped"
    copy_example("charge_transfer", shipped)
    fort50 = shipped / "fort.50"
    fort50.write_text(fort50.read_text().replace("DEL 3.0", "DEL 5.0"))
    assert run_engine(shipped, engine).returncode == 0
    assert ground_energies(shipped) == [e2]


def check_keep_both(ex, d, engine, proc):
    log = proc.stdout
    assert "Data read from file 98 record nr.   1" in log
    assert "Data read from file 98 record nr.   2" in log
    e1, e2 = ground_energies(d)
    assert e1 == e2
    t1, t2 = total_intensities(d)
    assert t2 == pytest.approx(2 * t1, rel=1e-4)  # DIP 2: amplitudes doubled


def check_stale_oldground(ex, d, engine, proc):
    assert "Data read from file 98 record nr.   1" in proc.stdout
    e1, e2 = ground_energies(d)
    assert e1 == e2
    fresh = rerun_with(ex, d, engine, "OLDGROUND\n", "")
    assert ground_energies(fresh)[0] == e1 and ground_energies(fresh)[1] != e2


def check_def_rest_of_line(ex, d, engine, proc):
    assert descriptions(d)[0]["W"] == 2.0


def check_hash_line(ex, d, engine, proc):
    assert "ERROR. Expected one of the following commands" in proc.stdout
    assert "TOO MANY WARNINGS" in proc.stdout
    assert ground_energies(d) == []


def check_lowercase_irrep(ex, d, engine, proc):
    log = (d / "log.txt").read_text()
    assert "quitprog because of unwanted end of file" in log


def check_oldcowan(ex, d, engine, proc):
    assert int(proc.stdout.split()[-1]) > 0
    second = (d / "second.log").read_text()
    assert "Cowan store written" not in second
    assert ground_energies(d)  # the second run wrote its spectrum


def check_no_ground_mixing(ex, d, engine, proc):
    # Configuration 1 of the ground side has no operator of its own: decoupled, its single
    # state is the ground state, at EG1 = 0, with all the weight.
    assert ground_energies(d) == [0.0]
    weights = re.search(r"Weight of configurations 1,2,3 in the ground state:(.*)", proc.stdout)
    assert [float(w) for w in weights[1].split()] == [1.0, 0.0, 0.0]


CHECKS = {name[len("check_"):].replace("_", "-"): f
          for name, f in globals().items() if name.startswith("check_")}


# ----------------------------------------------------------------------------- tests


def test_every_runnable_block_is_found():
    assert len(IN_EXAMPLE) >= 25
    assert {e.check for e in ALL if e.check} <= set(CHECKS)
    for page in PAGES:
        text = (DOCS / page).read_text()
        assert text.count("<!-- runs:") == len(examples_of(page)), f"{page}: a runs comment " \
            "is not directly above a fenced block"


@pytest.mark.parametrize("ex", params(IN_EXAMPLE, lambda e: e.page))
def test_example_runs_as_documented(ex, tmp_path, engine, shell_env, has_cli):
    if ex.needs_cli and not has_cli:
        pytest.skip("the engine under test has no command-line options yet")
    d = tmp_path / ex.example
    proc = run_example(ex, d, engine, shell_env)
    assert proc.returncode == ex.status, f"{ex.id}\n{ex.code}\n{proc.stdout[-3000:]}\n{proc.stderr}"
    if ex.status == 0 and ex.kind != "sh":
        spectrum = (d / "fort.44").read_text().split()
        assert spectrum[-1] == "FINISHED" and (d / "fort.43").is_file()
        if ex.example == "auger_resonance":
            assert (d / "fort.62").is_file()
    if ex.check:
        CHECKS[ex.check](ex, d, engine, proc)


@pytest.mark.parametrize("page", params(SESSION_PAGES, lambda p: p))
def test_page_session_runs_in_order(page, tmp_path, shell_env, has_cli):
    top = tmp_path / "tree"
    top.mkdir()
    (top / "examples").symlink_to(EXAMPLES)
    cwd_file = tmp_path / "cwd"
    cwd_file.write_text(str(top))
    for ex in (e for e in examples_of(page) if e.example is None):
        if ex.needs_cli and not has_cli:
            continue
        if ex.kind == "python":
            program = tmp_path / f"block{ex.line}.py"
            program.write_text(ex.code)
            proc = subprocess.run([sys.executable, str(program)], env=shell_env,
                                  cwd=cwd_file.read_text().strip(), capture_output=True,
                                  text=True, timeout=300)
        else:
            script = f'cd "$(cat {cwd_file})"\n{ex.code}\npwd > {cwd_file}\n'
            proc = subprocess.run(["bash", "-e", "-o", "pipefail", "-c", script], env=shell_env,
                                  capture_output=True, text=True, timeout=300)
        assert proc.returncode == ex.status, f"{ex.id}\n{ex.code}\n{proc.stdout}\n{proc.stderr}"
        if ex.check:
            CHECKS[ex.check](ex, Path(cwd_file.read_text().strip()), None, proc)


def test_definition_table_is_what_the_engine_computes(tmp_path, engine):
    """commands.md's table of DEF values, evaluated by the engine in an Auger block, whose
    every DEF prints the channel energies."""
    text = (DOCS / "commands.md").read_text()
    table = text.split("<!-- checked: def-table -->", 1)[1].split("\n\n", 1)[0]
    rows = re.findall(r"^\| `([^`]+)` \| (\S+) \|$", table, flags=re.M)
    assert len(rows) >= 10
    d = copy_example("auger_resonance", tmp_path / "def")
    defs = "".join(f"  DEF EF1 = {expr}\n" for expr, _ in rows)
    fort50 = d / "fort.50"
    fort50.write_text(insert_before(fort50.read_text(), "ENDAUGER", "  DEL 4 UCV 6 UVV 2\n" + defs))
    proc = run_engine(d, engine)
    assert proc.returncode == 0, proc.stdout[-2000:]
    printed = [float(v) for v in re.findall(r"^ No= 1 EF1=\s*(\S+)", proc.stdout, flags=re.M)]
    expected = [float(v.replace("−", "-")) for _, v in rows]
    assert printed[-len(rows):] == expected


def test_words_beyond_column_136_are_not_read(tmp_path, engine):
    """commands.md: DIP 3.5 with '3.' in columns 135-136 reads as 3.0; a word that starts after
    column 136 is not read at all."""
    runs = {}
    for name, line in (("plain", ""), ("cut", " " * 130 + "DIP 3.5\n"),
                       ("beyond", " " * 136 + "DIP 9.0\n")):
        d = copy_example("charge_transfer", tmp_path / name)
        fort50 = d / "fort.50"
        fort50.write_text(insert_before(fort50.read_text(), "TRIADS", line))
        assert run_engine(d, engine).returncode == 0
        runs[name] = total_intensities(d)[0]
    assert runs["cut"] == pytest.approx(3 * runs["plain"], rel=1e-4)
    assert runs["beyond"] == runs["plain"]


def slug(heading: str) -> str:
    """The anchor a Markdown renderer gives a heading (GitHub's rule)."""
    text = re.sub(r"[^\w\- ]", "", heading.strip().lower())
    return text.replace(" ", "-")


def test_links_between_pages_resolve():
    """Every relative link of README.md and docs/*.md names an existing file and, with #, an
    existing heading of it."""
    pages = [REPO_ROOT / "README.md", *sorted(DOCS.glob("*.md"))]
    anchors = {p.resolve(): {slug(h) for h in re.findall(r"^#+ (.*)$", p.read_text(), flags=re.M)}
               for p in pages}
    bad = []
    for page in pages:
        for target in re.findall(r"\]\(([^)\s]+)\)", page.read_text()):
            if re.match(r"[a-z]+:", target):
                continue
            path, _, anchor = target.partition("#")
            dest = (page.parent / path).resolve() if path else page.resolve()
            if not dest.exists() or (anchor and anchor not in anchors.get(dest, set())):
                bad.append(f"{page.name}: {target}")
    assert not bad
    readme = (REPO_ROOT / "README.md").read_text()
    started = (DOCS / "getting-started.md").read_text()
    for doc in DOCS.glob("*.md"):
        assert f"(docs/{doc.name})" in readme, f"README does not link {doc.name}"
        if doc.name != "getting-started.md":
            assert f"({doc.name})" in started, f"getting-started.md does not link {doc.name}"

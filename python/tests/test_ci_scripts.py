"""The comparison scripts CI relies on (tools/compare_builds.sh, tools/compare_threads.sh) fail
on any byte that differs, name it, and run each example once per build and thread count.
Stand-in engines keep this fast: they write a result that depends on what is being compared."""
from __future__ import annotations

import subprocess
from pathlib import Path

from conftest import EXAMPLES
from morvex7.engine import REPO_ROOT

ENGINE_EXAMPLES = sorted(p.name for p in EXAMPLES.iterdir() if (p / "fort.50").is_file())


def stand_in_build(directory: Path, result: str) -> Path:
    """A build directory whose morvex7 writes fort.44 = `result` (a shell word, expanded at
    run time) and counts its runs in runs.txt."""
    directory.mkdir(parents=True)
    engine = directory / "morvex7"
    engine.write_text(f'#!/bin/sh\necho run >> "{directory}/runs.txt"\n'
                      f'echo "{result}" > fort.44\necho "Normal end" >&2\n')
    engine.chmod(0o755)
    return directory


def runs(build: Path) -> int:
    return len((build / "runs.txt").read_text().splitlines())


def script(name: str, *args: Path) -> subprocess.CompletedProcess:
    return subprocess.run(["bash", str(REPO_ROOT / "tools" / name), *map(str, args)],
                          capture_output=True, text=True, timeout=120)


def test_compare_builds_runs_the_reference_once_and_names_the_build_that_differs(tmp_path):
    assert len(ENGINE_EXAMPLES) >= 10
    a = stand_in_build(tmp_path / "a", "same")
    b = stand_in_build(tmp_path / "b", "same")
    c = stand_in_build(tmp_path / "c", "other")
    proc = script("compare_builds.sh", a, b, c)
    assert proc.returncode == 1
    for name in ENGINE_EXAMPLES:
        assert f"compare_builds: {name}: all outputs identical in {a} and {b}" in proc.stdout
        assert f"compare_builds: {name}/fort.44 differs between {a} and {c}" in proc.stderr
    assert f"identical in {a} and {c}" not in proc.stdout
    assert [runs(x) for x in (a, b, c)] == [len(ENGINE_EXAMPLES)] * 3
    assert script("compare_builds.sh", a).returncode == 2  # one build compares nothing


def test_compare_threads_fails_on_a_result_that_depends_on_the_thread_count(tmp_path):
    # "$2" is the thread count of --threads N: this stand-in differs only at 7 threads
    flaky = stand_in_build(tmp_path / "flaky", '$([ "$2" = 7 ] && echo seven || echo same)')
    proc = script("compare_threads.sh", flaky)
    assert proc.returncode == 1
    for name in ENGINE_EXAMPLES:
        assert f"compare_threads: {name}/fort.44 differs between 1 and 7 threads" in proc.stderr
    assert "differs between 1 and 2" not in proc.stderr
    assert "differs between 1 and 3" not in proc.stderr
    assert runs(flaky) == 4 * len(ENGINE_EXAMPLES)  # 1, 2, 3 and 7 threads

"""The structured fuzzer of the readers and of the model description (tests/fuzz/): every kept
finding replays soundly, and a few seconds of fresh inputs find nothing."""
from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "fuzz"))

import structured  # noqa: E402

SOUND = {"ok", "refused"}


def test_kept_findings_replay_soundly():
    readers = structured.replay_readers()
    descriptions = structured.replay_descriptions()
    assert readers and descriptions
    assert [c for c in readers if c[1] not in SOUND] == []
    assert [c for c in descriptions if c[1] not in SOUND] == []


def test_damaged_result_files_are_read_or_refused_by_name():
    tally = structured.fuzz_readers(4.0, start=0, log=lambda _: None)
    assert tally.executions > 20 and tally.outcomes["refused"] > 0
    assert tally.findings == []


def test_random_model_descriptions_are_built_or_refused_in_one_line():
    tally = structured.fuzz_descriptions(2.0, start=0, log=lambda _: None)
    assert tally.executions > 100 and tally.outcomes["ok"] > 0
    assert tally.findings == []


def test_the_fuzzer_finds_what_it_is_made_to_find(tmp_path):
    # a damage that reorders two purity-table lines is caught as a refusal, not read as is
    seed = structured.SEEDS / "readers" / "charge_transfer"
    text = (seed / "fort.44").read_text()
    lines = text.split("\n")
    k = next(i for i, ln in enumerate(lines) if ln.strip() == "energies and purities") + 2
    lines[k], lines[k + 1] = lines[k + 1], lines[k]
    assert structured.run_reader_case(seed, "fort.44", "\n".join(lines), tmp_path / "r",
                                      "swap") == "refused"

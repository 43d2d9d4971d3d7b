"""Whether a run's results belong to the model.json beside them.

A builder-made directory can hold the results of an earlier model: a model written over an old
run, or results copied in. model.json names every triad by its labels (ground symmetry,
operator, excited symmetry); the run's triads must be those, in that order, or the spectrum
would weight one model's lines with another's factors.
"""
from __future__ import annotations

from typing import Any, Mapping


class ModelMismatch(ValueError):
    """The results beside a model.json are not those of that model."""


def check_run_matches_model(run: Any, model: Mapping[str, Any], polarisation: str = "iso"
                            ) -> None:
    """Raise :class:`ModelMismatch` unless the run computed exactly the triads of `model`
    (matched by their labels), in the model's order."""
    spectra = model.get("spectra", {})
    if polarisation not in spectra:
        return  # the spectrum's own look-up names the polarisations model.json has
    rows = spectra[polarisation] or []
    have = {t.index: tuple(t.labels) for t in run.triads}
    where = getattr(run, "directory", "the run")
    for r in rows:
        want = (r["ground"], r["operator"], r["excited"])
        got = have.get(r["triad"])
        if got != want:
            said = " ".join(got) if got else "missing"
            raise ModelMismatch(
                f"the results in {where} are not those of its model.json: triad {r['triad']} "
                f"there is {said}, model.json says {' '.join(want)}; run the engine again in "
                "that directory (or rebuild it with morvex7-ion --force --run)")
    if len(have) != len(rows):
        raise ModelMismatch(f"the results in {where} have {len(have)} triads, its model.json "
                            f"{len(rows)}: they are not those of that model; run the engine "
                            "again in that directory")

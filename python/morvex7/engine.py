"""Locating and starting the morvex7 engine executable.

The engine is found, in this order, by the environment variable MORVEX7, on PATH, or in the
build directory of the source tree this package lives in (build/morvex7).
"""
from __future__ import annotations

import os
import shutil
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parents[2]


class EngineNotFound(RuntimeError):
    """No morvex7 executable could be found."""


def find_engine() -> Path:
    """Return the path of the morvex7 executable (MORVEX7, PATH, then build/morvex7)."""
    env = os.environ.get("MORVEX7")
    if env:
        path = Path(env)
        if path.is_file() and os.access(path, os.X_OK):
            return path
        raise EngineNotFound(f"MORVEX7={env} is not an executable file")
    on_path = shutil.which("morvex7")
    if on_path:
        return Path(on_path)
    built = REPO_ROOT / "build" / "morvex7"
    if built.is_file() and os.access(built, os.X_OK):
        return built
    raise EngineNotFound(
        "morvex7 executable not found: set MORVEX7, put it on PATH, or build it "
        "(cmake -S . -B build && cmake --build build)"
    )

"""Morvex7: reading, broadening, plotting and driving the morvex7 engine's results."""
from morvex7.readers import FieldOverflowWarning, LayoutError
from morvex7.results import Run, read_run
from morvex7.sticks import Sticks

__version__ = "0.1.0"

from morvex7.runner import run  # noqa: E402

__all__ = ["Run", "read_run", "Sticks", "LayoutError", "FieldOverflowWarning", "run"]

"""Morvex7: reading, broadening, plotting and driving the morvex7 engine's results."""

__version__ = "0.1.0"

from morvex7.runner import run  # noqa: E402

__all__ = ["run"]

"""SIGTERM and SIGHUP handled as Ctrl-C is, so that a command stopped by a batch system or a
closed terminal ends the same orderly way: its ``finally`` clauses remove temporary files and
write what finished, and it says so in one line instead of dying silently mid-write."""
from __future__ import annotations

import signal
import threading
from contextlib import contextmanager
from typing import Iterator


class Interrupted(KeyboardInterrupt):
    """KeyboardInterrupt raised for SIGTERM or SIGHUP; `signum` says which."""

    def __init__(self, signum: int):
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def exit_status(exc: KeyboardInterrupt) -> int:
    """128 + the signal that stopped the command (130 for Ctrl-C), as the shell counts it."""
    return 128 + getattr(exc, "signum", signal.SIGINT)


def signal_name(exc: KeyboardInterrupt) -> str:
    return signal.Signals(getattr(exc, "signum", signal.SIGINT)).name


@contextmanager
def signals_as_interrupt() -> Iterator[None]:
    """Within the block, SIGTERM and SIGHUP raise :class:`Interrupted` in the main thread
    (signals that were ignored when the command started stay ignored: ``nohup``)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def raise_interrupt(signum, _frame):
        raise Interrupted(signum)

    saved = {}
    for sig in (signal.SIGTERM, signal.SIGHUP):
        old = signal.getsignal(sig)
        if old is signal.SIG_IGN:
            continue
        saved[sig] = old
        signal.signal(sig, raise_interrupt)
    try:
        yield
    finally:
        for sig, old in saved.items():
            signal.signal(sig, old)

"""Where a fit's engine runs go: a running Dask cluster (a client, a scheduler's address or its
file), or engine runs side by side on this machine.

A fit's runs are short (a tenth of a second for a NiO model) and come a few at a time, one
Jacobian after another. On this machine they run in threads of the fitting process, each
thread driving one single-threaded engine process: a local Dask cluster would spend seconds
starting and stopping worker processes (7 s and 1 s of a 16 s NiO fit on a busy two-core
machine) for the same work. The runs and the results are the same either way.
"""
from __future__ import annotations

import os
from collections.abc import Callable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from typing import Any

from morvex7.fitdata import FitError


class LocalWorkers:
    """`n` engine runs at a time on this machine, with the submit/result interface of a Dask
    client that the fit uses."""

    def __init__(self, n: int):
        self.n = n
        self._pool = ThreadPoolExecutor(max_workers=n, thread_name_prefix="fit-run")

    def submit(self, fn: Callable[..., Any], *args: Any, pure: bool = True,
               **kwargs: Any) -> Future:
        return self._pool.submit(fn, *args, **kwargs)

    def close(self) -> None:
        # the runs under way finish (and remove their directories) before the fit cleans up
        self._pool.shutdown(wait=True, cancel_futures=True)


@contextmanager
def fit_workers(client: Any = None, scheduler: str | None = None,
                scheduler_file: str | None = None, n_workers: int | None = None
                ) -> Iterator[Any]:
    """The given client, a client of the cluster at `scheduler`/`scheduler_file`, or
    :class:`LocalWorkers` of `n_workers` (default: one per core)."""
    if client is not None:
        yield client
        return
    if scheduler or scheduler_file:
        from morvex7.sweep import dask_client

        with dask_client(scheduler, scheduler_file) as c:
            yield c
        return
    if n_workers is not None and n_workers < 1:
        raise FitError(f"{n_workers} workers: give 1 or more")
    workers = LocalWorkers(n_workers or os.cpu_count() or 1)
    try:
        yield workers
    finally:
        workers.close()

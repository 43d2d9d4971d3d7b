"""A small model with a closed-form spectrum, stand-in engines and a served explorer."""
from __future__ import annotations

import json
import stat
import urllib.error
import urllib.request
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterator

from morvex7.explore.server import ExploreServer, serve_in_thread
from morvex7.explore.session import Session
from morvex7.ion.build import build_model
from morvex7.ion.model import model_from_dict

# Ti4+-like 3d0 in Oh with only the 2p spin-orbit coupling and the crystal field: the final
# states 2p5 3d1 are a 2p hole (j = 3/2 at -zeta/2, j = 1/2 at +zeta) times a 3d electron (t2g
# at -4Dq, eg at +6Dq), the ground state 3d0 has no energy of its own. So the lines lie at
# -zeta/2 - 0.4 10Dq (L3 t2g, the strongest: 2/3 of the weight times 3/5), -zeta/2 + 0.6 10Dq,
# zeta - 0.4 10Dq and zeta + 0.6 10Dq, with intensities in the ratios 6 : 4 : 3 : 2.
ZETA_C = 3.0
D0_MODEL = {"valence": "3d", "electrons": 0, "core": "2p", "symmetry": "Oh",
            "title": "d0 test model", "ground": {"10Dq": 1.0}, "excited": {"zeta_c": ZETA_C}}
TEN_DQ = "10Dq"


def d0_lines(ten_dq: float) -> list[tuple[float, float]]:
    """(energy, relative intensity) of the four lines, strongest first."""
    z = ZETA_C
    return [(-z / 2 - 0.4 * ten_dq, 6.0), (-z / 2 + 0.6 * ten_dq, 4.0),
            (z - 0.4 * ten_dq, 3.0), (z + 0.6 * ten_dq, 2.0)]


def build_d0(directory: Path) -> Path:
    build_model(model_from_dict(json.loads(json.dumps(D0_MODEL))), directory)
    return directory


def stand_in_engine(directory: Path, engine: Path, fail_on: str = "9.99",
                    sleep_on: str = "7.77") -> Path:
    """An engine that stops with a message when the command file holds `fail_on`, sleeps
    (writing its pid to engine.pid) when it holds `sleep_on`, and runs `engine` otherwise."""
    script = directory / "engine.sh"
    script.write_text(f"""#!/bin/sh
if grep -q ' {fail_on} ' fort.50; then echo 'STOP the stand-in engine refuses {fail_on}' >&2; exit 3; fi
if grep -q ' {sleep_on} ' fort.50; then echo $$ > engine.pid; exec sleep 60; fi
exec '{engine}'
""")
    script.chmod(script.stat().st_mode | stat.S_IXUSR)
    return script


@contextmanager
def served(model_dir: Path, workdir: Path, engine: Path) -> Iterator[ExploreServer]:
    session = Session(model_dir, workdir, engine)
    server = ExploreServer(session)
    serve_in_thread(server)
    try:
        yield server
    finally:
        server.shutdown()
        session.close()
        server.server_close()


def post(server: ExploreServer, path: str, body: Any, headers: dict | None = None,
         raw: bytes | None = None) -> tuple[int, Any]:
    """POST JSON; (status, parsed JSON or text)."""
    data = raw if raw is not None else json.dumps(body).encode()
    req = urllib.request.Request(server.url.rstrip("/") + path, data=data, method="POST",
                                 headers={"Content-Type": "application/json", **(headers or {})})
    try:
        with urllib.request.urlopen(req, timeout=120) as r:
            status, payload, kind = r.status, r.read(), r.headers.get("Content-Type", "")
    except urllib.error.HTTPError as err:
        status, payload, kind = err.code, err.read(), err.headers.get("Content-Type", "")
    return status, json.loads(payload) if kind.startswith("application/json") else payload.decode()

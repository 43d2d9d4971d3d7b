"""morvex7-explore: change a model's parameters in the browser and see its spectrum."""
from __future__ import annotations

import argparse
import shutil
import signal
import sys
import tempfile
import webbrowser
from pathlib import Path
from typing import Sequence

from morvex7.store import model_inputs

PROG = "morvex7-explore"

EXAMPLES = f"""\
examples:
  {PROG} examples/ni2_oh_charge_transfer
      serve the built model's page; open the printed URL (http://127.0.0.1:PORT/)
  {PROG} examples/ti4_oh_crystal_field/model.toml --open
      build the model from its description in the work directory, open the browser
  {PROG} examples/charge_transfer --port 8765 --workdir scratch
      a fixed port and work directory (kept afterwards)

The page: number fields and sliders for the model's parameters (a change re-runs the engine),
widths, polarisation and temperature, a measured spectrum laid on top (CSV or whitespace
columns, energy and intensity), a fit of the ticked parameters, and exports (CSV, PNG, SVG,
TOML). The server listens on 127.0.0.1 only; Ctrl-C stops it and its engine runs.
Engine runs, fits and measured files go to the work directory, nowhere else; without
--workdir it is a temporary directory removed at the end.
"""


class UserError(Exception):
    """Bad input, told in one line."""


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog=PROG, description=__doc__, epilog=EXAMPLES,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("model", type=Path, metavar="DIR",
                   help="a built model directory (fort.50, FTN14, FTN15 [, FTN99, model.json]) "
                        "or a model description (.toml or .json) to build first")
    p.add_argument("--port", type=int, default=0,
                   help="port on 127.0.0.1 (default: a free one, printed)")
    p.add_argument("--open", action="store_true", help="open the page in the web browser")
    p.add_argument("--workdir", type=Path, metavar="DIR",
                   help="work directory for runs, fits and measured files (created; kept). "
                        "Default: a temporary directory, removed at the end")
    p.add_argument("--verbose", action="store_true", help="log every request on the terminal")
    return p


def model_directory(path: Path, workdir: Path) -> tuple[Path, Path | None]:
    """The built model directory for `path`, building a description into the work directory."""
    if path.is_dir():
        missing = [f for f in ("fort.50", *model_inputs(path)) if not (path / f).is_file()]
        if missing:
            raise UserError(f"{path}: not a model directory (it has no {', '.join(missing)}); "
                            "give a built model or a description (.toml/.json)")
        return path.resolve(), None
    if not path.is_file():
        raise UserError(f"{path}: no such file or directory")
    if path.suffix.lower() not in (".toml", ".json"):
        raise UserError(f"{path}: a model description must be .toml or .json")
    from morvex7.ion.build import build_model
    from morvex7.ion.model import load_description

    try:
        model = load_description(path)
    except (ValueError, OSError) as exc:
        raise UserError(f"{path}: {exc}") from None
    out = workdir / "model"
    print(f"{PROG}: building {path} into {out} ...", flush=True)
    built = build_model(model, out)
    print(f"{PROG}: built in {built.seconds:.1f} s", flush=True)
    return out.resolve(), path.resolve()


def prepare_workdir(requested: Path | None) -> tuple[Path, bool]:
    """The work directory and whether it is temporary (removed at the end)."""
    if requested is None:
        return Path(tempfile.mkdtemp(prefix="morvex7-explore-")), True
    if requested.exists() and not requested.is_dir():
        raise UserError(f"{requested}: the work directory exists and is not a directory")
    requested.mkdir(parents=True, exist_ok=True)
    return requested.resolve(), False


def _interrupt(signum, frame) -> None:
    raise KeyboardInterrupt


def main(argv: Sequence[str] | None = None) -> int:
    """Entry point: 0 after Ctrl-C, 1 on bad input, 2 on bad usage."""
    args = build_parser().parse_args(argv)
    if not 0 <= args.port <= 65535:
        print(f"{PROG}: error: --port must be 0..65535", file=sys.stderr)
        return 2
    from morvex7.engine import EngineNotFound, find_engine
    from morvex7.explore.server import ExploreServer
    from morvex7.explore.session import Session

    workdir = temporary = None
    try:
        engine = find_engine()
        workdir, temporary = prepare_workdir(args.workdir)
        model_dir, description = model_directory(args.model, workdir)
        session = Session(model_dir, workdir, engine, description)
        try:
            server = ExploreServer(session, args.port, quiet=not args.verbose)
        except OSError as exc:
            raise UserError(f"cannot listen on 127.0.0.1:{args.port}: {exc.strerror}") from None
    except (UserError, EngineNotFound, OSError, ValueError) as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        if temporary and workdir is not None:
            shutil.rmtree(workdir, ignore_errors=True)
        return 1
    # Ctrl-C and SIGTERM end the server, also when started where SIGINT was ignored (a
    # background job of a script)
    signal.signal(signal.SIGINT, _interrupt)
    signal.signal(signal.SIGTERM, _interrupt)
    print(f"{PROG}: {session.describe()['title']}: {len(session.params)} parameters", flush=True)
    print(f"{PROG}: serving {server.url}  (work directory {workdir}; Ctrl-C to stop)",
          flush=True)
    if args.open:
        webbrowser.open(server.url)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        print(f"\n{PROG}: stopping", flush=True)
    finally:
        session.close()
        server.server_close()
        if temporary:
            shutil.rmtree(workdir, ignore_errors=True)
    return 0

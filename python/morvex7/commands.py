"""The engine's command language, interpreted to recover the parameters of every block.

The engine echoes each command-file line it reads to fort.44 (a blank, then columns 1..79 of
the upper-cased line without underscores). Feeding those lines through
:class:`CommandInterpreter` gives, block by block, the values the engine worked with: a block
changes only what it mentions, everything else keeps the value of the blocks before it.

Words are separated by blanks only; a word beginning with ``%`` turns the rest of its line into a
comment; a word is at most 20 characters long. Numbers follow the engine's input rules: an
integer that does not read (``1.0`` for N2) or a real that does not read gives 0, as in the
engine (which also counts a warning in its log).
"""
from __future__ import annotations

import re
from pathlib import Path

__all__ = ["EndOfCommands", "EchoSource", "CommandInterpreter", "evaluate_definition",
           "fortran_real", "fortran_int", "read_command_file", "command_file_lines"]


class EndOfCommands(Exception):
    """The command lines are exhausted (``finished``: the engine's FINISHED record follows)."""

    def __init__(self, finished: bool):
        super().__init__("end of the command lines")
        self.finished = finished


class EchoSource:
    """Supplier of command lines, already upper-cased; override :meth:`next_line`."""

    def next_line(self) -> str:  # pragma: no cover - interface
        raise NotImplementedError


_REAL = re.compile(r"^([+-]?)(\d*)(?:\.(\d*))?(?:(?:[EDQedq]([+-]?\d*))|([+-]\d+))?$")


def fortran_real(word: str) -> float | None:
    """Read a word as the engine reads a real (blanks ignored); None on an input error.

    ``5`` is 5.0, ``1.5-3`` is 0.0015, ``2D1`` is 20.0; ``.``, ``+``, ``-`` read as 0.
    """
    s = word.replace(" ", "")
    if s.lower() in ("inf", "+inf", "-inf", "infinity", "+infinity", "-infinity", "nan"):
        return float(s)
    m = _REAL.match(s)
    if not m:
        return None
    sign, ip, fp, e1, e2 = m.groups()
    mant = (ip or "") + "." + (fp or "")
    value = float(mant) if (ip or fp) else 0.0
    exp = e1 if e1 is not None else e2
    if exp not in (None, "", "+", "-"):
        value *= 10.0 ** int(exp)
    return -value if sign == "-" else value


def fortran_int(word: str) -> int | None:
    """Read a word as the engine reads an integer; None on an input error."""
    s = word.replace(" ", "")
    return int(s) if re.fullmatch(r"[+-]?\d+", s) else None


def evaluate_definition(line: str, delta: float, ucv: float, uvv: float
                        ) -> tuple[str, float] | None:
    """Evaluate a DEF line as the engine does.

    Parameters
    ----------
    line : str
        The whole (upper-cased) line holding the word DEF.
    delta, ucv, uvv : float
        Current values of DEL, UCV, UVV.

    Returns
    -------
    (target, value) or None
        None when the engine would have stopped on the definition. Only the first occurrence
        of each of DEL, UCV, UVV, UNITY counts; a bare number adds nothing.
    """
    text = line.replace(" ", "")
    d, q = text.find("DEF"), text.find("=")
    if d < 0 or q != d + 6:
        return None
    name, rhs = text[d + 3:d + 6], text[q + 1:]
    value = 0.0
    for var, x in (("DEL", delta), ("UCV", ucv), ("UVV", uvv), ("UNITY", 1.0)):
        p = rhs.find(var)
        if p < 0:
            continue
        if p == 0:
            value += x
            continue
        for j in range(p - 1, -1, -1):
            c, s = rhs[j], p - j
            if c not in "+-0123456789.":
                return None
            if s == 1 and c in "+-":
                value += x if c == "+" else -x
                break
            if c in "+-" or j == 0:
                coef = fortran_real(rhs[j:p]) if rhs[j:p] not in ("+", "-") else 0.0
                if coef is None or rhs[j:p].count(".") > 1:
                    return None
                value += x * coef
                break
    return name, value


_DEFAULTS: dict = {
    "NCONF": "0 0", "NCONFG": 0, "NCONFE": 0, "N2": 0, "N3": 0, "W": 0.0, "DEL": 0.0,
    "UCV": 0.0, "UVV": 0.0, "EG1": 0.0, "EG2": 0.0, "EG3": 0.0, "EF1": 0.0, "EF2": 0.0,
    "EF3": 0.0, "DIP": 1.0, "ERANGE": 1.0e-6, "MAXITER": 100, "BANDSHAPE": "SQUARE",
    "PRMULT": 0, "OLDCOWAN": 0, "AUGER": 0,
}
_REALS = ("W", "DEL", "UVV", "UCV", "EG1", "EG2", "EG3", "EF1", "EF2", "EF3", "ERANGE", "DIP")


class CommandInterpreter:
    """Reads command lines block by block, keeping the parameters from block to block.

    Attributes
    ----------
    params : dict
        Effective parameter values after the last block read (see :meth:`snapshot`).
    definitions : dict[str, str]
        Right-hand sides of the DEF lines of the last block (target -> text); Auger-block
        definitions are keyed ``EFAUG<channel>_<k>``.
    operators : list[str]
        XHAM, XMIX, TRAN, XTRAN commands of the last block, as read.
    ignored : list[str]
        Words of the last block that are no command (the engine warned about them).
    """

    def __init__(self, source: EchoSource):
        self.source = source
        self.line: str | None = None
        self.col = 0
        self.params: dict = dict(_DEFAULTS)
        self.definitions: dict[str, str] = {}
        self.operators: list[str] = []
        self.ignored: list[str] = []
        self._channels: set[int] = set()

    # -- tokens -----------------------------------------------------------------------------
    def new_line(self) -> None:
        """Drop the rest of the current line: the next word comes from a new line."""
        self.line = None

    def word(self) -> str:
        """The next word, as the engine's token routine returns it (at most 20 characters)."""
        while True:
            if self.line is None:
                self.line = self.source.next_line()
                self.col = 0
            line, n = self.line, len(self.line)
            while self.col < n and line[self.col] == " ":
                self.col += 1
            if self.col >= n:
                self.line = None
                continue
            if line[self.col] == "%":
                self.line = None
                continue
            end = line.find(" ", self.col)
            end = n if end < 0 else end
            w = line[self.col:end]
            self.col = end
            return w[:20]

    def _int(self) -> int:
        v = fortran_int(self.word())
        return 0 if v is None else v

    def _real(self) -> float:
        v = fortran_real(self.word())
        return 0.0 if v is None else v

    def _definition_line(self) -> str:
        text = self.line or ""
        self.line = None
        return text

    # -- blocks ------------------------------------------------------------------------------
    def read_block(self) -> dict:
        """Read one band-calculation block up to TRIADS; return the parameter snapshot."""
        p = self.params
        self.definitions, self.operators, self.ignored = {}, [], []
        p["OLDGROUND"] = 0
        p["OLDEXCITE"] = 0
        self.new_line()
        while True:
            w = self.word()
            if w in ("OLDGROUND", "OLDEXCITE", "PRMULT", "OLDCOWAN"):
                p[w] = 1
            elif w == "NCONF":
                g, e = self._int(), self._int()
                p["NCONF"], p["NCONFG"], p["NCONFE"] = f"{g} {e}", g, e
            elif w in ("N2", "N3", "MAXITER"):
                p[w] = self._int()
            elif w == "KRYLOV":            # Lanczos steps of large spectra; a negative count is refused
                n = self._int()
                if n >= 0:
                    p[w] = n
            elif w in _REALS:
                p[w] = self._real()
            elif w in ("XHAM", "XMIX", "TRAN", "XTRAN"):
                self.operators.append(self._operator(w))
            elif w in ("SQUARE", "CIRCLE"):
                p["BANDSHAPE"] = w
            elif w == "SHAPE":
                n = self._int()
                p["BANDSHAPE"] = "SHAPE " + " ".join([str(n)] + [repr(self._real())
                                                               for _ in range(max(n, 0) + 1)])
            elif w == "DEF":
                self._define(self._definition_line(), p["DEL"], p["UCV"], p["UVV"], None)
            elif w == "AUGER":
                p["AUGER"] = 1
                self._auger_block()
            elif w == "RIXS":
                self._rixs_block()
            elif w == "TRIADS":
                return self.snapshot()
            else:
                self.ignored.append(w)

    def _operator(self, w: str) -> str:
        words = [w]
        n = 1 if w == "TRAN" else self._int()
        if w != "TRAN":
            words.append(str(n))
            words += [repr(self._real()) for _ in range(max(n, 0))]
        m = self._int()
        words.append(str(m))
        per = {"XHAM": 2, "XMIX": 3, "TRAN": 2, "XTRAN": 2}[w]
        words += [str(self._int()) for _ in range(max(m, 0) * per)]
        return " ".join(words)

    def _define(self, line: str, delta: float, ucv: float, uvv: float, channel: int | None) -> None:
        text = line.replace(" ", "")
        rhs = text[text.find("=") + 1:] if "=" in text else text
        res = evaluate_definition(line, delta, ucv, uvv)
        if res is None:
            name = text[text.find("DEF") + 3:text.find("DEF") + 6]
            self.definitions[name if channel is None else f"EFAUG{channel}_{name[-1:]}"] = rhs
            return
        name, value = res
        if channel is None:
            if name in ("EG1", "EG2", "EG3", "EF1", "EF2", "EF3"):
                self.params[name] = value
                self.definitions[name] = rhs
        elif name in ("EF1", "EF2", "EF3"):
            key = f"EFAUG{channel}_{name[2]}"
            self.params[key] = value
            self.definitions[key] = rhs
            self._touch(channel)

    def _touch(self, c: int) -> None:
        if c not in self._channels:
            self._channels.add(c)
            for k, v in ((f"EFAUG{c}_1", 0.0), (f"EFAUG{c}_2", 0.0), (f"EFAUG{c}_3", 0.0),
                         (f"DIPAUG{c}", 0.0), (f"CI{c}", 1.0)):
                self.params.setdefault(k, v)

    def _auger_block(self) -> None:
        p = self.params
        p["GAMMA"] = 0.0
        ch = 1
        d, u, v = p["DEL"], p["UCV"], p["UVV"]
        while True:
            w = self.word()
            if w == "NOMEGA":
                p["NOMEGA"] = self._int()
            elif w in ("ESTART", "ESTEP", "GAMMA"):
                p[w] = self._real()
            elif w == "NO":
                n = self._int()
                ch = n if 1 <= n <= 9 else ch
            elif w.startswith("DEL"):
                d = self._real()
            elif w == "UCV":
                u = self._real()
            elif w == "UVV":
                v = self._real()
            elif w in ("DIP", "CI"):
                self._touch(ch)
                p[("DIPAUG" if w == "DIP" else "CI") + str(ch)] = self._real()
            elif w == "DEF":
                self._touch(ch)
                self._define(self._definition_line(), d, u, v, ch)
            elif w == "ENDAUGER":
                return
            else:
                self.ignored.append(w)

    def _rixs_block(self) -> None:
        """The RIXS block's words up to ENDRIXS: the map's own file (fort.47) states them."""
        while self.word() != "ENDRIXS":
            pass

    def read_triad(self) -> tuple[str, ...] | None:
        """Read one triad line: its labels (four with PRMULT), or None at ENDTRIADS."""
        self.new_line()
        first = self.word()
        if first == "ENDTRIADS":
            return None
        labels = [first, self.word(), self.word()]
        if self.params.get("PRMULT"):
            labels.append(self.word())
        return tuple(labels)

    def snapshot(self) -> dict:
        """A copy of the effective parameters; Auger parameters only once AUGER was given."""
        snap = dict(self.params)
        if not snap.get("AUGER"):
            for k in [k for k in snap if k.startswith(("EFAUG", "DIPAUG", "CI"))
                      or k in ("NOMEGA", "ESTART", "ESTEP", "GAMMA")]:
                del snap[k]
        return snap


def command_file_lines(path: str | Path) -> list[str]:
    """The lines of a command file as the engine reads them: at most 136 characters, a-z
    upper-cased, underscores removed (the echo in fort.44 shows columns 1..79 of these)."""
    raw = Path(path).read_bytes().decode("latin-1")
    lines = re.split(r"\r\n|\r|\n", raw)
    if lines and lines[-1] == "":
        lines.pop()
    return [ln[:136].translate(_UPPER).replace("_", "") for ln in lines]


class _FileSource(EchoSource):
    def __init__(self, path: Path):
        self.lines = command_file_lines(path)
        self.pos = 0
        self.taken: list[str] = []

    def next_line(self) -> str:
        if self.pos >= len(self.lines):
            raise EndOfCommands(finished=True)
        self.pos += 1
        self.taken.append(self.lines[self.pos - 1].rstrip())
        return self.lines[self.pos - 1]


_UPPER = str.maketrans("abcdefghijklmnopqrstuvwxyz", "ABCDEFGHIJKLMNOPQRSTUVWXYZ")


def read_command_file(path: str | Path) -> list[tuple[dict, list[tuple[str, ...]]]]:
    """Read a command file (fort.50) without running it.

    Returns
    -------
    list of (params, triads)
        For every block that reaches TRIADS: the effective parameters and the triad labels.
    """
    src = _FileSource(Path(path))
    interp = CommandInterpreter(src)
    out: list[tuple[dict, list[tuple[str, ...]]]] = []
    try:
        while True:
            params = interp.read_block()
            triads: list[tuple[str, ...]] = []
            out.append((params, triads))
            while (t := interp.read_triad()) is not None:
                triads.append(t)
    except EndOfCommands:
        return out

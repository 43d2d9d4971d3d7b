"""Token-level reading and editing of the engine's command file (fort.50).

The file is read the way the engine reads it: only the blank separates words, a word that
begins with ``%`` turns the rest of its line into a comment, keywords are compared after
upper-casing and removing underscores, and only the first 136 columns of a line count.
Editing replaces, inserts or removes whole words; every other character of the file (DEF
lines, comments, spacing, case, line ends) stays as it was.

Parameter names
---------------
A parameter is addressed by a name, case-insensitive::

    DEL                    keyword DEL of band-calculation block 1
    DEL@2                  the same in block 2 (blocks count from 1)
    N2, N3, W, UCV, UVV, EG1..EG3, EF1..EF3, DIP, ERANGE, MAXITER
    NCONF[1], NCONF[2]     ground / excited number of configurations
    XHAM[t,c]              first factor of the XHAM entry of side t (1 ground, 2 excited),
                           configuration c
    XHAM[t,c][k]           its k-th factor
    XMIX[t,c1,c2][k]       factor k of the XMIX entry mixing configurations c1 and c2 of side t
    XTRAN[c1,c2][k]        factor k of the transition entry from ground configuration c1 to
                           excited configuration c2
    AUGER.GAMMA            value in the (first) Auger block of the band-calculation block;
                           also AUGER.NOMEGA, AUGER.ESTART, AUGER.ESTEP, AUGER.DEL,
                           AUGER.UCV, AUGER.UVV
    AUGER.DIP[n], AUGER.CI[n]
                           DIP and CI of Auger channel n (as selected by NO n; default 1)

Every occurrence of the keyword (or entry) in the chosen block is set, so the whole block
sees the new value. A keyword the block does not mention is added on a new line at the start
of the block (before the first DEF lines, so definitions use it). An XHAM/XMIX/XTRAN command
that lists several entries sharing one set of factors is split: the chosen entry moves to a
command of its own on the next line. A name that is not one of the above, a configuration
energy that a DEF line of the block defines, or a factor the entry does not have is refused
with a :class:`ParameterError`.
"""
from __future__ import annotations

import math
import re
from collections.abc import Mapping
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from morvex7.commands import fortran_real

LINE_WIDTH = 136  # columns of a command line that the engine reads
_LINE_END = re.compile(r"\r\n|\r|\n")

INT_KEYWORDS = {"N2", "N3", "MAXITER"}
REAL_KEYWORDS = {"W", "DEL", "UCV", "UVV", "EG1", "EG2", "EG3", "EF1", "EF2", "EF3", "DIP",
                 "ERANGE"}
FLAG_KEYWORDS = {"OLDGROUND", "OLDEXCITE", "PRMULT", "OLDCOWAN", "SQUARE", "CIRCLE"}
AUGER_INT = {"NOMEGA"}
AUGER_REAL = {"ESTART", "ESTEP", "GAMMA", "DEL", "UCV", "UVV"}
AUGER_CHANNEL = {"DIP", "CI"}
ENTRY_WIDTH = {"XHAM": 2, "XMIX": 3, "XTRAN": 2, "TRAN": 2}


class ParameterError(ValueError):
    """A parameter name or value that cannot be set in this command file."""


@dataclass
class Token:
    """One word of the command file: its text, its keyword form and where it stands."""

    text: str
    line: int  # 0-based line index
    start: int  # 0-based column of the first character
    end: int  # column after the last character

    @property
    def word(self) -> str:
        return normalise(self.text)


@dataclass
class Command:
    """A keyword with the words it reads as arguments (for DEF: the rest of its line)."""

    keyword: str
    token: Token
    args: list[Token] = field(default_factory=list)
    channel: int = 1  # the Auger channel in force (Auger-block commands)

    def int_arg(self, i: int) -> int:
        return _as_int(self.args[i].word) if i < len(self.args) else 0

    def entries(self) -> list[tuple[tuple[int, ...], list[Token]]]:
        """For XHAM/XMIX/XTRAN/TRAN: the (operator position, its words) of every listed entry."""
        width = ENTRY_WIDTH[self.keyword]
        first = 0 if self.keyword == "TRAN" else 1 + self.int_arg(0)
        # a count beyond the words read (XHAM ... 2000000000) lists only the entries there
        count = min(self.int_arg(first), max(len(self.args) - first - 1, 0) // width)
        out = []
        for j in range(count):
            words = self.args[first + 1 + j * width: first + 1 + (j + 1) * width]
            if len(words) == width:
                out.append((tuple(_as_int(w.word) for w in words), words))
        return out

    def factors(self) -> list[Token]:
        if self.keyword == "TRAN":
            return []
        return self.args[1:1 + self.int_arg(0)]


@dataclass
class AugerBlock:
    start: Token  # the word AUGER
    commands: list[Command] = field(default_factory=list)
    end: Token | None = None  # the word ENDAUGER


@dataclass
class Block:
    """One band-calculation block: its commands, Auger blocks and triad lines."""

    number: int
    commands: list[Command] = field(default_factory=list)
    augers: list[AugerBlock] = field(default_factory=list)
    triads_token: Token | None = None
    triads: list[list[Token]] = field(default_factory=list)

    def first_token(self) -> Token | None:
        if self.commands:
            return self.commands[0].token
        return self.triads_token

    def find(self, keyword: str) -> list[Command]:
        return [c for c in self.commands if c.keyword == keyword]


def normalise(word: str) -> str:
    """The keyword form of a word: a-z upper-cased, underscores removed."""
    return word.replace("_", "").upper() if word.isascii() else _ascii_upper(word)


def _ascii_upper(word: str) -> str:
    return "".join(ch.upper() if "a" <= ch <= "z" else ch for ch in word if ch != "_")


def _as_int(word: str) -> int:
    """An integer word as the engine reads it; an unreadable one counts as 0."""
    return int(word) if re.fullmatch(r"[+-]?\d+", word) else 0


def format_value(value: float, integer: bool) -> str:
    """The word written for a value: integers plainly, reals as the shortest text that reads
    back as the same 4-byte real, at most 20 characters."""
    if isinstance(value, bool):
        raise ParameterError(f"value {value!r} is not a number")
    try:
        x = float(value)
    except (TypeError, ValueError):
        raise ParameterError(f"value {value!r} is not a number") from None
    if not math.isfinite(x):
        raise ParameterError(f"value {value!r} is not finite")
    if integer:
        if x != int(x):
            raise ParameterError(f"value {value!r} must be an integer")
        return str(int(x))
    f = np.float32(x)
    if not np.isfinite(f):
        raise ParameterError(f"value {value!r} does not fit a 4-byte real")
    text = np.format_float_positional(f, trim="0")
    if len(text) > 12:
        text = np.format_float_scientific(f, trim="0", exp_digits=2).upper()
    return text


# ----------------------------------------------------------------------------------------
# Reading


class _Cursor:
    """Walks the words of the file like the engine's reader: word by word, or to a new line."""

    def __init__(self, lines: list[list[Token]]):
        self.lines = lines
        self.line = 0
        self.pos = 0

    def next(self) -> Token | None:
        while self.line < len(self.lines):
            words = self.lines[self.line]
            if self.pos < len(words):
                self.pos += 1
                return words[self.pos - 1]
            self.line += 1
            self.pos = 0
        return None

    def rest_of_line(self) -> list[Token]:
        """The unread words of the current line; reading goes on with the next line."""
        if self.line >= len(self.lines):
            return []
        rest = self.lines[self.line][self.pos:]
        self.line += 1
        self.pos = 0
        return rest

    def fresh_line(self) -> None:
        if self.pos > 0:
            self.line += 1
            self.pos = 0


def tokenize_line(text: str, index: int) -> list[Token]:
    words = []
    for m in re.finditer(r"[^ ]+", text[:LINE_WIDTH]):
        if m.group().startswith("%"):
            break
        tok = Token(m.group(), index, m.start(), m.end())
        if tok.word:
            words.append(tok)
    return words


def _read_args(cur: _Cursor, n: int) -> list[Token]:
    out = []
    for _ in range(n):
        t = cur.next()
        if t is None:
            break
        out.append(t)
    return out


def _read_entry_command(cur: _Cursor, keyword: str) -> list[Token]:
    args: list[Token] = []
    if keyword != "TRAN":
        args += _read_args(cur, 1)
        n = _as_int(args[0].word) if args else 0
        args += _read_args(cur, max(n, 0))
    count = _read_args(cur, 1)
    args += count
    m = _as_int(count[0].word) if count else 0
    args += _read_args(cur, max(m, 0) * ENTRY_WIDTH[keyword])
    return args


def _read_auger(cur: _Cursor, start: Token) -> AugerBlock:
    block = AugerBlock(start)
    channel = 1
    while True:
        t = cur.next()
        if t is None:
            return block
        kw = t.word
        if kw == "ENDAUGER":
            block.end = t
            return block
        if kw.startswith("DEL"):
            kw = "DEL"
        if kw == "DEF":
            cmd = Command(kw, t, cur.rest_of_line(), channel)
        elif kw in AUGER_INT | AUGER_REAL | AUGER_CHANNEL | {"NO"}:
            cmd = Command(kw, t, _read_args(cur, 1), channel)
            if kw == "NO" and 1 <= cmd.int_arg(0) <= 9:
                channel = cmd.int_arg(0)
        else:
            cmd = Command("?" + kw, t, [], channel)
        block.commands.append(cmd)


def parse(lines: list[list[Token]]) -> list[Block]:
    """The band-calculation blocks of a tokenised command file."""
    cur = _Cursor(lines)
    blocks: list[Block] = []
    prmult = False
    while True:
        block = Block(len(blocks) + 1)
        first = cur.next()
        if first is None:
            return blocks
        blocks.append(block)
        t: Token | None = first
        while t is not None:
            kw = t.word
            if kw == "TRIADS":
                block.triads_token = t
                break
            if kw in INT_KEYWORDS | REAL_KEYWORDS:
                block.commands.append(Command(kw, t, _read_args(cur, 1)))
            elif kw == "NCONF":
                block.commands.append(Command(kw, t, _read_args(cur, 2)))
            elif kw in ENTRY_WIDTH:
                block.commands.append(Command(kw, t, _read_entry_command(cur, kw)))
            elif kw == "SHAPE":
                n = _read_args(cur, 1)
                order = _as_int(n[0].word) if n else 0
                block.commands.append(Command(kw, t, n + _read_args(cur, max(order, 0) + 1)))
            elif kw == "DEF":
                block.commands.append(Command(kw, t, cur.rest_of_line()))
            elif kw == "AUGER":
                block.commands.append(Command(kw, t))
                block.augers.append(_read_auger(cur, t))
            else:
                prmult = prmult or kw == "PRMULT"
                block.commands.append(Command(kw if kw in FLAG_KEYWORDS else "?" + kw, t))
            t = cur.next()
        if t is None:
            return blocks
        cur.rest_of_line()
        while True:
            label = cur.next()
            if label is None:
                return blocks
            if label.word == "ENDTRIADS":
                cur.fresh_line()
                break
            block.triads.append([label] + _read_args(cur, 3 if prmult else 2))
            cur.fresh_line()


# ----------------------------------------------------------------------------------------
# Names


@dataclass(frozen=True)
class Target:
    """A parsed parameter name."""

    name: str  # as given
    block: int
    keyword: str
    auger: bool = False
    index: tuple[int, ...] = ()  # operator position (entries), channel (Auger), NCONF side
    factor: int = 1

    @property
    def integer(self) -> bool:
        if self.auger:
            return self.keyword in AUGER_INT
        return self.keyword in INT_KEYWORDS or self.keyword == "NCONF"


_NAME = re.compile(
    r"^(?P<auger>AUGER\.)?(?P<kw>[A-Z][A-Z0-9]*)"
    r"(?:\[(?P<idx>[0-9 ,]+)\])?(?:\[(?P<fac>\d+)\])?(?:@(?P<block>\d+))?$")


def parse_name(name: str) -> Target:
    """Parse a parameter name such as ``DEL``, ``W@2``, ``XHAM[2,1][2]`` or ``AUGER.CI[1]``."""
    m = _NAME.match(name.strip().upper().replace("_", ""))
    if not m:
        raise ParameterError(f"cannot read parameter name {name!r}")
    kw = m["kw"]
    idx = tuple(int(x) for x in re.split(r"[ ,]+", m["idx"].strip())) if m["idx"] else ()
    block = int(m["block"]) if m["block"] else 1
    fac = int(m["fac"]) if m["fac"] else 1
    if block < 1:
        raise ParameterError(f"{name}: blocks count from 1")
    bad = ParameterError(f"unknown parameter {name!r}; accepted: " + _ACCEPTED)
    if m["auger"]:
        if m["fac"] or kw not in AUGER_INT | AUGER_REAL | AUGER_CHANNEL:
            raise bad
        if kw in AUGER_CHANNEL:
            idx = idx or (1,)
            if len(idx) != 1 or not 1 <= idx[0] <= 9:
                raise ParameterError(f"{name}: one Auger channel 1..9 expected")
        elif idx:
            raise bad
        return Target(name, block, kw, True, idx)
    if kw in ("XHAM", "XMIX", "XTRAN"):
        if len(idx) != ENTRY_WIDTH[kw]:
            raise ParameterError(
                f"{name}: {kw} entries are named by {ENTRY_WIDTH[kw]} numbers, e.g. "
                + {"XHAM": "XHAM[1,2]", "XMIX": "XMIX[1,1,2]", "XTRAN": "XTRAN[1,2]"}[kw])
        if not 1 <= fac <= 10:
            raise ParameterError(f"{name}: factor number must be 1..10")
        return Target(name, block, kw, False, idx, fac)
    if m["fac"]:
        raise bad
    if kw == "NCONF":
        if idx not in ((1,), (2,)):
            raise ParameterError(f"{name}: NCONF[1] (ground) or NCONF[2] (excited) expected")
        return Target(name, block, kw, False, idx)
    if idx or kw not in INT_KEYWORDS | REAL_KEYWORDS:
        raise bad
    return Target(name, block, kw)


_ACCEPTED = ("N2, N3, W, DEL, UCV, UVV, EG1..3, EF1..3, DIP, ERANGE, MAXITER, NCONF[1|2], "
             "XHAM[t,c][k], XMIX[t,c1,c2][k], XTRAN[c1,c2][k], AUGER.(NOMEGA|ESTART|ESTEP|"
             "GAMMA|DEL|UCV|UVV), AUGER.(DIP|CI)[channel], each optionally @block")


# ----------------------------------------------------------------------------------------
# The editor


class CommandFile:
    """A command file held as text, read and edited word by word.

    Examples
    --------
    >>> cf = CommandFile("N2 4 W 2.0 % band\\nDEL 3.0\\nTRIADS\\nA1G T1U T1U\\nENDTRIADS\\n")
    >>> cf.set("DEL", 2.5)
    >>> cf.set("UCV", 5)
    >>> print(cf.text, end="")
    UCV 5.0
    N2 4 W 2.0 % band
    DEL 2.5
    TRIADS
    A1G T1U T1U
    ENDTRIADS
    >>> cf.get("DEL")
    2.5
    """

    def __init__(self, text: str):
        self._bodies: list[str] = []
        self._ends: list[str] = []
        pos = 0
        for m in _LINE_END.finditer(text):
            self._bodies.append(text[pos:m.start()])
            self._ends.append(m.group())
            pos = m.end()
        if pos < len(text):
            self._bodies.append(text[pos:])
            self._ends.append("")
        self._eol = next((e for e in self._ends if e), "\n")
        self._reparse()

    @classmethod
    def read(cls, path: str | Path) -> CommandFile:
        # latin-1 keeps every byte as it is: one byte is one column, as for the engine.
        return cls(Path(path).read_bytes().decode("latin-1"))

    def write(self, path: str | Path) -> None:
        Path(path).write_bytes(self.text.encode("latin-1"))

    @property
    def text(self) -> str:
        return "".join(b + e for b, e in zip(self._bodies, self._ends))

    @property
    def blocks(self) -> list[Block]:
        return self._blocks

    def _reparse(self) -> None:
        self._lines = [tokenize_line(b, i) for i, b in enumerate(self._bodies)]
        self._blocks = parse(self._lines)

    # -- reading values ------------------------------------------------------------------

    def get(self, name: str) -> float | None:
        """The value the chosen block gives the parameter (its last occurrence), or None."""
        target = parse_name(name)
        words = self._value_words(target, self._block(target))
        if not words:
            return None
        word = words[-1].word
        if target.integer:
            return float(_as_int(word))
        value = fortran_real(word)
        if value is None:
            raise ParameterError(f"{name}: {word!r} is not a number the engine reads")
        return float(np.float32(value))

    def value_words(self, name: str) -> list[Token]:
        """The words holding the parameter's value (file order), where `set` rewrites it once
        no shared command needs splitting; an edit that keeps every other word in place may
        rewrite them itself."""
        target = parse_name(name)
        return self._value_words(target, self._block(target))

    def _block(self, target: Target) -> Block:
        if target.block > len(self._blocks):
            raise ParameterError(f"{target.name}: the command file has "
                                 f"{len(self._blocks)} band-calculation block(s)")
        return self._blocks[target.block - 1]

    def _auger(self, target: Target, block: Block) -> AugerBlock:
        if not block.augers:
            raise ParameterError(f"{target.name}: block {block.number} has no AUGER block")
        return block.augers[0]

    def _value_words(self, target: Target, block: Block) -> list[Token]:
        """The words holding the parameter's value in the block, in file order."""
        if target.auger:
            aug = self._auger(target, block)
            cmds = [c for c in aug.commands if c.keyword == target.keyword]
            if target.keyword in AUGER_CHANNEL:
                cmds = [c for c in cmds if c.channel == target.index[0]]
            return [c.args[0] for c in cmds if c.args]
        if target.keyword in ("XHAM", "XMIX", "XTRAN"):
            out = []
            for cmd, _ in self._entry_commands(target, block):
                factors = cmd.factors()
                if target.factor > len(factors):
                    raise ParameterError(
                        f"{target.name}: the {cmd.keyword} command on line {cmd.token.line + 1}"
                        f" gives this entry {len(factors)} factor(s)")
                out.append(factors[target.factor - 1])
            return out
        i = target.index[0] - 1 if target.keyword == "NCONF" else 0
        return [c.args[i] for c in block.find(target.keyword) if len(c.args) > i]

    def _entry_commands(self, target: Target, block: Block) -> list[tuple[Command, int]]:
        """(command, number of entries it lists) for every command naming the entry."""
        out = []
        for cmd in block.commands:
            kw = cmd.keyword
            if kw == "TRAN" and target.keyword == "XTRAN":
                if any(pos == target.index for pos, _ in cmd.entries()):
                    raise ParameterError(
                        f"{target.name}: line {cmd.token.line + 1} switches this transition "
                        f"on with TRAN, which has no factor; write it as XTRAN 1 1.0 1 "
                        f"{' '.join(map(str, target.index))} to give it one")
            elif kw == target.keyword:
                entries = cmd.entries()
                if any(pos == target.index for pos, _ in entries):
                    out.append((cmd, len(entries)))
        return out

    # -- editing -------------------------------------------------------------------------

    def set(self, name: str, value: float) -> None:
        """Set one parameter (see the module's description of the names)."""
        target = parse_name(name)
        text = format_value(value, target.integer)
        block = self._block(target)
        if target.keyword in ("XHAM", "XMIX", "XTRAN") and not target.auger:
            self._set_entry(target, block, text)
            return
        if not target.auger and target.keyword[:2] in ("EG", "EF"):
            for d in block.find("DEF"):
                defined = "".join(w.word for w in d.args).split("=")[0]
                if defined == target.keyword:
                    raise ParameterError(
                        f"{target.name}: block {block.number} defines it by the DEF line "
                        f"{d.token.line + 1} ({self._bodies[d.token.line].strip()!r}); set "
                        f"DEL, UCV or UVV instead, or edit that line")
        words = self._value_words(target, block)
        if words:
            for w in reversed(words):  # right to left: earlier columns stay valid
                self._replace(w, text)
        else:
            self._add(target, block, text)
        self._reparse()

    def update(self, params: Mapping[str, float]) -> None:
        """Set several parameters: all of them, or (on a ParameterError) none."""
        seen: dict[tuple, str] = {}
        for name in params:
            t = parse_name(name)
            key = (t.block, t.keyword, t.auger, t.index, t.factor)
            if key in seen:
                raise ParameterError(f"{seen[key]!r} and {name!r} name the same parameter; "
                                     "give it once")
            seen[key] = name
        saved = list(self._bodies), list(self._ends)
        try:
            for name, value in params.items():
                self.set(name, value)
        except ParameterError:
            self._bodies, self._ends = saved
            self._reparse()
            raise

    def _add(self, target: Target, block: Block, text: str) -> None:
        if target.keyword == "NCONF":
            raise ParameterError(f"{target.name}: block {block.number} has no NCONF command "
                                 "to change")
        if not target.auger:
            first = block.first_token()
            if first is None:
                raise ParameterError(f"{target.name}: block {block.number} is empty")
            self._insert_before(first, f"{target.keyword} {text}")
            return
        aug = self._auger(target, block)
        if target.keyword in AUGER_CHANNEL:
            if aug.end is None:
                raise ParameterError(f"{target.name}: the AUGER block has no ENDAUGER")
            self._insert_before(aug.end, f"NO {target.index[0]} {target.keyword} {text}")
        else:
            anchor = aug.commands[0].token if aug.commands else aug.end
            if anchor is None:
                raise ParameterError(f"{target.name}: the AUGER block has no ENDAUGER")
            self._insert_before(anchor, f"{target.keyword} {text}")

    def _nconf(self, block: Block) -> tuple[int, int] | None:
        """The numbers of ground and excited configurations in force in `block` (NCONF
        carries over from earlier blocks), or None where no NCONF says it."""
        for b in reversed(self._blocks[:block.number]):
            cmds = [c for c in b.find("NCONF") if len(c.args) == 2]
            if cmds:
                return cmds[-1].int_arg(0), cmds[-1].int_arg(1)
        return None

    def _check_configurations(self, target: Target, block: Block) -> None:
        """Refuse an entry naming a configuration the block does not have: the engine would
        store it and never use it, and the run would change nothing."""
        nconf = self._nconf(block)
        if nconf is None:
            return
        if target.keyword == "XTRAN":
            sides = ((0, target.index[0]), (1, target.index[1]))
        else:
            side = target.index[0]
            if side not in (1, 2):
                raise ParameterError(f"{target.name}: the side is 1 (ground) or 2 (excited)")
            sides = tuple((side - 1, c) for c in target.index[1:])
        for side, c in sides:
            if not 1 <= c <= nconf[side]:
                raise ParameterError(
                    f"{target.name}: block {block.number} has {nconf[side]} "
                    f"{('ground', 'excited')[side]} configuration(s) (NCONF {nconf[0]} "
                    f"{nconf[1]}); configuration {c} does not exist there")

    def _set_entry(self, target: Target, block: Block, text: str) -> None:
        self._check_configurations(target, block)
        found = self._entry_commands(target, block)
        if not found:
            if target.factor != 1:
                raise ParameterError(
                    f"{target.name}: block {block.number} has no {target.keyword} entry "
                    f"{list(target.index)}; only its first factor can be added")
            anchor = block.triads_token or block.first_token()
            assert anchor is not None
            pos = " ".join(map(str, target.index))
            self._insert_before(anchor, f"{target.keyword} 1 {text} 1 {pos}")
            self._reparse()
            return
        self._value_words(target, block)  # checks the factor number of every command
        for cmd, count in found:
            declared = cmd.int_arg(0 if cmd.keyword == "TRAN" else 1 + cmd.int_arg(0))
            if declared != count or any(not re.fullmatch(r"[+-]?\d+", w.word)
                                        for _, ws in cmd.entries() for w in ws):
                raise ParameterError(
                    f"{target.name}: the {cmd.keyword} command on line {cmd.token.line + 1} "
                    f"announces {declared} entries but lists {count} readable ones; fix that "
                    "command first")
        # Split shared commands first, last one first so earlier lines keep their numbers.
        for cmd, count in reversed(found):
            if count > 1:
                self._split_entry(cmd, target.index)
        self._reparse()
        for w in reversed(self._value_words(target, self._block(target))):
            self._replace(w, text)
        self._reparse()

    def _split_entry(self, cmd: Command, position: tuple[int, ...]) -> None:
        """Move one entry of a command listing several onto a command of its own."""
        entries = cmd.entries()
        count_word = cmd.args[0 if cmd.keyword == "TRAN" else 1 + cmd.int_arg(0)]
        own = " ".join([cmd.token.text, cmd.args[0].text] + [w.text for w in cmd.factors()])
        own += " 1 " + " ".join(map(str, position))
        last_line = max(t.line for t in [cmd.token] + cmd.args)
        indent = re.match(r" *", self._bodies[cmd.token.line]).group()
        gone = [w for pos, words in entries if pos == position for w in words]
        kept = len(entries) - sum(1 for pos, _ in entries if pos == position)
        self._insert_line(last_line + 1, indent + own)
        if self._ends[last_line] == "":
            self._ends[last_line] = self._eol
        for w in sorted(gone, key=lambda t: (t.line, t.start), reverse=True):
            self._delete(w)
        self._replace(count_word, str(kept))

    def _put(self, index: int, new: str, expected: list[str]) -> None:
        """Set line `index` to `new`, which must show the engine exactly the words `expected`.

        The engine reads only the first LINE_WIDTH columns: an edit that pushed a word past
        them (or pulled ignored text into view) would change what the engine reads without
        a word of warning, so it is refused.
        """
        seen = [t.text for t in tokenize_line(new, index)]
        if seen != expected:
            raise ParameterError(
                f"line {index + 1} of the command file would grow beyond the {LINE_WIDTH} "
                f"columns the engine reads ({len(new.rstrip())} columns): shorten that line "
                "(comments, spacing) or put its words on two lines")
        self._bodies[index] = new
        self._lines[index] = tokenize_line(new, index)

    def _words(self, index: int) -> list[str]:
        return [t.text for t in self._lines[index]] if index < len(self._lines) else []

    def _replace(self, tok: Token, text: str) -> None:
        body = self._bodies[tok.line]
        words = self._words(tok.line)
        at = [(t.start, t.end) for t in self._lines[tok.line]].index((tok.start, tok.end))
        self._put(tok.line, body[:tok.start] + text + body[tok.end:],
                  words[:at] + [text] + words[at + 1:])

    def _delete(self, tok: Token) -> None:
        body = self._bodies[tok.line]
        end = tok.end
        while end < len(body) and body[end] == " ":
            end += 1
        start = tok.start
        if end == len(body):  # last word of the line: take the blanks before it instead
            while start > 0 and body[start - 1] == " ":
                start -= 1
        words = self._words(tok.line)
        at = [(t.start, t.end) for t in self._lines[tok.line]].index((tok.start, tok.end))
        self._put(tok.line, body[:start] + body[end:], words[:at] + words[at + 1:])

    def _insert_before(self, tok: Token, text: str) -> None:
        body = self._bodies[tok.line]
        if not body[:tok.start].strip():
            self._insert_line(tok.line, body[:tok.start] + text)
        else:
            words = self._words(tok.line)
            at = [(t.start, t.end) for t in self._lines[tok.line]].index((tok.start, tok.end))
            self._put(tok.line, body[:tok.start] + text + " " + body[tok.start:],
                      words[:at] + text.split() + words[at:])

    def _insert_line(self, index: int, body: str) -> None:
        """Insert a new line before line `index` (the token lists follow the lines)."""
        if len(body.rstrip()) > LINE_WIDTH:
            raise ParameterError(
                f"the new command-file line {body.strip()!r} would be {len(body.rstrip())} "
                f"columns long; the engine reads {LINE_WIDTH}")
        self._bodies.insert(index, body)
        self._ends.insert(index, self._eol)
        self._lines.insert(index, tokenize_line(body, index))


def edit_command_file(text: str, params: Mapping[str, float]) -> str:
    """Return the command-file text with the parameters set (see :class:`CommandFile`)."""
    cf = CommandFile(text)
    cf.update(params)
    return cf.text


class ValueTemplate:
    """A command file edited again and again in the same parameters (a fit's evaluations).

    `base` has every one of `names` set already, so any shared command is split and each
    value has its own words; their places are found once. :meth:`text` then rewrites only
    those words, line by line, and gives the text that ``CommandFile.update`` would: a value
    whose word would not fit the columns the engine reads goes the general way, which refuses
    it with its reason.
    """

    def __init__(self, base: CommandFile, names: list[str]):
        self._base = base
        self._bodies = list(base._bodies)
        self._ends = list(base._ends)
        self._slots: dict[str, tuple[bool, list[Token]]] = {}
        for name in names:
            self._slots[name] = (parse_name(name).integer, base.value_words(name))

    @property
    def names(self) -> set[str]:
        return set(self._slots)

    def text(self, params: Mapping[str, float]) -> str:
        """The command file with `params` (exactly the template's names) set."""
        if set(params) != set(self._slots):
            raise ParameterError(f"the template edits {sorted(self._slots)}, not "
                                 f"{sorted(params)}")
        edits: dict[int, list[tuple[Token, str]]] = {}
        for name, value in params.items():
            integer, words = self._slots[name]
            word = format_value(value, integer)
            for tok in words:
                edits.setdefault(tok.line, []).append((tok, word))
        bodies = list(self._bodies)
        for line, changes in edits.items():
            body = bodies[line]
            expected = [t.text for t in tokenize_line(body, line)]
            starts = [t.start for t in tokenize_line(body, line)]
            for tok, word in sorted(changes, key=lambda c: -c[0].start):
                body = body[:tok.start] + word + body[tok.end:]
                expected[starts.index(tok.start)] = word
            if [t.text for t in tokenize_line(body, line)] != expected:
                cf = CommandFile(self._base.text)
                cf.update(params)  # refuses the edit with its reason
                return cf.text
            bodies[line] = body
        return "".join(b + e for b, e in zip(bodies, self._ends))

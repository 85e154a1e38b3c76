"""Captures: what one session with a device sent and received, kept as a versioned JSON lines file.

A capture is written while the session runs (``tessel.connect(..., record=PATH)``,
see :mod:`tessel.eal.recorder`) and read back by :func:`read_capture`, for
``tessel replay`` and for whoever studies a device's behaviour. Each line is one
JSON object whose ``type`` says what it holds:

* ``capture`` (the first line): the format version, the platform, where the
  session went, the secret fields, and what the platform says of errors and
  paging;
* ``start``: the login and what the device printed up to its first prompt;
* ``exchange``: one for each command or state change, in order;
* ``end`` (the last line, once the connection closed): the final state.

The received text is kept exactly as the device sent it: line ends, escape
sequences, pager prompts and the echo. A byte that is not part of valid UTF-8 is
kept as the code point U+DC00 plus the byte (U+DC80 to U+DCFF, Python's
``surrogateescape``, written ``\\udc80`` ... ``\\udcff`` in the JSON text), so
``text.encode("utf-8", "surrogateescape")`` gives back the bytes. Secrets are
never written: each is replaced by ``{field}``, the name of its field. The
README section "The capture format" lists every key.

This module needs nothing but the standard library and :mod:`tessel.eal.output`,
so that ``tessel replay`` runs where only tessel's sources are.
"""
import json
import re
from dataclasses import dataclass, field
from typing import IO, Any, Dict, Iterator, List, Mapping, Optional, Tuple

from tessel.core.errors import CaptureError

__all__ = ["FORMAT", "Capture", "CaptureError", "End", "Exchange", "Start", "Step", "dump",
           "file_name", "finished", "placeholder", "read_capture", "without_line_end"]

#: The version of the format written here; :func:`read_capture` reads this one only.
FORMAT = 1

#: Record types, the value of each line's ``type``.
HEADER, START, EXCHANGE, END = "capture", "start", "exchange", "end"

#: A line end at the end of a text sent.
LINE_END = re.compile(r"(?:\r\n|\r|\n)\Z")


def placeholder(name: str) -> str:
    """What stands for the value of the secret field ``name`` in a capture."""
    return "{%s}" % name


def file_name(name: str) -> str:
    """The file name of the capture of a host or a test named ``name``: the name, each
    character a file name should not hold replaced by '_', and ``.jsonl``."""
    safe = "".join(c if c.isalnum() or c in "-_." else "_" for c in name)
    return ("_" + safe[1:] if safe.startswith(".") else safe) + ".jsonl"


def without_line_end(text: str) -> str:
    """``text`` without the one line end that ends it, if any."""
    return LINE_END.sub("", text)


@dataclass
class Step:
    """One thing sent and what the device printed after it, until the next thing sent.

    ``sent`` is None for output that came unasked (the start). ``times`` holds,
    for each read, the seconds from the send to the read and where the read ends
    in ``received``. ``question``: for a step after an exchange's first, the last
    line the device showed before it (the question answered, cleaned of escape
    sequences); ``pager`` tells that it was the platform's pager prompt.
    """

    sent: Optional[str]
    received: str
    times: List[Tuple[float, int]] = field(default_factory=list)
    question: Optional[str] = None
    pager: bool = False

    @property
    def raw(self) -> bytes:
        """``received`` as the bytes the device sent."""
        return self.received.encode("utf-8", "surrogateescape")

    def to_json(self) -> Dict[str, Any]:
        record: Dict[str, Any] = {"sent": self.sent, "received": self.received,
                                  "times": [[t, end] for t, end in self.times]}
        if self.question is not None:
            record.update(question=self.question, pager=self.pager)
        return record

    @classmethod
    def from_json(cls, data: Any, where: str) -> "Step":
        if not isinstance(data, dict):
            raise CaptureError("%s: a step is an object, not %s" % (where, type(data).__name__))
        sent, received = data.get("sent"), data.get("received", "")
        if not isinstance(received, str) or not (sent is None or isinstance(sent, str)):
            raise CaptureError("%s: a step's sent and received are texts" % where)
        times = []
        for item in data.get("times") or ():
            if (not isinstance(item, list) or len(item) != 2
                    or not all(isinstance(x, (int, float)) for x in item)):
                raise CaptureError("%s: times are [seconds, offset] pairs" % where)
            times.append((float(item[0]), int(item[1])))
        question = data.get("question")
        return cls(sent, received, times, question if isinstance(question, str) else None,
                   bool(data.get("pager")))


def _steps(data: Any, where: str) -> List[Step]:
    if not isinstance(data, list):
        raise CaptureError("%s: steps are a list" % where)
    return [Step.from_json(item, "%s, step %d" % (where, number))
            for number, item in enumerate(data, 1)]


@dataclass
class Start:
    """The session's start: ``login``, the steps with the client and the login program up to
    the answer to the last login question (its output then is the device's, in ``steps``);
    ``steps``, what the device printed from then on up to the first exchange (the first
    step's ``sent`` is None), with ``prompt`` its last line, the first prompt."""

    login: List[Step]
    steps: List[Step]
    prompt: str
    state: Optional[str]
    hostname: Optional[str]
    first_byte: Optional[float] = None
    end: Optional[float] = None
    closed: bool = False


@dataclass
class Exchange:
    """One command or state change: what was sent in ``state`` at ``prompt``, and the answers.

    ``steps[0].sent`` is the command; later steps answer questions (the
    ``answered`` ones) or pager prompts. ``state_after`` and ``prompt_after``
    are those the exchange ended at; ``first_byte`` and ``end`` the seconds from
    the command to the first and to the last byte received; ``failure`` the
    first line of the output that one of the platform's failure patterns
    matches; ``closed`` tells that the device ended the session after it.
    """

    number: int
    state: Optional[str]
    prompt: str
    steps: List[Step]
    state_after: Optional[str]
    prompt_after: str
    hostname: Optional[str] = None
    answered: List[str] = field(default_factory=list)
    first_byte: Optional[float] = None
    end: Optional[float] = None
    failure: Optional[str] = None
    closed: bool = False

    @property
    def command(self) -> str:
        """The command, without its line end."""
        return without_line_end(self.steps[0].sent or "") if self.steps else ""


@dataclass
class End:
    """How the connection ended: its state, hostname and the time it closed."""

    state: Optional[str]
    hostname: Optional[str]
    finished: str
    exchanges: int


@dataclass
class Capture:
    """A capture as read: the header's fields, the start, the exchanges and the end (None for
    a session that did not close: the process ended first)."""

    platform: str
    transport: str
    started: str
    host: Optional[str] = None
    command: Optional[str] = None
    secrets: List[str] = field(default_factory=list)
    linesep: str = "\n"
    error_sample: Optional[str] = None
    pager: Optional[Tuple[str, str]] = None
    failure: List[str] = field(default_factory=list)
    tessel: str = ""
    start: Optional[Start] = None
    exchanges: List[Exchange] = field(default_factory=list)
    end: Optional[End] = None
    path: str = ""

    @property
    def hostname(self) -> Optional[str]:
        """The device's hostname, as last seen."""
        for hostname in ([self.end.hostname] if self.end else []) + [
                e.hostname for e in reversed(self.exchanges)] + (
                [self.start.hostname] if self.start else []):
            if hostname:
                return hostname
        return None


def header(platform: str, transport: str, started: str, **fields: Any) -> Dict[str, Any]:
    """The first line of a capture (see :class:`Capture` for the fields)."""
    from tessel import __version__

    record = {"type": HEADER, "format": FORMAT, "tessel": __version__, "platform": platform,
              "transport": transport, "started": started}
    record.update(fields)
    return record


def dump(record: Mapping[str, Any]) -> str:
    """One line of a capture: ASCII JSON, so that escaped bytes and any text survive."""
    return json.dumps(record, ensure_ascii=True) + "\n"


def _records(handle: IO[str], path: str) -> Iterator[Tuple[int, Dict[str, Any]]]:
    """The records of a capture, with their line numbers; a last line cut short (the writer
    stopped in the middle of it) is dropped."""
    for number, line in enumerate(handle, 1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except ValueError as err:
            if not line.endswith("\n"):
                return
            raise CaptureError("%s:%d: not a JSON line: %s" % (path, number, err)) from None
        if not isinstance(record, dict) or not isinstance(record.get("type"), str):
            raise CaptureError("%s:%d: a record is a JSON object with a type" % (path, number))
        yield number, record


def _text(record: Mapping[str, Any], key: str, where: str,
          default: Optional[str] = None) -> Optional[str]:
    value = record.get(key, default)
    if value is not None and not isinstance(value, str):
        raise CaptureError("%s: %s is a text, not %s" % (where, key, type(value).__name__))
    return value


def _seconds(record: Mapping[str, Any], key: str) -> Optional[float]:
    value = record.get(key)
    return float(value) if isinstance(value, (int, float)) else None


def finished(path: str) -> bool:
    """Whether the capture at ``path`` ends with its ``end`` record (its session closed and
    every record was written), read from the file's end only."""
    try:
        with open(path, "rb") as handle:
            handle.seek(0, 2)
            handle.seek(max(handle.tell() - 65536, 0))
            lines = handle.read(65536).rstrip(b"\n").rsplit(b"\n", 1)
        record = json.loads(lines[-1])
    except (OSError, ValueError):
        return False
    return isinstance(record, dict) and record.get("type") == END


def read_capture(path: str) -> Capture:
    """Reads a capture; a CaptureError says what is wrong with it (with the line number)."""
    try:
        with open(path, encoding="utf-8", errors="surrogateescape") as handle:
            return _read(handle, path)
    except OSError as err:
        raise CaptureError("cannot read the capture %s: %s" % (path, err.strerror or err)) \
            from None


def _read(handle: IO[str], path: str) -> Capture:
    records = _records(handle, path)
    first = next(records, None)
    if first is None or first[1].get("type") != HEADER:
        raise CaptureError("%s is not a tessel capture: its first line is no capture header"
                           % path)
    number, head = first
    where = "%s:%d" % (path, number)
    if head.get("format") != FORMAT:
        raise CaptureError("%s: format %r; this tessel reads format %d"
                           % (where, head.get("format"), FORMAT))
    pager = head.get("pager")
    capture = Capture(
        platform=_text(head, "platform", where) or "", transport=_text(head, "transport", where)
        or "", started=_text(head, "started", where) or "", host=_text(head, "host", where),
        command=_text(head, "command", where), secrets=[str(s) for s in head.get("secrets") or ()],
        linesep=_text(head, "linesep", where, "\n") or "\n",
        error_sample=_text(head, "error_sample", where),
        pager=(str(pager["expect"]), str(pager.get("send", " ")))
        if isinstance(pager, dict) and "expect" in pager else None,
        failure=[str(p) for p in head.get("failure") or ()], tessel=str(head.get("tessel", "")),
        path=path)
    if not capture.platform:
        raise CaptureError("%s: the header names no platform" % where)
    for number, record in records:
        where = "%s:%d" % (path, number)
        kind = record["type"]
        if kind == START:
            capture.start = Start(
                _steps(record.get("login", []), where), _steps(record.get("steps", []), where),
                _text(record, "prompt", where, "") or "", _text(record, "state", where),
                _text(record, "hostname", where), _seconds(record, "first_byte"),
                _seconds(record, "end"), bool(record.get("closed")))
        elif kind == EXCHANGE:
            steps = _steps(record.get("steps", []), where)
            if not steps or steps[0].sent is None:
                raise CaptureError("%s: an exchange starts with something sent" % where)
            capture.exchanges.append(Exchange(
                int(record.get("number", len(capture.exchanges) + 1)),
                _text(record, "state", where), _text(record, "prompt", where, "") or "", steps,
                _text(record, "state_after", where),
                _text(record, "prompt_after", where, "") or "", _text(record, "hostname", where),
                [str(a) for a in record.get("answered") or ()], _seconds(record, "first_byte"),
                _seconds(record, "end"), _text(record, "failure", where),
                bool(record.get("closed"))))
        elif kind == END:
            capture.end = End(_text(record, "state", where), _text(record, "hostname", where),
                              _text(record, "finished", where, "") or "",
                              int(record.get("exchanges", len(capture.exchanges))))
        # Other types are left to newer readers of the same format.
    return capture

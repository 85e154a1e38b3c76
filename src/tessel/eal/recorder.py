"""Recording a session into a capture (the format: :mod:`tessel.capture`).

A :class:`Recorder` wraps the child that a :class:`~tessel.eal.spawn.Spawn`
reads and writes (``Spawn(child=recorder.child(factory))``), so every send and
every read passes through it. The child under it decodes with
``surrogateescape``: the recorder keeps each byte as the device sent it, and the
spawn gets the text it always gets (a byte that is not UTF-8 as U+FFFD).

An exchange begins with each send made at a prompt the engines have
recognised: the last line received is the prompt text that the session's notes
(:class:`~tessel.eal.spawn.SessionNotes`) hold for a state. Everything sent
before the first one belongs to the start; in it, the sends that carry the
username or the password are the login, and what follows the last of them is
the device's. A record is written once it is complete (an exchange when the
next begins), with its secrets replaced by placeholders over its whole text, so
a secret split across reads is found as well as a whole one.
"""
import datetime
import logging
import re
import time
from dataclasses import dataclass, field
from typing import IO, Any, Dict, List, Mapping, Optional, Sequence, Tuple

import pexpect

from tessel import capture as fmt
from tessel.eal.output import clean_output, collapse_repeated_prompt, failure_line, last_line
from tessel.eal.spawn import ChildFactory, SessionNotes, notes_of, secret_pattern
from tessel.utils import is_secret_key

log = logging.getLogger(__name__)

#: A byte that is not UTF-8, as a ``surrogateescape`` decoder gives it.
ESCAPED_BYTE = re.compile("[\udc80-\udcff]")
#: A code point that UTF-8 cannot encode: sent as "?", as a child that is not recording does.
SURROGATE = re.compile("[\ud800-\udfff]")
#: How much of the last line received the recorder keeps to tell a prompt.
TAIL_KEPT = 4096
#: What abandons a question or a command: a send that answers nothing.
INTERRUPT = "\x03"


def readable(text: str) -> str:
    """``text`` decoded as the spawn decodes without recording: bytes that are not UTF-8 as
    U+FFFD."""
    if ESCAPED_BYTE.search(text) is None:
        return text
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")


def utc_now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class Placeholders:
    """Replaces every secret by ``{field}``, the name of its field (the first field that holds
    a value names it); short secrets as the transcript's masking does."""

    def __init__(self, fields: Mapping[str, Any]) -> None:
        self.names: Dict[str, str] = {}
        for name, value in fields.items():
            if value:
                self.names.setdefault(str(value), name)
        self._pattern = secret_pattern(self.names)

    def mask(self, text: str) -> str:
        if self._pattern is None or not text:
            return text
        return self._pattern.sub(lambda found: fmt.placeholder(self.names[found.group()]), text)

    def mask_pieces(self, pieces: Sequence[str]) -> Tuple[str, List[int]]:
        """The masked join of ``pieces`` and where each piece ends in it; a piece that ends
        inside a secret ends after its placeholder."""
        raw = "".join(pieces)
        ends: List[int] = []
        total = 0
        for piece in pieces:
            total += len(piece)
            ends.append(total)
        if self._pattern is None:
            return raw, ends
        parts: List[str] = []
        moves: List[Tuple[int, int, int]] = []  # a secret's start, end, and its placeholder's end
        position = 0
        length = 0
        for found in self._pattern.finditer(raw):
            parts.append(raw[position:found.start()])
            length += found.start() - position
            name = fmt.placeholder(self.names[found.group()])
            parts.append(name)
            length += len(name)
            moves.append((found.start(), found.end(), length))
            position = found.end()
        parts.append(raw[position:])
        return "".join(parts), [_moved(end, moves) for end in ends]


def _moved(offset: int, moves: Sequence[Tuple[int, int, int]]) -> int:
    """Where ``offset`` of the clear text lies in the masked text."""
    shift = 0
    for start, end, placed in moves:
        if offset <= start:
            break
        if offset < end:
            return placed
        shift = placed - end
    return offset + shift


@dataclass
class _Step:
    sent: Optional[str]
    at: float
    reads: List[Tuple[float, str]] = field(default_factory=list)


@dataclass
class _Exchange:
    number: int
    state: Optional[str]
    prompt: str
    steps: List[_Step] = field(default_factory=list)
    closed: bool = False


class Recorder:
    """Writes the capture of one session to ``path`` while it runs.

    ``secrets`` maps every secret field to its value (replaced by ``{field}``);
    ``login`` holds the texts that answer login questions (the username and the
    password); ``pager`` is the pager prompt and its answer; ``failure`` the
    platform's failure patterns. The other arguments are written in the header.
    A capture that cannot be written stops being written: ``error`` says why.
    """

    def __init__(self, path: str, *, platform: str, transport: str, host: Optional[str] = None,
                 command: Optional[str] = None, secrets: Optional[Mapping[str, Any]] = None,
                 login: Sequence[Optional[str]] = (), linesep: str = "\n",
                 error_sample: Optional[str] = None, pager: Optional[Tuple[str, str]] = None,
                 failure: Sequence[str] = ()) -> None:
        self.path = path
        self.error: Optional[OSError] = None
        self._placeholders = Placeholders(secrets or {})
        self._login = {text for text in login if text}
        self._pager = _compiled(pager[0]) if pager else None
        self._failures = [p for p in (_compiled(text, re.MULTILINE) for text in failure) if p]
        self._notes: Optional[SessionNotes] = None
        self._machine: Any = None
        self._opened = time.monotonic()
        self._start: List[_Step] = []
        self._login_steps = 0
        self._start_closed = False
        self._exchange: Optional[_Exchange] = None
        self._count = 0
        self._tail = ""
        self._closed = False
        self._file: Optional[IO[str]] = open(path, "w", encoding="ascii")
        self._write(fmt.header(
            platform, transport, utc_now(), host=host,
            command=self._placeholders.mask(command) if command else None,
            secrets=sorted(set(self._placeholders.names.values())), linesep=linesep,
            error_sample=error_sample,
            pager={"expect": pager[0], "send": pager[1]} if pager else None,
            failure=list(failure)))

    @classmethod
    def for_connection(cls, path: str, platform: Any, machine: Any, *, transport: str,
                       host: Optional[str], command: Optional[str], username: Optional[str],
                       password: Optional[str], secrets: Optional[Mapping[str, Any]],
                       context: Optional[Mapping[str, Any]]) -> "Recorder":
        """The recorder of a session that ``tessel.connect`` opens with ``machine``."""
        from tessel.platforms import base as declared

        fields: Dict[str, Any] = {"password": password}
        fields.update(secrets or {})
        fields.update({key: value for key, value in (context or {}).items()
                       if is_secret_key(key) and isinstance(value, str)})
        if not isinstance(platform, str):
            platform = "%s:%s" % (platform.__module__, platform.__qualname__)
        pager = declared.pager(machine)
        definition = getattr(type(machine), "definition", None)
        return cls(path, platform=platform, transport=transport, host=host, command=command,
                   secrets=fields, login=[username, password],
                   linesep="\r" if transport == "telnet" else "\n",
                   error_sample=getattr(definition, "error_sample", None),
                   pager=(pager.expect, pager.send) if pager is not None else None,
                   failure=declared.failure_patterns(machine))

    def child(self, factory: Optional[ChildFactory]) -> ChildFactory:
        """The factory of a child that records, made from ``factory`` (default: a pty)."""
        from tessel.eal.ptyspawn import PtySpawn

        inner = factory or PtySpawn

        def make(*args: Any, **kwargs: Any) -> RecordingChild:
            kwargs["codec_errors"] = "surrogateescape"
            return RecordingChild(inner(*args, **kwargs), self)

        return make

    def attach(self, spawn: Any, machine: Any) -> None:
        """The session's spawn (its notes tell the prompts) and machine (its hostname)."""
        self._notes = notes_of(spawn)
        self._machine = machine

    # -- what the child tells --------------------------------------------------------------

    def sent(self, text: str) -> None:
        if self._closed:
            return
        now = time.monotonic()
        state, prompt = self._prompt()
        if state is not None:
            self._finish()
            self._count += 1
            self._exchange = _Exchange(self._count, state, prompt)
        elif self._exchange is None and fmt.without_line_end(text) in self._login:
            self._login_steps = len(self._start) + 1
        self._steps().append(_Step(text, now))

    def received(self, data: str) -> None:
        if self._closed or not data:
            return
        steps = self._steps()
        if not steps:
            steps.append(_Step(None, self._opened))
        steps[-1].reads.append((time.monotonic(), data))
        tail = self._tail + data
        self._tail = tail[tail.rfind("\n") + 1:][-TAIL_KEPT:]

    def ended(self) -> None:
        """The device ended the session."""
        if self._exchange is not None:
            self._exchange.closed = True
        else:
            self._start_closed = True

    def close(self) -> None:
        """Writes what is pending and the end record, and closes the file."""
        if self._closed:
            return
        try:
            self._finish()
            self._write({"type": fmt.END, "finished": utc_now(), "state": self._prompt_state(),
                         "hostname": self._hostname(), "exchanges": self._count})
        finally:
            self._closed = True
            if self._file is not None:
                try:
                    self._file.close()
                except OSError as err:
                    self._failed(err)
                self._file = None

    # -- records ------------------------------------------------------------------------------

    def _steps(self) -> List[_Step]:
        return self._exchange.steps if self._exchange is not None else self._start

    def _prompt_state(self) -> Optional[str]:
        """The state whose prompt the device shows last, or None."""
        return self._prompt()[0]

    def _prompt(self) -> Tuple[Optional[str], str]:
        """The state whose prompt the device shows last (None when the last line is none) and
        that prompt's text: the last line received, or the known prompt at its end (after
        output that lacked its line end, or the login's question)."""
        line = last_line(self._tail)
        if self._notes is None or not self._notes.prompts or not line.strip():
            return None, line
        known = self._notes.prompts
        for candidate in (line, collapse_repeated_prompt(line)):
            for name, text in known.items():
                if text == candidate:
                    return name, text
        ending = [(len(text), name, text) for name, text in known.items()
                  if text.strip() and line.endswith(text)]
        if ending:
            _, name, text = max(ending)
            return name, text
        return None, line

    def _hostname(self) -> Optional[str]:
        hostname = getattr(self._machine, "hostname", None)
        return None if hostname is None else str(hostname)

    def _finish(self) -> None:
        """Writes the start, or the exchange in progress."""
        exchange = self._exchange
        if exchange is not None:
            self._write_exchange(exchange)
        elif self._count == 0:
            self._write_start()

    def _write_start(self) -> None:
        login = self._start[:self._login_steps]
        device = self._start[self._login_steps:]
        if login:
            # What follows the last login answer is the device's.
            last = login[-1]
            device.insert(0, _Step(None, last.at, last.reads))
            login[-1] = _Step(last.sent, last.at)
        login_steps, _, _, _ = self._render(login)
        steps, _, first, end = self._render(device)
        state, prompt = self._prompt()
        self._write({"type": fmt.START, "login": login_steps, "steps": steps,
                     "prompt": self._placeholders.mask(prompt), "state": state,
                     "hostname": self._hostname(),
                     "first_byte": first, "end": end, "closed": self._start_closed})

    def _write_exchange(self, exchange: _Exchange) -> None:
        steps, text, first, end = self._render(exchange.steps)
        answered = [str(step["question"]).strip() for step in steps[1:]
                    if not step["pager"] and step["sent"] != INTERRUPT]
        command = fmt.without_line_end(str(steps[0]["sent"]))
        state, prompt = self._prompt()
        self._write({"type": fmt.EXCHANGE, "number": exchange.number, "state": exchange.state,
                     "prompt": self._placeholders.mask(exchange.prompt), "steps": steps,
                     "state_after": state, "prompt_after": self._placeholders.mask(prompt),
                     "hostname": self._hostname(), "answered": answered, "first_byte": first,
                     "end": end, "failure": self._failure(text, command),
                     "closed": exchange.closed})

    def _render(self, steps: Sequence[_Step]) -> Tuple[List[Dict[str, Any]], str,
                                                         Optional[float], Optional[float]]:
        """The steps' records, their received text joined (masked), and the seconds from the
        first send to the first and to the last read."""
        masked, ends = self._placeholders.mask_pieces(
            [data for step in steps for _, data in step.reads])
        records: List[Dict[str, Any]] = []
        first: Optional[float] = None
        last: Optional[float] = None
        index = 0
        begin = 0
        for number, step in enumerate(steps):
            stop = begin
            times = []
            for at, _ in step.reads:
                stop = ends[index]
                index += 1
                times.append([round(at - step.at, 6), stop - begin])
                first = at - steps[0].at if first is None else first
                last = at - steps[0].at
            record: Dict[str, Any] = {
                "sent": None if step.sent is None else self._placeholders.mask(step.sent),
                "received": masked[begin:stop], "times": times}
            if number > 0:
                question = last_line(masked[:begin])
                record["question"] = question
                record["pager"] = bool(self._pager is not None and question.strip()
                                       and self._pager.search(question))
            records.append(record)
            begin = stop
        return (records, masked, None if first is None else round(first, 6),
                None if last is None else round(last, 6))

    def _failure(self, text: str, command: str) -> Optional[str]:
        """The first line of the output (without its echo and prompt) that a failure pattern
        matches."""
        if not self._failures:
            return None
        lines = clean_output(text).split("\n")[:-1]  # the last line is the prompt
        if lines and command.strip() and lines[0].strip().endswith(command.strip()):
            lines = lines[1:]
        return failure_line(self._failures, "\n".join(lines))

    def _write(self, record: Mapping[str, Any]) -> None:
        if self._file is None or self.error is not None:
            return
        try:
            self._file.write(fmt.dump(record))
            self._file.flush()
        except OSError as err:
            self._failed(err)

    def _failed(self, err: OSError) -> None:
        if self.error is None:
            self.error = err
            log.error("the capture %s cannot be written: %s; recording stopped", self.path,
                      err.strerror or err)


def _compiled(pattern: str, flags: int = 0) -> Optional["re.Pattern[str]"]:
    try:
        return re.compile(pattern, flags)
    except re.error:
        return None


class RecordingChild:
    """A session's child that tells its :class:`Recorder` everything sent and received.

    It stands for the child under it (every other attribute is that child's),
    and writes the session log itself: the child under it decodes with
    ``surrogateescape``, and the log gets the text as usual.
    """

    _OWN = frozenset({"_inner", "_recorder", "logfile_read"})

    def __init__(self, inner: Any, recorder: Recorder) -> None:
        object.__setattr__(self, "_inner", inner)
        object.__setattr__(self, "_recorder", recorder)
        object.__setattr__(self, "logfile_read", None)
        inner.logfile_read = None

    def __getattr__(self, name: str) -> Any:
        return getattr(self._inner, name)

    def __setattr__(self, name: str, value: Any) -> None:
        if name in self._OWN:
            object.__setattr__(self, name, value)
        else:
            setattr(self._inner, name, value)

    def read_nonblocking(self, size: int = 1, timeout: Optional[float] = -1) -> str:
        try:
            data: str = self._inner.read_nonblocking(size, timeout)
        except pexpect.EOF:
            self._recorder.ended()
            raise
        self._recorder.received(data)
        text = readable(data)
        if text and self.logfile_read is not None:
            self.logfile_read.write(text)
            self.logfile_read.flush()
        return text

    def send(self, text: str) -> int:
        text = SURROGATE.sub("?", text)
        self._recorder.sent(text)
        written: int = self._inner.send(text)
        return written

    def close(self, force: bool = True) -> None:
        try:
            self._inner.close(force)
        finally:
            self._recorder.close()

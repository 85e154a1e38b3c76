"""The device handle: one command-line session over a pseudo-terminal.

``Spawn`` starts a command (ssh, telnet, a local program) on a pty through
pexpect (started by ``posix_spawn``, safe from any thread: see
:mod:`tessel.eal.ptyspawn`) and offers the few operations the connection
layer needs: send text, wait for one of several patterns, and report what
was consumed.

Waiting reuses pexpect's reading (``read_nonblocking``, which also feeds the
session log) and its searcher (``searcher_re``: the match that starts first
wins, on a tie the pattern listed first) and its rule for long output: after
each read, only the last ``search_window`` characters are searched, so a
large ``show`` output costs time linear in its size however it is chunked,
and whatever a device prints before it waits for an answer (a prompt, a
question) is searched in full. The output
received since the last match is kept as a list of chunks and joined once, at
the match: pexpect's own ``Expecter`` copies the whole text three times
there, which for a long output costs more than reading it. What ``Spawn``
adds is masking of secrets (also when one arrives split across reads), an
idle timeout that restarts while output keeps arriving, and patterns that
look at the last line only (:class:`LastLineSearch`: a prompt is what a
device prints last, when it waits for input).
"""
import logging
import re
import shlex
import time
from typing import (
    IO,
    Any,
    Callable,
    Dict,
    Iterable,
    List,
    Mapping,
    Optional,
    Sequence,
    Set,
    Tuple,
    Union,
)

import pexpect
from pexpect.expect import searcher_re

from tessel.core.errors import ExpectTimeoutError, SessionClosedError, SpawnError
from tessel.eal.output import collapse_repeated_prompt, last_line
from tessel.eal.ptyspawn import PtySpawn
from tessel.utils import is_secret_key

log = logging.getLogger(__name__)

PatternLike = Union[str, "re.Pattern[str]", "LastLineSearch"]
Patterns = Union[PatternLike, Sequence[PatternLike]]

MASK = "********"

#: How much a single read may return.
READ_SIZE = 65536

#: Makes a session's child, called as ``PtySpawn`` is: ``child(argv[0], argv[1:], timeout=,
#: encoding=, codec_errors=, maxread=, env=, cwd=, dimensions=)``. What it returns is all a
#: Spawn reads and writes: pexpect's ``read_nonblocking(size, timeout)`` (raising TIMEOUT and
#: EOF, and writing to ``logfile_read``), ``send``, ``close(force=)``, ``isalive()``,
#: ``closed``, ``pid``, ``exitstatus``, ``signalstatus``, ``delaybeforesend``,
#: ``delayafterread`` and ``ptyproc.delayafterclose``/``delayafterterminate``.
ChildFactory = Callable[..., Any]


class LastLineMatch:
    """A match of :class:`LastLineSearch`: the last line of the searched text.

    ``start()``/``end()`` and ``group(0)`` cover the raw last line as the
    device printed it (escape sequences included); ``found`` is the match of
    pattern number ``index`` on the cleaned ``line``, and ``groupdict()`` its
    named groups. ``repeated`` tells that the line held one prompt several
    times over (``R1>R1>``) and was read as one.
    """

    def __init__(self, index: int, found: "re.Match[str]", line: str, raw: str, start: int,
                 repeated: bool) -> None:
        self.index = index
        self.found = found
        self.line = line
        self.raw = raw
        self._start = start
        self.repeated = repeated

    def start(self) -> int:
        return self._start

    def end(self) -> int:
        return self._start + len(self.raw)

    def group(self, index: int = 0) -> Optional[str]:
        return self.raw if index == 0 else self.found.group(index)

    def groupdict(self) -> Dict[str, Optional[str]]:
        return self.found.groupdict()


class LastLineSearch:
    """Patterns that must match the last line of the output, tried in order.

    A device prints its prompt (or a pager prompt) last, when it waits for
    input: a line that merely looks like one is followed by more output. The
    last line is the text after the last line break, cleaned of escape
    sequences; an empty line never matches. With ``collapse``, a line that
    repeats one text several times (``R1>R1>``: a line sent before the device
    printed its first prompt) is read as that text once. Each pattern is
    searched with ``search``, so ``^`` and ``$`` stand for the ends of the line.
    """

    def __init__(self, patterns: Sequence["re.Pattern[str]"], collapse: bool = False) -> None:
        self.patterns = list(patterns)
        self.collapse = collapse
        self.pattern = " | ".join(p.pattern for p in self.patterns)

    def search(self, text: str, pos: int = 0) -> Optional[LastLineMatch]:
        start = max(text.rfind("\n", pos) + 1, pos)
        if start == len(text):
            return None
        raw = text[start:]
        line = last_line(raw)
        if not line.strip():
            return None
        repeated = False
        if self.collapse:
            single = collapse_repeated_prompt(line)
            repeated = single is not line
            line = single
        for index, pattern in enumerate(self.patterns):
            found = pattern.search(line)
            if found is not None:
                return LastLineMatch(index, found, line, raw, start, repeated)
        return None

    def __repr__(self) -> str:
        return "LastLineSearch(%r)" % self.pattern


class Match:
    """The outcome of one successful :meth:`Spawn.expect`.

    ``index`` is the position of the pattern that matched in the list given to
    ``expect``; ``re_match`` the regular-expression match (its positions refer
    to the searched tail, not to the whole output; a :class:`LastLineMatch`
    for a :class:`LastLineSearch`); ``match_output`` the text consumed by this
    match: everything from the end of the previous match up to the end of this one.
    """

    def __init__(self, index: int, pattern: Any, re_match: Any, match_output: str) -> None:
        self.index = index
        self.pattern = pattern
        self.re_match = re_match
        self.match_output = match_output

    @property
    def text(self) -> str:
        """The text that the pattern matched."""
        return str(self.re_match.group(0))

    @property
    def before(self) -> str:
        """The consumed output that came before the matched text."""
        return self.match_output[:len(self.match_output) - len(self.text)]

    def groupdict(self) -> Dict[str, Optional[str]]:
        groups: Dict[str, Optional[str]] = self.re_match.groupdict()
        return groups

    def __repr__(self) -> str:
        return "Match(index=%d, pattern=%r, text=%r)" % (self.index, self.pattern.pattern,
                                                         self.text)


#: Compiled patterns by their text: platforms and dialogs give the same texts over and over.
_COMPILED: Dict[str, "re.Pattern[str]"] = {}
_COMPILED_LIMIT = 4096


def compiled(pattern: str) -> "re.Pattern[str]":
    """``re.compile(pattern)``, cached by the pattern's text."""
    found = _COMPILED.get(pattern)
    if found is None:
        if len(_COMPILED) >= _COMPILED_LIMIT:
            _COMPILED.clear()
        found = _COMPILED[pattern] = re.compile(pattern)
    return found


def compile_patterns(patterns: Patterns) -> List[Any]:
    """Compiles one pattern or a list of them.

    A pattern is a text, a compiled regular expression, or any object that
    searches like one (``search(text, pos)`` returning a match with
    ``start()``, ``end()`` and ``group(0)``), such as a :class:`LastLineSearch`.
    """
    items: Sequence[Any] = [patterns] if isinstance(patterns, str) or \
        hasattr(patterns, "search") else patterns
    result: List[Any] = []
    for pattern in items:
        if isinstance(pattern, str):
            result.append(compiled(pattern))
        elif hasattr(pattern, "search"):
            result.append(pattern)
        else:
            raise TypeError("a pattern must be a str or a compiled regular expression, not %s"
                            % type(pattern).__name__)
    return result


#: Secrets shorter than this are masked only where they stand as a whole word.
SHORT_SECRET = 4


class SecretMasker:
    """Replaces every occurrence of some texts (secrets) by asterisks.

    A secret of 4 characters or more is masked wherever it appears. A
    shorter one ("a", "lab") is masked only where it stands as a whole word:
    neither preceded nor followed by a letter, a digit or an underscore
    (``-p lab`` and ``lab,`` are masked, ``label`` is not). Masked inside
    words, a one-letter secret would leave no text readable.
    """

    def __init__(self, secrets: Iterable[str]) -> None:
        #: Longest first, so that a secret inside another is covered by the longer one.
        self.secrets = sorted({s for s in secrets if s}, key=len, reverse=True)
        self._pattern = re.compile("|".join(
            re.escape(s) if len(s) >= SHORT_SECRET else r"(?<!\w)%s(?!\w)" % re.escape(s)
            for s in self.secrets)) if self.secrets else None

    def mask(self, text: str, start: int = 0, end: Optional[int] = None) -> str:
        """``text[start:end]`` with every secret masked.

        The text around the slice is context: it decides whether a short
        secret at either end of the slice stands as a whole word.
        """
        if self._pattern is None or not text:
            return text[start:end]
        if start == 0 and end is None:
            return self._pattern.sub(MASK, text)
        stop = len(text) if end is None else end
        parts = []
        position = start
        for found in self._pattern.finditer(text, start):
            if found.start() >= stop:
                break
            parts += [text[position:found.start()], MASK]
            position = found.end()
        parts.append(text[position:stop])
        return "".join(parts)

    def safe_end(self, text: str) -> int:
        """Where the part of ``text`` that may be a secret still arriving begins.

        ``text[:safe_end(text)]`` can be masked and shown now: its end is not the
        start of a secret (nor a whole short secret, which the next character
        may join to a longer word), and no secret runs across it.
        """
        cut = len(text)
        for secret in self.secrets:
            longest = len(secret) if len(secret) < SHORT_SECRET else len(secret) - 1
            for size in range(min(longest, len(text)), 0, -1):
                if text.endswith(secret[:size]):
                    cut = min(cut, len(text) - size)
                    break
        if self._pattern is not None and cut < len(text):
            moved = True
            while moved:
                moved = False
                for found in self._pattern.finditer(text, max(cut - len(self.secrets[0]), 0)):
                    if found.start() < cut < found.end():
                        cut, moved = found.start(), True
                        break
        return cut


class MaskedLog:
    """The session transcript: what the device prints, with secrets masked.

    A read may end in the middle of a secret (a device that echoes a
    password, a slow link); the text that could be the start of one is held
    back until more output shows what it is, or until a match consumes it.
    The last character written is kept as context for the next write.
    """

    def __init__(self, out: IO[str], masker: Callable[[], SecretMasker]) -> None:
        self._out = out
        self._masker = masker
        self._held = ""
        self._before = ""

    def write(self, data: str) -> None:
        masker = self._masker()
        text = self._before + self._held + data
        written = len(self._before)
        cut = max(masker.safe_end(text), written)
        self._held = text[cut:]
        if cut > written:
            self._out.write(masker.mask(text, written, cut))
            self._before = text[cut - 1]

    def flush(self) -> None:
        self._out.flush()

    def release(self) -> None:
        """Writes what was held back: a match consumed it, so no secret continues it."""
        if self._held:
            self._out.write(self._masker().mask(self._before + self._held, len(self._before)))
            self._before = self._held[-1]
            self._held = ""
            self._out.flush()

    def close(self) -> None:
        """Ends the transcript; an unfinished secret is written as a mask."""
        if self._held:
            masker = self._masker()
            text = self._before + self._held
            self._out.write(MASK if masker.safe_end(text) < len(text)
                            else masker.mask(text, len(self._before)))
            self._held = ""
            self._out.flush()


class Spawn:
    """A session with a device over a pty.

    ``command`` is an argv list, or a string run by ``/bin/sh -c``.
    ``timeout`` is the default wait of :meth:`expect` in seconds (and of the
    state changes and commands run on this handle, unless they are given one).
    ``logfile`` (a path or a writable text file) receives a transcript of
    everything the device prints. ``secrets`` are texts masked by value in
    the transcript, in ``last_sent``, in error messages and in debug logging;
    so are values of ``context`` keys that look like secrets (password,
    secret, ...) and anything given to :meth:`add_secret`. ``child`` makes the
    session's child (see :data:`ChildFactory`; default: the command on a new pty).
    """

    linesep = "\n"

    def __init__(self, command: Union[str, Sequence[str]], timeout: float = 10,
                 logfile: Union[None, str, IO[str]] = None,
                 context: Optional[Mapping[str, Any]] = None, search_window: int = 8192,
                 env: Optional[Mapping[str, str]] = None, cwd: Optional[str] = None,
                 dimensions: Tuple[int, int] = (24, 200), encoding: str = "utf-8",
                 secrets: Iterable[Any] = (), child: Optional[ChildFactory] = None) -> None:
        if isinstance(command, str):
            argv = ["/bin/sh", "-c", command]
            self.command_text = command
        else:
            argv = [str(part) for part in command]
            if not argv:
                raise SpawnError("cannot start an empty command")
            self.command_text = " ".join(shlex.quote(part) for part in argv)
        self.timeout = timeout
        self.search_window = search_window
        self.context = context
        self._secrets: Set[str] = {str(value) for value in secrets if value}
        self._masker = SecretMasker(())
        self._masker_key: frozenset[str] = frozenset()
        self.last_sent: Optional[str] = None
        self.match: Optional[Match] = None
        #: Output received since the last match, as read.
        self._chunks: List[str] = []
        self._sent_since_match = False
        self._logfile: Optional[IO[str]] = None
        self._owns_logfile = False
        self._log: Optional[MaskedLog] = None
        if isinstance(logfile, str):
            self._logfile = open(logfile, "w", encoding="utf-8")
            self._owns_logfile = True
        elif logfile is not None:
            self._logfile = logfile
        try:
            self._child = (child or PtySpawn)(argv[0], argv[1:], timeout=timeout,
                                              encoding=encoding, codec_errors="replace",
                                              maxread=READ_SIZE,
                                              env=dict(env) if env is not None else None,
                                              cwd=cwd, dimensions=dimensions)
        except (pexpect.ExceptionPexpect, OSError) as err:
            self._close_logfile()
            raise SpawnError("cannot start %s: %s" % (self.mask(self.command_text),
                                                      self.mask(str(err)))) \
                from err
        except BaseException:
            self._close_logfile()  # a child that cannot connect says why in its own error
            raise
        # pexpect pauses before every send, after every read and after closing;
        # a session needs none of it.
        self._child.delaybeforesend = None
        self._child.delayafterread = None
        ptyproc = self._child.ptyproc  # type: ignore[union-attr]
        ptyproc.delayafterclose = 0.02
        ptyproc.delayafterterminate = 0.02
        if self._logfile is not None:
            self._log = MaskedLog(self._logfile, self.masker)
            self._child.logfile_read = self._log
        log.debug("started %s (pid %s)", self.mask(self.command_text), self._child.pid)

    # -- secrets -----------------------------------------------------------------

    def add_secret(self, value: Any) -> None:
        """Masks ``value`` from now on in the session log and in log messages."""
        if value:
            self._secrets.add(str(value))

    def secrets(self) -> List[str]:
        """The texts that are masked, longest first (so a secret inside another is covered)."""
        return list(self.masker().secrets)

    def masker(self) -> SecretMasker:
        """The masker for the secrets known now (rebuilt only when they change)."""
        found = set(self._secrets)
        if self.context:
            for key, value in self.context.items():
                if value and is_secret_key(key):
                    found.add(str(value))
        if found != self._masker_key:
            self._masker_key = frozenset(found)
            self._masker = SecretMasker(found)
        return self._masker

    def mask(self, text: str) -> str:
        """``text`` with every known secret replaced by asterisks."""
        return self.masker().mask(text)

    # -- sending -------------------------------------------------------------------

    def send(self, text: str) -> int:
        """Writes ``text`` to the device as it is; returns the number of bytes written."""
        self._check_open()
        written: int = self._child.send(text)
        self.last_sent = self.mask(text)
        self._sent_since_match = True
        log.debug("sent %r", self.last_sent)
        return written

    def sendline(self, text: str = "") -> int:
        """Writes ``text`` followed by a line end."""
        return self.send(text + self.linesep)

    @property
    def sent_since_match(self) -> bool:
        """True when something was sent after the last match, so a reply may be on its way."""
        return self._sent_since_match

    # -- receiving -----------------------------------------------------------------

    def _unconsumed(self) -> str:
        if len(self._chunks) > 1:
            self._chunks = ["".join(self._chunks)]
        return self._chunks[0] if self._chunks else ""

    @property
    def buffer(self) -> str:
        """Output received but not consumed by a match yet (secrets masked)."""
        return self.mask(self._unconsumed())

    def expect(self, patterns: Patterns, timeout: Optional[float] = None, *,
               idle: bool = False) -> Match:
        """Waits until one of ``patterns`` appears in the output and consumes up to its end.

        The match that starts first wins; on a tie the pattern listed first.
        ``timeout`` (default: the handle's) bounds the whole wait, or with
        ``idle=True`` the silence: the wait starts afresh whenever output
        arrives. Raises ``ExpectTimeoutError`` when it runs out and
        ``SessionClosedError`` when the device ends the session; both carry
        the output received (secrets masked).
        """
        compiled_patterns = compile_patterns(patterns)
        if not compiled_patterns:
            raise ValueError("expect() needs at least one pattern")
        searcher = searcher_re(compiled_patterns)
        wait = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        window = self._unconsumed()
        offset = 0  # where window[0] lies in the unconsumed output
        index = searcher.search(window, len(window))
        while index < 0:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ExpectTimeoutError(compiled_patterns, wait, self.mask(self._unconsumed()))
            data = self._read(compiled_patterns, remaining)
            if data is None:
                continue
            if idle:
                deadline = time.monotonic() + wait
            self._chunks.append(data)
            size = len(window) + len(data)
            if self.search_window and size > self.search_window:
                cut = size - self.search_window
                window = (window[cut:] + data) if cut < len(window) else data[cut - len(window):]
                offset += cut
            else:
                window += data
            index = searcher.search(window, len(data))
        return self._matched(index, compiled_patterns[index], searcher.match,
                             offset + searcher.end)

    def poll(self, wait: float = 0.0) -> bool:
        """Waits up to ``wait`` seconds for more output; True when some arrived.

        What arrives is kept for the next :meth:`expect`.
        """
        if self._child.closed:
            return False
        try:
            data: str = self._child.read_nonblocking(READ_SIZE, timeout=wait)
        except (pexpect.TIMEOUT, pexpect.EOF):
            return False
        self._chunks.append(data)
        return bool(data)

    def _read(self, patterns: Sequence[Any], wait: float) -> Optional[str]:
        """Reads the next chunk of output, or returns None when ``wait`` ran out first."""
        self._check_open()
        try:
            data: str = self._child.read_nonblocking(READ_SIZE, timeout=wait)
        except pexpect.TIMEOUT:
            return None
        except pexpect.EOF:
            self._child.close()
            raise SessionClosedError(patterns, self.mask(self._unconsumed()),
                                     self._child.exitstatus) from None
        return data

    def _matched(self, index: int, pattern: Any, re_match: Any, end: int) -> Match:
        pending = self._unconsumed()
        if end < len(pending):
            self._chunks = [pending[end:]]
            pending = pending[:end]
        else:
            self._chunks = []
            if self._log is not None:
                self._log.release()
        self.match = Match(index, pattern, re_match, pending)
        self._sent_since_match = False
        if log.isEnabledFor(logging.DEBUG):
            log.debug("matched %r", self.mask(self.match.text))
        return self.match

    def drain(self) -> str:
        """Reads whatever output has already arrived and discards it with the buffer.

        Used before a command is sent, so that a stale prompt left in the
        buffer cannot be taken for the command's answer. Returns the discarded text.
        """
        while not self._child.closed:
            try:
                self._chunks.append(self._child.read_nonblocking(READ_SIZE, timeout=0))
            except (pexpect.TIMEOUT, pexpect.EOF):
                break
        discarded = self._unconsumed()
        self._chunks = []
        if self._log is not None:
            self._log.release()
        if discarded:
            log.debug("discarded %r", self.mask(discarded))
        return discarded

    # -- lifetime --------------------------------------------------------------------

    @property
    def pid(self) -> Optional[int]:
        pid: Optional[int] = self._child.pid
        return pid

    @property
    def exit_status(self) -> Optional[int]:
        status: Optional[int] = self._child.exitstatus
        return status

    def isalive(self) -> bool:
        return not self._child.closed and bool(self._child.isalive())

    def _check_open(self) -> None:
        if self._child.closed:
            raise SpawnError("the session with %s is closed" % self.mask(self.command_text),
                             self.mask(self._unconsumed()))

    def close(self) -> None:
        """Ends the session: closes the pty and terminates the command if it still runs."""
        if not self._child.closed:
            self._child.close(force=True)
            log.debug("closed %s (exit status %s, signal %s)", self.mask(self.command_text),
                      self._child.exitstatus, self._child.signalstatus)
        self._close_logfile()

    def _close_logfile(self) -> None:
        if self._log is not None:
            self._log.close()
            self._log = None
            self._child.logfile_read = None
        if self._logfile is not None and self._owns_logfile:
            self._logfile.close()
        self._logfile = None

    def __enter__(self) -> "Spawn":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "Spawn(%r)" % self.mask(self.command_text)

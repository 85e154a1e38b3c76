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

Prompt patterns are compiled by :func:`prompt_compiled`: with ``re2`` (the
``google-re2`` package, linear time, so a pattern such as ``^(a+)+>$`` cannot
freeze the process) when it accepts the pattern, with ``re`` otherwise; no
prompt pattern is searched on a last line longer than
:data:`MAX_PROMPT_LENGTH`. Under ``re2``, ``\\d``, ``\\w``, ``\\s`` and
``\\b`` are ASCII classes (``\\s`` without the vertical tab) and ``$`` is the
end of the line; the named groups that learn a hostname work alike.

A handle also carries :class:`SessionNotes`, what the transition engines
remember about the session between operations (whether it is in doubt, the
text sent since the last prompt, the prompt texts seen).
"""
import logging
import operator
import re
import shlex
import time
from dataclasses import dataclass, field
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

from tessel.core.errors import (
    ExpectTimeoutError,
    OutputLimitError,
    SessionClosedError,
    SpawnError,
)
from tessel.eal.output import collapse_repeated_prompt, last_line
from tessel.eal.patterns import any_of, compiled as compiled, prompt_compiled as prompt_compiled
from tessel.eal.ptyspawn import PtySpawn
from tessel.utils import is_secret_key

log = logging.getLogger(__name__)

PatternLike = Union[str, "re.Pattern[str]", "LastLineSearch"]
Patterns = Union[PatternLike, Sequence[PatternLike]]

MASK = "********"

#: How much a single read may return.
READ_SIZE = 65536
#: How much of the output an error raised by :meth:`Spawn.expect` for too much output keeps.
KEPT_TAIL = 4000

#: The longest last line that prompt patterns are searched on: a longer line is output (a
#: pattern compiled by ``re`` could backtrack for ages on it, and searching it after every
#: read would cost time for nothing). A known prompt text at its end still counts.
MAX_PROMPT_LENGTH = 512

#: How much of the text sent since the last prompt :class:`SessionNotes` keeps.
SENT_KEPT = 4096

#: The kinds of :class:`LastLineMatch`: a state's prompt; a prompt that names a new
#: hostname which the lines sent since the last prompt gave (a rename); a line that only the
#: hostname-learning patterns match (an unknown prompt); a known prompt text at the end of
#: output that lacks its final line break.
PROMPT, RENAMED, UNKNOWN, SUFFIX = "prompt", "renamed", "unknown", "suffix"


@dataclass
class SessionNotes:
    """What the transition engines remember about one session between operations.

    ``doubt``: why the session is in doubt (an operation failed or timed out, so
    the device may still be busy, asking a question or printing), None while
    the last prompt seen is what the device shows. ``sent``: the text sent
    since the last prompt was confirmed (secrets masked; the last
    :data:`SENT_KEPT` characters). ``prompts``: by state name, the prompt
    text last seen for that state. ``echoes``: whether the device echoed the
    last command (None before the first). ``may_ask``: whether a line end may
    be sent now to confirm the first prompt (set during a login, which alone
    knows whether a login question may still come; None: it may not).
    """

    doubt: Optional[str] = None
    sent: str = field(default="", repr=False)
    prompts: Dict[str, str] = field(default_factory=dict)
    echoes: Optional[bool] = None
    may_ask: Optional[Callable[[], bool]] = field(default=None, repr=False)

    def record_sent(self, text: str) -> None:
        self.sent = (self.sent + text)[-SENT_KEPT:]


def notes_of(spawn: Any) -> SessionNotes:
    """The :class:`SessionNotes` of a handle (one is attached to a handle that has none)."""
    notes = getattr(spawn, "notes", None)
    if not isinstance(notes, SessionNotes):
        notes = SessionNotes()
        try:
            spawn.notes = notes
        except AttributeError:
            pass
    return notes

#: Makes a session's child, called as ``PtySpawn`` is: ``child(argv[0], argv[1:], timeout=,
#: encoding=, codec_errors=, maxread=, env=, cwd=, dimensions=)``. What it returns is all a
#: Spawn reads and writes: pexpect's ``read_nonblocking(size, timeout)`` (raising TIMEOUT and
#: EOF, and writing to ``logfile_read``), ``send``, ``close(force=)``, ``isalive()``,
#: ``closed``, ``pid``, ``exitstatus``, ``signalstatus``, ``delaybeforesend``,
#: ``delayafterread`` and ``ptyproc.delayafterclose``/``delayafterterminate``; optionally
#: ``waiting()``, True when a read would return at once (output waits, or the session ended),
#: which spares the looks that must not wait a read that finds nothing.
ChildFactory = Callable[..., Any]


#: A :class:`LastLineMatch` whose hostname is not worked out yet.
_UNKNOWN_HOSTNAME = object()


class LastLineMatch:
    """A match of :class:`LastLineSearch`: the last line of the searched text.

    ``start()``/``end()`` and ``group(0)`` cover the raw prompt as the device
    printed it (escape sequences included): the whole last line, or for a
    ``SUFFIX`` match its end after the output. ``found`` is the match of
    pattern number ``index`` on the cleaned ``line``, and ``groupdict()``
    its named groups. ``repeated`` tells that the line held one prompt
    several times over (``R1>R1>``) and was read as one. ``kind`` is one of
    ``PROMPT``, ``RENAMED``, ``UNKNOWN`` and ``SUFFIX``; ``line_raw`` is the
    whole raw last line and ``line_start`` where it starts; ``hostname`` what
    a hostname-learning group of ``found`` captured (:func:`hostname_of`).
    """

    __slots__ = ("index", "found", "line", "raw", "_start", "repeated", "kind", "line_raw",
                 "line_start", "_hostname")

    def __init__(self, index: int, found: Any, line: str, raw: str, start: int,
                 repeated: bool, kind: str = PROMPT, line_raw: Optional[str] = None,
                 line_start: Optional[int] = None, hostname: Any = _UNKNOWN_HOSTNAME) -> None:
        self.index = index
        self.found = found
        self.line = line
        self.raw = raw
        self._start = start
        self.repeated = repeated
        self.kind = kind
        self.line_raw = raw if line_raw is None else line_raw
        self.line_start = start if line_start is None else line_start
        self._hostname = hostname

    @property
    def hostname(self) -> Optional[str]:
        """What a hostname-learning group of ``found`` captured, or None."""
        if self._hostname is _UNKNOWN_HOSTNAME:
            self._hostname = hostname_of(self.found)
        value: Optional[str] = self._hostname
        return value

    def start(self) -> int:
        return self._start

    def end(self) -> int:
        return self._start + len(self.raw)

    def group(self, index: int = 0) -> Optional[str]:
        if index == 0:
            return self.raw
        value: Optional[str] = self.found.group(index)
        return value

    def groupdict(self) -> Dict[str, Optional[str]]:
        groups: Dict[str, Optional[str]] = self.found.groupdict()
        return groups


def hostname_of(found: Any) -> Optional[str]:
    """The text that a hostname-learning group (``hostname00``, ...) of a match captured."""
    groups = found.groupdict()
    for key in sorted(groups):
        value = groups[key]
        if key.startswith("hostname") and value:
            return str(value)
    return None


#: What :meth:`LastLineSearch._first` finds: the pattern's index, its match, whether the line
#: held the prompt repeated, and the hostname the match captured.
Hit = Tuple[int, Any, bool, Optional[str]]

#: How many last lines a :class:`LastLineSearch` remembers its answer for.
MEMO_LIMIT = 256


class LastLineSearch:
    """Patterns that must match the last line of the output, tried in order.

    A device prints its prompt (or a pager prompt) last, when it waits for
    input: a line that merely looks like one is followed by more output. The
    last line is the text after the last line break, cleaned of escape
    sequences; an empty line never matches. Each pattern is searched with
    ``search``, so ``^`` and ``$`` stand for the ends of the line.

    The line as it is comes first. With ``collapse``, a line that repeats one
    text several times (``R1>R1>``: a line sent before the device printed its
    first prompt) is read as that text once, but only when the line as it is
    matches no pattern, or when a hostname-learning group swallowed the
    repetition (``R1>R1`` is no hostname); so ``>>> `` and ``##`` stay what
    they are.

    ``learning``: the same states' patterns with hostname-learning groups, for
    a machine whose hostname is known (``patterns`` then hold it literally). A
    line that only they match is a rename when ``renamed(hostname)`` says the
    lines sent since the last prompt named that hostname, and an ``UNKNOWN``
    prompt otherwise. ``known``: by pattern index, the prompt text last seen
    for that state; a line that ends with one of them after other text (output
    without its final line break, ``abcadmin@web1:~$``) is that prompt after
    the output (``SUFFIX``), even when a pattern would take the whole line
    (``[\\w.-]+@`` takes ``abcadmin@``), unless it is a rename or the prompt
    repeated. Patterns compiled by ``re`` are not searched on lines longer
    than ``max_length``.
    """

    def __init__(self, patterns: Sequence[Any], collapse: bool = False, *,
                 learning: Optional[Sequence[Any]] = None,
                 renamed: Optional[Callable[[str], bool]] = None,
                 known: Optional[Dict[int, str]] = None, learns: bool = False,
                 max_length: int = MAX_PROMPT_LENGTH) -> None:
        self.patterns = list(patterns)
        self.collapse = collapse
        self.learning = list(learning) if learning else None
        self.renamed = renamed
        self.known = known
        self.learns = learns
        self.max_length = max_length
        self.pattern = " | ".join(p.pattern for p in self.patterns)
        self._any = any_of(self.patterns)
        self._any_learning = any_of(self.learning) if self.learning else None
        self._memo: Dict[Tuple[str, bool], Optional[Hit]] = {}

    def search(self, text: str, pos: int = 0) -> Optional[LastLineMatch]:
        start = max(text.rfind("\n", pos) + 1, pos)
        if start == len(text):
            return None
        raw = text[start:]
        line = last_line(raw)
        if not line.strip():
            return None
        after_output = self._after_output(line, raw, start) if self.known else None
        if after_output is not None:
            return self._rename(line, raw, start) or after_output
        hit = self._first(line, False)
        if hit is not None:
            index, found, repeated, hostname = hit
            return LastLineMatch(index, found, line, raw, start, repeated, hostname=hostname)
        return self._rename(line, raw, start, unknown=True)

    def _rename(self, line: str, raw: str, start: int,
                unknown: bool = False) -> Optional[LastLineMatch]:
        """The match of the learning patterns: a rename with evidence, else (with
        ``unknown``) an unknown prompt."""
        learned = self._first(line, True) if self.learning else None
        if learned is None:
            return None
        index, found, repeated, name = learned
        if name and self.renamed is not None and self.renamed(name):
            return LastLineMatch(index, found, line, raw, start, repeated, RENAMED, hostname=name)
        if unknown:
            return LastLineMatch(index, found, line, raw, start, repeated, UNKNOWN, hostname=name)
        return None

    def _first(self, line: str, learning: bool) -> Optional[Hit]:
        """The first pattern (of ``learning`` or of ``patterns``) matching the line as it is,
        or the repetition collapsed.

        Remembered by line: a session shows the same few prompts over and over, and the
        answer depends on the line alone.
        """
        if len(line) > self.max_length:
            return None
        key = (line, learning)
        memo = self._memo
        if key in memo:
            return memo[key]
        if learning:
            patterns, prefilter, learns = self.learning or [], self._any_learning, True
        else:
            patterns, prefilter, learns = self.patterns, self._any, self.learns
        hit = self._search_all(patterns, prefilter, line)
        hostname = None if hit is None else hostname_of(hit[1])
        result: Optional[Hit] = None if hit is None else (hit[0], hit[1], False, hostname)
        if self.collapse and (hit is None or (learns and hostname is not None)):
            single = collapse_repeated_prompt(line)
            if single is not line:
                again = self._search_all(patterns, prefilter, single)
                if again is not None:
                    result = again[0], again[1], True, hostname_of(again[1])
        if len(memo) >= MEMO_LIMIT:
            memo.clear()
        memo[key] = result
        return result

    @staticmethod
    def _search_all(patterns: Sequence[Any], prefilter: Any,
                    line: str) -> Optional[Tuple[int, Any]]:
        if prefilter is not None and prefilter.search(line) is None:
            return None
        for index, pattern in enumerate(patterns):
            found = pattern.search(line)
            if found is not None:
                return index, found
        return None

    def _after_output(self, line: str, raw: str, start: int) -> Optional[LastLineMatch]:
        """A known prompt text ending a longer line: the output before it lacked its line end."""
        best: Optional[Tuple[int, str]] = None
        for index, prompt in self.known.items() if self.known else ():
            if len(line) > len(prompt) and line.endswith(prompt) and (
                    best is None or len(prompt) > len(best[1])):
                best = index, prompt
        if best is None or best[0] >= len(self.patterns):
            return None
        index, prompt = best
        if len(line) <= self.max_length and collapse_repeated_prompt(line) == prompt.rstrip():
            return None  # the prompt repeated (R1>R1>), no output before it
        found = self.patterns[index].search(prompt)
        if found is None:
            return None
        # Where the prompt starts in the raw line: the shortest end that reads as it.
        for size in range(len(prompt), min(len(raw), len(prompt) + 256) + 1):
            if last_line(raw[-size:]) == prompt:
                cut = len(raw) - size
                return LastLineMatch(index, found, prompt, raw[cut:], start + cut, False, SUFFIX,
                                     raw, start)
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


def secret_pattern(secrets: Iterable[str]) -> Optional["re.Pattern[str]"]:
    """One pattern that finds every secret, the longest first (a secret inside another is
    covered by the longer one), one shorter than :data:`SHORT_SECRET` as a whole word only;
    None without secrets."""
    ordered = sorted({s for s in secrets if s}, key=len, reverse=True)
    if not ordered:
        return None
    return re.compile("|".join(
        re.escape(s) if len(s) >= SHORT_SECRET else r"(?<!\w)%s(?!\w)" % re.escape(s)
        for s in ordered))


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
        self._pattern = secret_pattern(self.secrets)

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
        #: What the engines remember about this session (see :class:`SessionNotes`).
        self.notes = SessionNotes()
        #: The text of the last read from the device (where read boundaries fell).
        self.last_read = ""
        #: Output received since the last match, as read.
        self._chunks: List[str] = []
        self._sent_since_match = False
        self._kept_searcher: Optional[Tuple[Tuple[Any, ...], List[Any], "searcher_re[str]"]] = None
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
        self._waiting: Optional[Callable[[], bool]] = getattr(self._child, "waiting", None)
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
        self.notes.record_sent(self.last_sent)
        self._sent_since_match = True
        log.debug("sent %r", self.last_sent)
        return written

    def sendline(self, text: str = "") -> int:
        """Writes ``text`` followed by a line end."""
        return self.send(text + self.linesep)

    @property
    def in_doubt(self) -> Optional[str]:
        """Why the session is in doubt (a failed or timed-out operation), or None.

        The next state change or command brings it back to a known prompt
        first, or refuses.
        """
        return self.notes.doubt

    @in_doubt.setter
    def in_doubt(self, reason: Optional[str]) -> None:
        self.notes.doubt = reason

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
               idle: bool = False, limit: Optional[int] = None) -> Match:
        """Waits until one of ``patterns`` appears in the output and consumes up to its end.

        The match that starts first wins; on a tie the pattern listed first.
        ``timeout`` (default: the handle's) bounds the whole wait, or with
        ``idle=True`` the silence: the wait starts afresh whenever output
        arrives. Raises ``ExpectTimeoutError`` when it runs out,
        ``SessionClosedError`` when the device ends the session, and
        ``OutputLimitError`` when more than ``limit`` characters are waiting
        unmatched; all carry the output received (secrets masked).
        """
        compiled_patterns, searcher = self._searcher(patterns)
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
            if limit is not None and offset + size > limit:
                raise OutputLimitError("more than %d characters arrived without a match for %s"
                                       % (limit, ", ".join(repr(getattr(p, "pattern", p))
                                                           for p in compiled_patterns)),
                                       self.mask(self._unconsumed()[-KEPT_TAIL:]))
            if self.search_window and size > self.search_window:
                cut = size - self.search_window
                window = (window[cut:] + data) if cut < len(window) else data[cut - len(window):]
                offset += cut
            else:
                window += data
            index = searcher.search(window, len(data))
        return self._matched(index, compiled_patterns[index], searcher.match,
                             offset + searcher.end)

    def _searcher(self, patterns: Patterns) -> Tuple[List[Any], "searcher_re[str]"]:
        """The patterns compiled, and pexpect's searcher over them: kept while the same pattern
        objects are asked for again (each command of a session waits for the same prompts)."""
        key: Optional[Tuple[Any, ...]] = None
        if isinstance(patterns, (list, tuple)):
            key = tuple(patterns)
        elif isinstance(patterns, str) or hasattr(patterns, "search"):
            key = (patterns,)
        kept = self._kept_searcher
        if key is not None and kept is not None and len(kept[0]) == len(key) and all(
                map(operator.is_, kept[0], key)):
            return kept[1], kept[2]
        compiled_patterns = compile_patterns(patterns)
        if not compiled_patterns:
            raise ValueError("expect() needs at least one pattern")
        searcher = searcher_re(compiled_patterns)
        if key is not None:
            self._kept_searcher = (key, compiled_patterns, searcher)
        return compiled_patterns, searcher

    def poll(self, wait: float = 0.0) -> bool:
        """Waits up to ``wait`` seconds for more output; True when some arrived.

        What arrives is kept for the next :meth:`expect`.
        """
        if self._child.closed or (wait == 0 and self._nothing_waiting()):
            return False
        try:
            data: str = self._child.read_nonblocking(READ_SIZE, timeout=wait)
        except (pexpect.TIMEOUT, pexpect.EOF):
            return False
        if data:
            self.last_read = data
        self._chunks.append(data)
        return bool(data)

    def _nothing_waiting(self) -> bool:
        """True when the child tells at once that no output is waiting, so that a look that
        must not wait needs no read (``waiting()``, which :class:`PtySpawn` has: a read that
        finds nothing costs an exception, and a look at the command's life)."""
        waiting = self._waiting
        return waiting is not None and not waiting()

    def unread(self, text: str) -> None:
        """Puts ``text`` back in front of the output not consumed yet.

        For the end of a match that turned out not to be what was awaited
        (a line that looked like a prompt, and output followed): the next
        :meth:`expect` reads it again with what came after it.
        """
        if text:
            self._chunks.insert(0, text)

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
        if data:
            self.last_read = data
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
        while not self._child.closed and not self._nothing_waiting():
            try:
                data = self._child.read_nonblocking(READ_SIZE, timeout=0)
            except (pexpect.TIMEOUT, pexpect.EOF):
                break
            if data:
                self.last_read = data
            self._chunks.append(data)
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

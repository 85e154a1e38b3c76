"""The device handle: one command-line session over a pseudo-terminal.

``Spawn`` starts a command (ssh, telnet, a local program) on a pty through
pexpect and offers the few operations the connection layer needs: send text,
wait for one of several patterns, and report what was consumed.

Matching looks only at the tail of long output: each chunk that arrives is
searched together with the last ``search_window`` characters before it, so a
large ``show`` output costs time linear in its size however it is chunked.
"""
import logging
import re
import shlex
import time
from typing import IO, Any, Dict, List, Mapping, Optional, Sequence, Set, Tuple, Union

import pexpect

from tessel.core.errors import ExpectTimeoutError, SessionClosedError, SpawnError
from tessel.utils import is_secret_key

log = logging.getLogger(__name__)

PatternLike = Union[str, "re.Pattern[str]"]
Patterns = Union[PatternLike, Sequence[PatternLike]]

MASK = "********"


class Match:
    """The outcome of one successful :meth:`Spawn.expect`.

    ``index`` is the position of the pattern that matched in the list given to
    ``expect``; ``re_match`` the regular-expression match (its positions refer
    to the searched tail, not to the whole output); ``match_output`` the text
    consumed by this match: everything from the end of the previous match up
    to the end of this one.
    """

    def __init__(self, index: int, pattern: "re.Pattern[str]", re_match: "re.Match[str]",
                 match_output: str) -> None:
        self.index = index
        self.pattern = pattern
        self.re_match = re_match
        self.match_output = match_output

    @property
    def text(self) -> str:
        """The text that the pattern matched."""
        return self.re_match.group(0)

    @property
    def before(self) -> str:
        """The consumed output that came before the matched text."""
        return self.match_output[:len(self.match_output) - len(self.text)]

    def groupdict(self) -> Dict[str, Optional[str]]:
        return self.re_match.groupdict()

    def __repr__(self) -> str:
        return "Match(index=%d, pattern=%r, text=%r)" % (self.index, self.pattern.pattern,
                                                         self.text)


def compile_patterns(patterns: Patterns) -> List["re.Pattern[str]"]:
    """Compiles one pattern or a list of them (text or already compiled)."""
    if isinstance(patterns, (str, re.Pattern)):
        patterns = [patterns]
    compiled = []
    for pattern in patterns:
        if isinstance(pattern, re.Pattern):
            compiled.append(pattern)
        elif isinstance(pattern, str):
            compiled.append(re.compile(pattern))
        else:
            raise TypeError("a pattern must be a str or a compiled regular expression, not %s"
                            % type(pattern).__name__)
    return compiled


def earliest_match(patterns: Sequence["re.Pattern[str]"], text: str
                   ) -> Optional[Tuple[int, "re.Match[str]"]]:
    """The match that starts first in ``text``; on a tie the pattern listed first wins."""
    best: Optional[Tuple[int, "re.Match[str]"]] = None
    for index, pattern in enumerate(patterns):
        found = pattern.search(text)
        if found is not None and (best is None or found.start() < best[1].start()):
            best = (index, found)
    return best


class Spawn:
    """A session with a device over a pty.

    ``command`` is an argv list, or a string run by ``/bin/sh -c``.
    ``timeout`` is the default wait of :meth:`expect` in seconds.
    ``logfile`` (a path or a writable text file) receives a transcript of
    everything the device prints, with secrets masked: values of ``context``
    keys that look like secrets (password, secret, ...) and anything given to
    :meth:`add_secret`.
    """

    linesep = "\n"

    def __init__(self, command: Union[str, Sequence[str]], timeout: float = 10,
                 logfile: Union[None, str, IO[str]] = None,
                 context: Optional[Mapping[str, Any]] = None, search_window: int = 8192,
                 env: Optional[Mapping[str, str]] = None, cwd: Optional[str] = None,
                 dimensions: Tuple[int, int] = (24, 200), encoding: str = "utf-8") -> None:
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
        self._secrets: Set[str] = set()
        self._pending: List[str] = []
        self.last_sent: Optional[str] = None
        self.match: Optional[Match] = None
        self._sent_since_match = False
        self._logfile: Optional[IO[str]] = None
        self._owns_logfile = False
        if isinstance(logfile, str):
            self._logfile = open(logfile, "w", encoding="utf-8")
            self._owns_logfile = True
        elif logfile is not None:
            self._logfile = logfile
        try:
            self._child = pexpect.spawn(argv[0], argv[1:], timeout=timeout, encoding=encoding,
                                        codec_errors="replace",
                                        env=dict(env) if env is not None else None,
                                        cwd=cwd, dimensions=dimensions)
        except (pexpect.ExceptionPexpect, OSError) as err:
            self._close_logfile()
            raise SpawnError("cannot start %s: %s" % (self.command_text, err)) from err
        # pexpect pauses before every send and after closing; a session needs neither.
        self._child.delaybeforesend = None
        self._child.ptyproc.delayafterclose = 0.02
        self._child.ptyproc.delayafterterminate = 0.02
        log.debug("started %s (pid %s)", self.command_text, self._child.pid)

    # -- secrets -----------------------------------------------------------------

    def add_secret(self, value: Any) -> None:
        """Masks ``value`` from now on in the session log and in log messages."""
        if value:
            self._secrets.add(str(value))

    def secrets(self) -> List[str]:
        """The texts that are masked, longest first (so a secret inside another is covered)."""
        found = set(self._secrets)
        if self.context:
            for key, value in self.context.items():
                if is_secret_key(key) and value:
                    found.add(str(value))
        return sorted(found, key=len, reverse=True)

    def mask(self, text: str) -> str:
        """``text`` with every known secret replaced by asterisks."""
        for secret in self.secrets():
            text = text.replace(secret, MASK)
        return text

    # -- sending -------------------------------------------------------------------

    def send(self, text: str) -> int:
        """Writes ``text`` to the device as it is; returns the number of bytes written."""
        self._check_open()
        written = self._child.send(text)
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

    @property
    def buffer(self) -> str:
        """Output received but not consumed by a match yet."""
        if len(self._pending) > 1:
            self._pending = ["".join(self._pending)]
        return self._pending[0] if self._pending else ""

    def expect(self, patterns: Patterns, timeout: Optional[float] = None) -> Match:
        """Waits until one of ``patterns`` appears in the output and consumes up to its end.

        The match that starts first wins; on a tie the pattern listed first.
        Raises ``ExpectTimeoutError`` after ``timeout`` seconds (default: the
        handle's timeout) and ``SessionClosedError`` when the device ends the
        session; both carry the output received.
        """
        compiled = compile_patterns(patterns)
        if not compiled:
            raise ValueError("expect() needs at least one pattern")
        wait = self.timeout if timeout is None else timeout
        deadline = time.monotonic() + wait
        text = self.buffer
        offset = 0  # position of text[0] within the pending output
        found = earliest_match(compiled, text)
        while found is None:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ExpectTimeoutError(compiled, wait, self.mask(self.buffer))
            data = self._read(compiled, remaining)
            if data is None:
                continue
            keep = text[-self.search_window:] if self.search_window else text
            offset += len(text) - len(keep)
            text = keep + data
            found = earliest_match(compiled, text)
        index, re_match = found
        return self._consume(index, compiled[index], re_match, offset + re_match.end())

    def _read(self, patterns: Sequence["re.Pattern[str]"], wait: float) -> Optional[str]:
        """Reads the next chunk of output, or returns None when ``wait`` ran out first."""
        self._check_open()
        try:
            data = self._child.read_nonblocking(65536, timeout=wait)
        except pexpect.TIMEOUT:
            return None
        except pexpect.EOF:
            self._child.close()
            raise SessionClosedError(patterns, self.mask(self.buffer),
                                     self._child.exitstatus) from None
        self._received(data)
        return data

    def _received(self, data: str) -> None:
        self._pending.append(data)
        if self._logfile is not None:
            self._logfile.write(self.mask(data))
            self._logfile.flush()

    def _consume(self, index: int, pattern: "re.Pattern[str]", re_match: "re.Match[str]",
                 end: int) -> Match:
        pending = self.buffer
        self._pending = [pending[end:]] if end < len(pending) else []
        self.match = Match(index, pattern, re_match, pending[:end])
        self._sent_since_match = False
        log.debug("matched %r", self.mask(re_match.group(0)))
        return self.match

    def drain(self) -> str:
        """Reads whatever output has already arrived and discards it with the buffer.

        Used before a command is sent, so that a stale prompt left in the
        buffer cannot be taken for the command's answer. Returns the discarded text.
        """
        while not self._child.closed:
            try:
                data = self._child.read_nonblocking(65536, timeout=0)
            except (pexpect.TIMEOUT, pexpect.EOF):
                break
            self._received(data)
        discarded = self.buffer
        self._pending = []
        if discarded:
            log.debug("discarded %r", self.mask(discarded))
        return discarded

    # -- lifetime --------------------------------------------------------------------

    @property
    def pid(self) -> Optional[int]:
        return self._child.pid

    @property
    def exit_status(self) -> Optional[int]:
        return self._child.exitstatus

    def isalive(self) -> bool:
        return not self._child.closed and self._child.isalive()

    def _check_open(self) -> None:
        if self._child.closed:
            raise SpawnError("the session with %s is closed" % self.command_text,
                             self.mask(self.buffer))

    def close(self) -> None:
        """Ends the session: closes the pty and terminates the command if it still runs."""
        if not self._child.closed:
            self._child.close(force=True)
            log.debug("closed %s (exit status %s, signal %s)", self.command_text,
                      self._child.exitstatus, self._child.signalstatus)
        self._close_logfile()

    def _close_logfile(self) -> None:
        if self._logfile is not None and self._owns_logfile:
            self._logfile.close()
        self._logfile = None

    def __enter__(self) -> "Spawn":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        return "Spawn(%r)" % self.command_text
